// The USB mass-storage bulk-only transport: the command block wrapper a host sends before a SCSI
// command, the status wrapper the device answers with, and the two class requests. Byte-exact,
// little-endian, pointer-free.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace usbms {

inline constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
inline constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
inline constexpr size_t kCbwLength = 31;
inline constexpr size_t kCswLength = 13;
inline constexpr uint8_t kCbwFlagIn = 0x80;
inline constexpr size_t kMaxCommandLength = 16;

// bCSWStatus
inline constexpr uint8_t kCswPassed = 0x00;
inline constexpr uint8_t kCswFailed = 0x01;
inline constexpr uint8_t kCswPhaseError = 0x02;

// Class requests on endpoint 0.
inline constexpr uint8_t kResetRequestType = 0x21;  // host to device, class, interface
inline constexpr uint8_t kReset = 0xFF;             // Bulk-Only Mass Storage Reset
inline constexpr uint8_t kGetMaxLunRequestType = 0xA1;
inline constexpr uint8_t kGetMaxLun = 0xFE;

#pragma pack(push, 1)
struct CommandBlockWrapper {
    uint32_t signature;
    uint32_t tag;
    uint32_t dataTransferLength;
    uint8_t flags;
    uint8_t lun;
    uint8_t commandLength;
    uint8_t command[kMaxCommandLength];
};
struct CommandStatusWrapper {
    uint32_t signature;
    uint32_t tag;
    uint32_t dataResidue;
    uint8_t status;
};
#pragma pack(pop)
static_assert(sizeof(CommandBlockWrapper) == kCbwLength, "CBW is 31 bytes");
static_assert(sizeof(CommandStatusWrapper) == kCswLength, "CSW is 13 bytes");

}  // namespace usbms
