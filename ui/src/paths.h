// Windows paths of the lab and the Linux paths behind them, for the file dialogs, which show the
// real folders: Z:\ is the Linux root, C:\ the lab's system drive.
#pragma once
#include <optional>
#include <string>

namespace ui::detail {

// The Linux folder or file behind a Windows path (relative paths start at the current
// directory); nullopt for drives other than C: and Z:.
std::optional<std::string> hostPathOf(const std::string& windowsPath);
// The Windows name of a Linux path.
std::string windowsPathOf(const std::string& hostPath);

}  // namespace ui::detail
