#include "paths.h"

#include <winsim/winsim.h>
#include <winsim/windows.h>

namespace ui::detail {

namespace {

// Calls one of winsim's "A"-style path getters and hands back its text.
template <class Getter>
std::optional<std::string> fetch(Getter&& get) {
    char small[MAX_PATH * 4];
    const DWORD n = get(small, static_cast<DWORD>(sizeof small));
    if (n == 0) return std::nullopt;
    if (n < sizeof small) return std::string(small, n);
    std::string big(n, '\0');
    const DWORD m = get(big.data(), n);
    if (m == 0 || m >= n) return std::nullopt;
    big.resize(m);
    return big;
}

}  // namespace

std::optional<std::string> hostPathOf(const std::string& windowsPath) {
    return fetch([&](LPSTR b, DWORD s) { return WinsimHostPathFromWindows(windowsPath.c_str(), b, s); });
}

std::string windowsPathOf(const std::string& hostPath) {
    return fetch([&](LPSTR b, DWORD s) { return WinsimWindowsPathFromHost(hostPath.c_str(), b, s); }).value_or(std::string());
}

}  // namespace ui::detail
