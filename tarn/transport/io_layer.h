// The I/O layer every scan opens with: the string library and its language, the operating
// system check, the helper driver's image written from the plug-in's resources into the system's
// driver folder, the DFU driver package installed, the hardware identifiers it serves read, and
// the package forced onto readers already attached that it lists.
#pragma once
#include <cstdint>

#include <winsim/windows.h>

namespace tarn {

// The helper driver's image inside KPLTARN.DLL.
constexpr WORD kHelperImageId = 1007;
constexpr const char* kHelperImageType = "DMHLP";

// 0, or the status of the first step that failed: 1 (no string library), 202, 200, 221, 222.
int32_t InitializeIoLayer();

// Writes resource `id` of `type` of KPLTARN.DLL into the file `target`; true when it is all
// written. The last file written is deleted when the plug-in is unloaded.
bool ExtractResource(WORD id, const char* type, const char* target);

// The hardware identifiers of the package's "QVX.Section" into the plug-in's table, which is
// emptied first (at most kMaxHwIds; more lines are ignored with one log line).
void ReadPackageHwIds();

}  // namespace tarn
