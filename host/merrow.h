// The Merrow test: images for the Merrow reader run after every other image.
#pragma once

namespace zelfin {

// 1 when the image's capability block names device type 32, else 0 (also for every file error,
// each logged).
int IsMerrow(const char* path);

}  // namespace zelfin
