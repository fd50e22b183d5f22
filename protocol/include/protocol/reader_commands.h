// The command blocks and fixed values that the readers' own firmware requires: the vendor
// diagnostic queries, the 4 KB firmware block transfer of the SCSI-family readers and the
// external-firmware transfer of the Quoll unit. The device-access library builds its client
// commands from these, and the lab's reader models check incoming commands against the same
// values, so that the two sides cannot drift apart. Pointer-free and header-only.
#pragma once
#include <cstddef>
#include <cstdint>

namespace readercmd {

// ---- identification ------------------------------------------------------------------------
// INQUIRY: vendor (8) + product (16) + revision (4), blank-padded, read from byte 8 on.
inline constexpr uint8_t kOpInquiry = 0x12;
inline constexpr size_t kInquiryLength = 36;
inline constexpr size_t kInquiryTextLength = 28;
inline constexpr uint8_t kNoLogicalUnit = 0x7F;  // peripheral byte of a LUN that is not there
// What the plug-ins look for inside the 28-character inquiry text.
inline constexpr char kInquirySecure[] = "SCSI    Secure";
inline constexpr char kInquiryDfu[] = "SCSI    DFU";
inline constexpr char kInquiryQuoll[] = "Tarn    SD-MS-SM";

// ---- vendor diagnostics (FD 00 xx "XTDG" ...) ----------------------------------------------
inline constexpr uint8_t kOpDiagnostic = 0xFD;
inline constexpr uint8_t kDiagQueryController = 0x50;
inline constexpr uint8_t kDiagFeatures = 0x80;
inline constexpr uint8_t kDiagLog = 0x82;
// The key at CDB bytes 3 to 6; the firmware ignores a diagnostic command without it.
inline constexpr uint8_t kDiagKey[4] = {0x58, 0x54, 0x44, 0x47};  // "XTDG"

inline constexpr uint8_t kCdbQueryController[10] = {0xFD, 0x00, 0x50, 0x58, 0x54, 0x44, 0x47, 0x00, 0x00, 0x00};
inline constexpr uint8_t kCdbFeatures[10] = {0xFD, 0x00, 0x80, 0x58, 0x54, 0x44, 0x47, 0x00, 0x00, 0x00};
inline constexpr uint8_t kCdbDiagLog[10] = {0xFD, 0x00, 0x82, 0x58, 0x54, 0x44, 0x47, 0x00, 0xFF, 0x01};
inline constexpr size_t kQueryControllerReplyLength = 16;
inline constexpr size_t kFeaturesReplyLength = 6;
inline constexpr size_t kDiagLogReplyLength = 10;

// Reply fields the system reads.
inline constexpr size_t kQueryControllerMinor = 10;
inline constexpr size_t kQueryControllerMajor = 11;
inline constexpr size_t kFeaturesFeature = 4;
inline constexpr size_t kDiagLogValid = 4;  // holds kDiagLogValidMark in a valid reply
inline constexpr uint8_t kDiagLogValidMark = 5;
inline constexpr size_t kDiagLogTargetId = 7;
inline constexpr size_t kDiagLogWriteProtect = 8;
inline constexpr size_t kDiagLogDfuType = 9;

// ---- firmware blocks (AC 00 xx ...), 12-byte CDBs --------------------------------------------
inline constexpr uint8_t kOpRova = 0xAC;
inline constexpr uint8_t kRovaWrite = 0x90;      // AC 00 90 U0..U6 NN SS
inline constexpr uint8_t kRovaRead = 0xA0;       // AC 00 A0 NN SS 00 ...
inline constexpr uint8_t kRovaSignature = 0xC0;  // AC 00 C0 00 ...: the signature area
inline constexpr size_t kRovaCdbLength = 12;
inline constexpr uint32_t kRovaBlockSize = 4096;
inline constexpr uint32_t kRovaBlockCount = 16;  // the whole 64 KB firmware
// The access sequence at CDB bytes 3 to 9 of a block write; any other value makes the firmware
// refuse the write, so that a stray command can never reprogram a reader.
inline constexpr uint8_t kRovaAccessSequence[7] = {0x4B, 0x9E, 0x21, 0xD3, 0x5A, 0x07, 0xC6};
inline constexpr size_t kRovaWriteCountByte = 10;  // NN
inline constexpr size_t kRovaWriteFirstByte = 11;  // SS
inline constexpr size_t kRovaReadCountByte = 3;
inline constexpr size_t kRovaReadFirstByte = 4;
// The signature area is the firmware's 4 KB at E000h.
inline constexpr uint32_t kSignatureAreaOffset = 0xE000;

// ---- Quoll external firmware (FC 00 xx ...) ------------------------------------------------
inline constexpr uint8_t kOpQuoll = 0xFC;
inline constexpr uint8_t kQuollRead = 0xA0;   // 10-byte CDB, 64 KB from the unit
inline constexpr uint8_t kQuollWrite = 0x91;  // 12-byte CDB, 64 KB to the unit
inline constexpr size_t kQuollReadCdbLength = 10;
inline constexpr size_t kQuollWriteCdbLength = 12;
inline constexpr uint32_t kQuollFirmwareSize = 65536;
// CDB bytes 3 to 10 of the write; the unit refuses a write without them.
inline constexpr uint8_t kQuollWriteSequence[8] = {0x7D, 0x13, 0xA6, 0x58, 0xE2, 0x0B, 0x94, 0x3F};

}  // namespace readercmd
