#include "quoll_unit.h"

#include <cstring>

#include <protocol/reader_commands.h>

namespace lab {

namespace {

constexpr uint8_t kInvalidFieldInCdb = 0x24;
constexpr uint8_t kSenseMediumError = 0x03;
constexpr uint8_t kUnrecoveredReadError = 0x11;
constexpr uint8_t kWriteError = 0x0C;

bool isWrite(const ScsiCommand& c) {
    return c.cdbLength >= readercmd::kQuollWriteCdbLength && (c.cdb[1] & 0x1F) == 0 && c.cdb[2] == readercmd::kQuollWrite;
}

// The unit's firmware refuses a write without its sequence, so that a stray command never
// replaces the external firmware.
bool accessGranted(const ScsiCommand& c) {
    return std::memcmp(c.cdb + 3, readercmd::kQuollWriteSequence, sizeof readercmd::kQuollWriteSequence) == 0;
}

}  // namespace

std::optional<ScsiOutcome> quollCommand(const MemoryFile* external, const ScsiCommand& c) {
    if (c.cdb[0] != readercmd::kOpQuoll) return std::nullopt;
    const uint32_t size = readercmd::kQuollFirmwareSize;
    if (c.cdbLength >= readercmd::kQuollReadCdbLength && (c.cdb[1] & 0x1F) == 0 && c.cdb[2] == readercmd::kQuollRead) {
        if (auto bad = ScsiDevice::needData(c, DataDirection::In, size)) return *bad;
        if (!external || !external->read(0, c.data, size))
            return ScsiDevice::checkCondition(kSenseMediumError, kUnrecoveredReadError, 0);
        ScsiOutcome o;
        o.transferred = size;
        return o;
    }
    if (isWrite(c)) {
        if (!accessGranted(c)) return ScsiDevice::checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
        if (auto bad = ScsiDevice::needData(c, DataDirection::Out, size)) return *bad;
        if (!external || !external->write(0, c.data, size))
            return ScsiDevice::checkCondition(kSenseMediumError, kWriteError, 0);
        ScsiOutcome o;
        o.transferred = size;
        return o;
    }
    return ScsiDevice::checkCondition(kSenseIllegalRequest, kInvalidFieldInCdb, 0);
}

void quollInterrupted(const MemoryFile* external, const ScsiCommand& c) {
    if (external && c.cdb[0] == readercmd::kOpQuoll && isWrite(c) && accessGranted(c) && c.data &&
        c.dataLength >= readercmd::kQuollFirmwareSize)
        external->write(0, c.data, readercmd::kQuollFirmwareSize / 2);
}

}  // namespace lab
