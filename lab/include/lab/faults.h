// Faults a device of the lab can be told to have, in a small language that operators and tests
// write on the command line ("zelfin-lab fault DIR ID SPEC") and that lab.json keeps, so that a
// fault set up before a run holds in the process that runs:
//
//   fail:CMD[:N][@K]              CMD ends with CHECK CONDITION, HARDWARE ERROR 04/44/00
//   sense:CMD:KK/AA/QQ[:N][@K]    CMD ends with CHECK CONDITION and this sense key/ASC/ASCQ (hex)
//   stall:CMD[:N][@K]             CMD never completes: the caller's time-out runs out on the lab clock
//   corrupt:CMD[:N][@K]           CMD's data is damaged: read data comes back altered, written
//                                 data is stored altered
//   unplug:CMD[@K]                the device is pulled out while CMD runs (a write is half done)
//
// CMD is the hex bytes a CDB starts with (AC00A0, FD0082, 12), or "read" (any command with data
// from the device), "write" (any command with data to it) or "any". N is how many matching
// commands the fault hits, every one without it; @K lets K matching commands pass first. The
// first fault of a device that matches a command decides; a fault whose count is used up is gone.
//
// Commands on the whole device, not kept as faults: "unplug" (now), "plug", "clear" (every
// fault removed and the device plugged in again).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lab {

enum class DataDirection { None, In, Out, Unspecified };

struct Fault {
    enum class Action { Fail, Sense, Stall, Corrupt, Unplug };
    enum class Match { Prefix, Read, Write, Any };

    Action action = Action::Fail;
    Match match = Match::Any;
    std::vector<uint8_t> prefix;  // Match::Prefix
    uint8_t senseKey = 0x04, asc = 0x44, ascq = 0x00;
    std::optional<uint32_t> remaining;  // hits left; none: every matching command
    uint32_t skip = 0;                  // matching commands still let through

    bool matches(const uint8_t* cdb, size_t cdbLength, DataDirection direction) const;
    // The canonical spelling, as lab.json keeps it.
    std::string toString() const;
};

// Parses one fault of the language above; throws std::invalid_argument naming the problem.
Fault parseFault(const std::string& written);

// Finds the first fault that matches, counts the command against it and answers the fault when
// it hits now. `faults` is updated in place (counts, used-up faults removed); *changed tells
// whether anything moved, so that the caller saves the device's faults.
std::optional<Fault> takeFault(std::vector<Fault>& faults, const uint8_t* cdb, size_t cdbLength,
                               DataDirection direction, bool* changed);

}  // namespace lab
