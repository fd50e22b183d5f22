// What the toolkit reads from modules and from the lab: icons, bitmaps, the lab clock's scale.
#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <winsim/windows.h>

namespace ui::detail {

// A resource name as the caller gives it: MAKEINTRESOURCE(n), "#n" or a name.
std::string resourceNameText(LPCSTR name);

// The .ico file behind an RT_GROUP_ICON resource ("#128" or a name); nullopt when missing.
std::optional<std::vector<uint8_t>> loadIconFile(HMODULE module, const std::string& name);
// An RT_BITMAP resource turned back into a .bmp file (the resource is the DIB without the
// 14-byte file header); nullopt when missing or not a DIB.
std::optional<std::vector<uint8_t>> loadBitmapFile(HMODULE module, LPCSTR name);

// The real time that `labMs` milliseconds of the lab clock take.
std::chrono::nanoseconds labDuration(uint32_t labMs);

}  // namespace ui::detail
