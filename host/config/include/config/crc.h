// configCrc: the checksum at the head of every configuration file, over all bytes from offset 4.
// Stored files depend on the exact polynomial 0x04C10DB7 (not the common 0x04C11DB7) and on the
// bit order: each byte enters least significant bit first into a register that shifts left,
// starting from 0, with no final inversion.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zelfin::config {

constexpr uint32_t kConfigCrcPolynomial = 0x04C10DB7u;

// Continues a checksum over more data: configCrcUpdate(configCrc(a), b) == configCrc(a + b).
uint32_t configCrcUpdate(uint32_t crc, const void* data, size_t length);

inline uint32_t configCrc(const void* data, size_t length) { return configCrcUpdate(0, data, length); }

}  // namespace zelfin::config
