// Faults a device of the lab can be told to have, in a small language that operators and tests
// write on the command line ("zelfin-lab fault DIR ID SPEC") and that lab.json keeps, so that a
// fault set up before a run holds in the process that runs. A fault is an action, what it hits
// (CMD, below), the action's value if it takes one, and how many requests it hits ([:N][@M]).
//
// On a SCSI command, a USB request or the hub port:
//   fail:CMD[:N][@M]                CMD ends with CHECK CONDITION, HARDWARE ERROR 04/44/00
//   sense:CMD:KK/AA/QQ[:N][@M]      CMD ends with CHECK CONDITION and this sense key/ASC/ASCQ
//                                   (hex); SCSI commands only
//   stall:CMD[:N][@M]               CMD never completes: the caller's time-out runs out on the
//                                   lab clock
//   corrupt:CMD[+HEX][:N][@M]       CMD's data is damaged: read data comes back altered, written
//                                   data is stored altered. +HEX picks the byte: its offset (hex)
//                                   in the whole transfer's data, an offset in the image for
//                                   transfers of a whole image; without it the device picks one
//   unplug:CMD[@M]                  the device is pulled out while CMD runs (a write is half done)
//   slow:CMD:MS[:N][@M]             a SCSI command takes MS lab milliseconds (1 to 3600000)
//                                   before it completes; longer than the caller's time-out, the
//                                   time-out runs out and the command is cut off (a write is half
//                                   done)
//
// On a USB request only (usb:... and bulk:...):
//   usbstatus:CMD:XXXXXXXX[:N][@M]  CMD completes with this USBD status, 8 hex digits (C0000004
//                                   stall, C0000011 transaction error, C0000012 babble)
//   ntstatus:CMD:XXXXXXXX[:N][@M]   CMD fails with this NT status, 8 hex digits (C00002B6 device
//                                   removed, C000009D not connected)
//   replug:CMD[@M]                  just before CMD runs the device is unplugged and plugged in
//                                   again; it is back at once as a new instance, so CMD reaches
//                                   a device that has left
//
// When the device leaves its port to come back (leave:K, below), and on the port:
//   lost:leave:K[:N][@M]            it never comes back (until it is plugged in again)
//   stuck:leave:K[:N][@M]           it leaves, and its port shows a failed enumeration until the
//                                   port's power is switched off and on
//   usbstor:leave:detach[:N][@M]    it comes back in upgrade mode but bound to the generic
//                                   mass-storage driver instead of the DFU driver (its boot
//                                   loader shows a mass-storage interface first)
//   ids:leave:K:VVVV.PPPP[:N][@M]   it comes back under these USB identifiers: vendor.product,
//                                   4 hex digits each
//   slow:leave:K:MS[:N][@M]         it comes back MS lab milliseconds (1 to 3600000) later than
//                                   its model takes
//   stuck:port[:N][@M]              its port is in a failed-enumeration state now: the device is
//                                   not enumerated until the port's power is switched off and on
//   empty:port[:N][@M]              its port shows no device now (connection status 0) until the
//                                   port's power is switched off and on
//
// CMD names what the fault hits, on the device's bus:
//   scsi:AC00A0, scsi:read ...      a SCSI command: the hex bytes its CDB starts with (AC00A0,
//                                   FD0082, 12), or "read" (any command with data from the
//                                   device), "write" (any command with data to it) or "any". The
//                                   bus may be left out (AC00A0, read, write, any), as lab.json
//                                   keeps them.
//   usb:C1.D2, usb:any              a USB control request: bmRequestType.bRequest in hex, as
//                                   the device receives it
//   bulk:in, bulk:out, bulk:any     a bulk transfer in that direction
//   port                            a request to the hub port the device is on (reset, power);
//                                   for stuck, the device being enumerated on it
//   leave:detach, leave:cycle,      the device leaving its port to come back: a detach (it comes
//   leave:power, leave:any          back in its other mode), a port cycle or reset that
//                                   enumerates it again, its port's power switched off and on;
//                                   any is each of them
// On USB, "fail" stalls the request and "stall" lets it time out. N is how many matching requests
// the fault hits, every one without it; @M lets M matching requests pass first. The first fault
// of a device that matches a request decides; a fault whose count is used up is gone.
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

