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
// CMD names what the fault hits, on the device's bus:
//   scsi:AC00A0, scsi:read ...    a SCSI command: the hex bytes its CDB starts with (AC00A0,
//                                 FD0082, 12), or "read" (any command with data from the device),
//                                 "write" (any command with data to it) or "any". The bus may be
//                                 left out (AC00A0, read, write, any), as lab.json keeps them.
//   usb:C0.D2, usb:any            a USB control request: bmRequestType.bRequest in hex
//   bulk:in, bulk:out, bulk:any   a bulk transfer in that direction
//   port                          a request to the hub port the device is on (reset, power)
// On USB, "fail" stalls the request and "stall" lets it time out; "sense" is for SCSI only.
// N is how many matching requests the fault hits, every one without it; @K lets K matching
// requests pass first. The first fault of a device that matches a request decides; a fault whose
// count is used up is gone.
//
// Commands on the whole device, not kept as faults: "unplug" (now), "plug", "clear" (every
// fault removed and the device plugged in again).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lab {

enum class DataDirection { None, In, Out, Unspecified };

// A request a device is about to answer, as faults see it.
struct FaultRequest {
    enum class Bus { Scsi, UsbControl, Bulk, Port };
    Bus bus = Bus::Scsi;
    const uint8_t* cdb = nullptr;  // Scsi
    size_t cdbLength = 0;
    DataDirection direction = DataDirection::None;  // Scsi and Bulk
    uint8_t requestType = 0, request = 0;           // UsbControl

    static FaultRequest scsi(const uint8_t* cdb, size_t length, DataDirection direction) {
        return {Bus::Scsi, cdb, length, direction, 0, 0};
    }
    static FaultRequest usbControl(uint8_t requestType, uint8_t request) {
        return {Bus::UsbControl, nullptr, 0, DataDirection::None, requestType, request};
    }
    static FaultRequest bulk(DataDirection direction) { return {Bus::Bulk, nullptr, 0, direction, 0, 0}; }
    static FaultRequest port() { return {Bus::Port, nullptr, 0, DataDirection::None, 0, 0}; }
};

struct Fault {
    enum class Action { Fail, Sense, Stall, Corrupt, Unplug };
    enum class Match { Prefix, Read, Write, Any };

    Action action = Action::Fail;
    FaultRequest::Bus bus = FaultRequest::Bus::Scsi;
    Match match = Match::Any;     // Scsi: what the CDB must be; Bulk: Read (in), Write (out) or Any
    std::vector<uint8_t> prefix;  // Scsi, Match::Prefix
    std::optional<std::pair<uint8_t, uint8_t>> control;  // UsbControl: bmRequestType, bRequest; none: any
    uint8_t senseKey = 0x04, asc = 0x44, ascq = 0x00;
    std::optional<uint32_t> remaining;  // hits left; none: every matching request
    uint32_t skip = 0;                  // matching requests still let through

    bool matches(const FaultRequest& request) const;
    bool matches(const uint8_t* cdb, size_t cdbLength, DataDirection direction) const {
        return matches(FaultRequest::scsi(cdb, cdbLength, direction));
    }
    // The canonical spelling, as lab.json keeps it (SCSI commands without their bus).
    std::string toString() const;
};

// Parses one fault of the language above; throws std::invalid_argument naming the problem.
Fault parseFault(const std::string& written);

// Finds the first fault that matches, counts the request against it and answers the fault when
// it hits now. `faults` is updated in place (counts, used-up faults removed); *changed tells
// whether anything moved, so that the caller saves the device's faults.
std::optional<Fault> takeFault(std::vector<Fault>& faults, const FaultRequest& request, bool* changed);
inline std::optional<Fault> takeFault(std::vector<Fault>& faults, const uint8_t* cdb, size_t cdbLength,
                                      DataDirection direction, bool* changed) {
    return takeFault(faults, FaultRequest::scsi(cdb, cdbLength, direction), changed);
}

}  // namespace lab
