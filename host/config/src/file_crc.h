// The checksum of a file's bytes from one offset to its end, read through the handle; shared by
// the reader's check and the writer's final step.
#pragma once
#include <winsim/windows.h>

#include <cstdint>

namespace zelfin::config::detail {

// The size of the file, or false (with *error) when it cannot be told or exceeds 4 GiB.
bool fileSize(HANDLE file, uint32_t* size, DWORD* error);

// configCrc of the bytes [from, size); leaves the position at the end. False (with *error) when
// the bytes cannot all be read.
bool crcFrom(HANDLE file, uint32_t from, uint32_t size, uint32_t* crc, DWORD* error);

}  // namespace zelfin::config::detail