// How a device leaves its port to come back. A request names one of the first three; a fault on
// Any matches each of them.
enum class LeaveKind { Detach, Cycle, Power, Any };

// A request a device is about to answer, as faults see it.
struct FaultRequest {
    enum class Bus { Scsi, UsbControl, Bulk, Port, Leave };
    Bus bus = Bus::Scsi;
    const uint8_t* cdb = nullptr;  // Scsi
    size_t cdbLength = 0;
    DataDirection direction = DataDirection::None;  // Scsi and Bulk
    uint8_t requestType = 0, request = 0;           // UsbControl
    LeaveKind leaveKind = LeaveKind::Any;           // Leave
    // Where the request's data lies: a request that moves one block of a whole image (a DFU
    // block) starts at that block's offset; others at 0. A positioned corrupt fault hits only the
    // request whose data holds its byte. A length of 0: not known, every request is hit.
    uint32_t dataOffset = 0, dataLength = 0;

    static FaultRequest scsi(const uint8_t* cdb, size_t length, DataDirection direction, uint32_t dataLength = 0) {
        FaultRequest r;
        r.cdb = cdb;
        r.cdbLength = length;
        r.direction = direction;
        r.dataLength = dataLength;
        return r;
    }
    static FaultRequest usbControl(uint8_t requestType, uint8_t request, uint32_t dataOffset = 0,
                                   uint32_t dataLength = 0) {
        FaultRequest r;
        r.bus = Bus::UsbControl;
        r.requestType = requestType;
        r.request = request;
        r.dataOffset = dataOffset;
        r.dataLength = dataLength;
        return r;
    }
    static FaultRequest bulk(DataDirection direction, uint32_t dataLength = 0) {
        FaultRequest r;
        r.bus = Bus::Bulk;
        r.direction = direction;
        r.dataLength = dataLength;
        return r;
    }
    // A request to the device's hub port, and the device being enumerated on it (stuck:port).
    static FaultRequest port() {
        FaultRequest r;
        r.bus = Bus::Port;
        return r;
    }
    // The device leaving its port, at the moment it leaves.
    static FaultRequest leave(LeaveKind kind) {
        FaultRequest r;
        r.bus = Bus::Leave;
        r.leaveKind = kind;
        return r;
    }
};

struct Fault {
    enum class Action {
        Fail, Sense, Stall, Corrupt, Unplug,  // SCSI, USB and port requests
        UsbStatus, NtStatus, Replug,          // USB requests
        Lost, Stuck, UsbStor, Ids, Slow,      // leaving the port; Stuck also on the port, Slow on SCSI
        Empty,                                // the port
    };
    enum class Match { Prefix, Read, Write, Any };

    Action action = Action::Fail;
    FaultRequest::Bus bus = FaultRequest::Bus::Scsi;
    Match match = Match::Any;     // Scsi: what the CDB must be; Bulk: Read (in), Write (out) or Any
    std::vector<uint8_t> prefix;  // Scsi, Match::Prefix
    std::optional<std::pair<uint8_t, uint8_t>> control;  // UsbControl: bmRequestType, bRequest; none: any
    LeaveKind leaveKind = LeaveKind::Any;                // Leave
    uint8_t senseKey = 0x04, asc = 0x44, ascq = 0x00;   // Sense
    uint32_t status = 0;                                 // UsbStatus, NtStatus
    uint16_t vendorId = 0, productId = 0;                // Ids
    uint32_t delayMs = 0;                // Slow: lab milliseconds on top of the model's own delay
    std::optional<uint32_t> position;    // Corrupt: the byte's offset; none: the model picks one
    std::optional<uint32_t> remaining;   // hits left; none: every matching request
    uint32_t skip = 0;                   // matching requests still let through

    bool matches(const FaultRequest& request) const;
    bool matches(const uint8_t* cdb, size_t cdbLength, DataDirection direction) const {
        return matches(FaultRequest::scsi(cdb, cdbLength, direction));
    }
    // The canonical spelling, as lab.json keeps it (SCSI commands without their bus);
    // parseFault(f.toString()) == f.
    std::string toString() const;
    bool operator==(const Fault&) const = default;
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
