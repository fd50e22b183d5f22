// What readers built on the KV7 controller answer: the identifiers by which such a reader is
// recognised (and its controller type learnt), where its programmable flash lies, its small
// configuration memory (EEPROM) with the two records the system keeps there, and the vendor
// control requests (controller types 7 and 8) and six-byte vendor SCSI commands (types 9 and 10,
// carried in bulk-only wrappers) that read and program it. The plug-in builds its requests from
// these and the lab's KV7 model checks what arrives against the same values. Header-only.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace kv7 {

// ---- identification --------------------------------------------------------------------------
struct TypeEntry {
    uint16_t vendor, product;
    uint8_t dfuType;
};
// Searched in this order; the list ends at the first vendor 0.
inline constexpr TypeEntry kTypes[] = {
    {0x05E3, 0x0760, 7}, {0x05E3, 0x0780, 7}, {0x05E3, 0x07A0, 7}, {0x05E3, 0x0710, 8}, {0x04E6, 0x03F9, 8},
    {0x05E3, 0x070E, 9}, {0x04E6, 0x03F8, 9}, {0x05E3, 0x0716, 10}, {0x04E6, 0x03F7, 10}, {0, 0, 0},
};

inline std::optional<uint8_t> typeOf(uint16_t vendor, uint16_t product) {
    for (const TypeEntry& e : kTypes) {
        if (e.vendor == 0) break;
        if (e.vendor == vendor && e.product == product) return e.dfuType;
    }
    return std::nullopt;
}

inline constexpr bool isKv7Type(unsigned dfuType) { return dfuType >= 7 && dfuType <= 10; }
// Types 9 and 10 take the vendor SCSI commands in upgrade mode; 7 and 8 control requests.
inline constexpr bool usesScsi(unsigned dfuType) { return dfuType == 9 || dfuType == 10; }

// ---- the programmable area ----------------------------------------------------------------------
struct Layout {
    uint32_t base, size;
};
inline constexpr Layout layoutOf(unsigned dfuType) {
    return usesScsi(dfuType) ? Layout{0x0000, 0xC000} : Layout{0x8000, 0x8000};
}
inline constexpr uint32_t kBlockSize = 64;            // a write, and a read in upgrade mode
inline constexpr uint32_t kFunctionalReadMax = 4096;  // a read in functional mode (D4h)
inline constexpr uint32_t kSectorSize = 4096;
// The block that completes an image: written last, so that an interrupted write never leaves a
// complete but wrong image header, and the controller boots its firmware only once it is there.
inline constexpr uint32_t kHeaderBlock = 0xC0;

// ---- configuration memory ------------------------------------------------------------------------
inline constexpr uint32_t kEepromWords = 128;  // the word index is 7 bits
inline constexpr uint32_t kEepromBytes = kEepromWords * 2;
inline constexpr uint32_t kBootInfoAddress = 0;  // byte address of the boot-ROM information block
inline constexpr size_t kBootInfoLength = 20;
inline constexpr uint32_t kProductTypeAddress = 32;  // byte 32 the complement of the type, 33 the type

// The boot-ROM information block a reader of `dfuType` needs: E6 04 b2 b3 10 FA, 13 zeros, check.
inline std::array<uint8_t, kBootInfoLength> bootInfo(unsigned dfuType) {
    uint8_t b2 = 0x00, b3 = 0x00;
    if (dfuType == 8) b2 = 0xF9, b3 = 0x03;
    if (dfuType == 9) b2 = 0xF8, b3 = 0x03;
    std::array<uint8_t, kBootInfoLength> block{0xE6, 0x04, b2, b3, 0x10, 0xFA};
    block[kBootInfoLength - 1] = static_cast<uint8_t>(b2 + b3 - 0x62);
    return block;
}

// ---- vendor control requests (to the interface: C1h in, 41h out) ----------------------------------
inline constexpr uint8_t kIn = 0xC1, kOut = 0x41;
inline constexpr uint8_t kReqReadConfig = 0x02;   // C1: wIndex = word index << 8, 2 bytes in
inline constexpr uint8_t kReqWriteConfig = 0x03;  // 41: wValue = the word, wIndex = word index << 8
inline constexpr uint8_t kReqReadBlock = 0x04;    // C1, upgrade mode: wValue = address, n <= 64 in
inline constexpr uint8_t kReqProgram = 0x05;      // 41, upgrade mode: wIndex says what
inline constexpr uint16_t kProgramWrite = 0, kProgramEraseChip = 1, kProgramEraseSector = 2;
inline constexpr uint8_t kReqFunctionalMode = 0x06;  // 41, upgrade mode: back to the firmware
inline constexpr uint8_t kReqPrepareForDfu = 0xD3;   // 41, functional mode: into upgrade mode
inline constexpr uint8_t kReqFunctionalRead = 0xD4;  // C1, functional mode: wValue = address, n <= 4096;
                                                     // no data: the end of a read

// ---- vendor SCSI commands (types 9 and 10, six bytes: op, sub, hi, lo, n, 0) -------------------------
inline constexpr uint8_t kOpReadConfig = 0xE2;   // E2 00 hi lo 02 00, 2 in (word index)
inline constexpr uint8_t kOpWriteConfig = 0xE3;  // E3 00 hi lo 02 00, 2 out
inline constexpr uint8_t kOpReadBlock = 0xE4;    // E4 02 hi lo n 00, n in
inline constexpr uint8_t kReadBlockSub = 0x02;
inline constexpr uint8_t kOpProgram = 0xE5;      // E5 00 hi lo n 00 (n out) / E5 01 (chip) / E5 02 hi lo (sector)
inline constexpr uint8_t kOpFunctionalMode = 0xE6;  // E6 00 00 00 00 00

// The storage-interface read of the whole programmable area (12 bytes, data in).
inline constexpr uint8_t kCdbStorageRead[12] = {0xAC, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};

}  // namespace kv7
