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
//   short:CMD:BYTES[:N][@M]         the data a SCSI command sends back ends after BYTES bytes
//                                   (1 to 65535); behind a USB bridge the status wrapper reports
//                                   the rest as residue
//   csw:CMD:KIND[:N][@M]            behind a USB bridge, the status wrapper of a SCSI command is
//                                   wrong: 12 (the first read of it gets 12 bytes; it comes whole
//                                   on the next), 14 (it is 14 bytes long: a 13-byte read ends in
//                                   babble), tag (it carries another command's tag) or phase
//                                   (bCSWStatus 2, phase error)
//
// On a USB request only (usb:... and bulk:...):
//   usbstatus:CMD:XXXXXXXX[:N][@M]  CMD completes with this USBD status, 8 hex digits (C0000004
//                                   stall, C0000011 transaction error, C0000012 babble)
//   ntstatus:CMD:XXXXXXXX[:N][@M]   CMD fails with this NT status, 8 hex digits (C00002B6 device
//                                   removed, C000009D not connected)
//   replug:CMD[@M]                  just before CMD runs the device is unplugged and plugged in
//                                   again; it is back at once as a new instance, so CMD reaches
//                                   a device that has left (also on SCSI commands of a device
//                                   behind a USB bridge)
//
// On the flash of a KV7 reader:
//   bad:block+HEX:KIND[:N][@M]      the 64-byte block that holds image byte HEX is bad: KIND
//                                   written (the write reports an error but stores the data),
//                                   erase (the write reports an error and stores nothing until
//                                   an erase of its own sector; a chip erase does not cure it) or
//                                   never (it never takes data)
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
// +HEX after CMD makes a fault hit only the request whose data holds that byte of the image (a
// request that moves part of a whole image: a DFU block, a KV7 block read or write); it is for
// every action on requests, and required for bad:block.
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
    enum class Bus { Scsi, UsbControl, Bulk, Port, Leave, Block };
    Bus bus = Bus::Scsi;
    const uint8_t* cdb = nullptr;  // Scsi
    size_t cdbLength = 0;
    DataDirection direction = DataDirection::None;  // Scsi and Bulk
    uint8_t requestType = 0, request = 0;           // UsbControl
    LeaveKind leaveKind = LeaveKind::Any;           // Leave
    // Where the request's data lies: a request that moves part of a whole image (a DFU block, a
    // KV7 block) is `located` at that part's offset in the image; others start at 0. A positioned
    // fault hits only the request whose data holds its byte: a located request without data
    // (an erase) never, an unlocated one of length 0 (not known) always.
    uint32_t dataOffset = 0, dataLength = 0;
    bool located = false;

    static FaultRequest scsi(const uint8_t* cdb, size_t length, DataDirection direction, uint32_t dataLength = 0) {
        FaultRequest r;
        r.cdb = cdb;
        r.cdbLength = length;
        r.direction = direction;
        r.dataLength = dataLength;
        return r;
    }
    static FaultRequest usbControl(uint8_t requestType, uint8_t request, std::optional<uint32_t> imageOffset = {},
                                   uint32_t dataLength = 0) {
        FaultRequest r;
        r.bus = Bus::UsbControl;
        r.requestType = requestType;
        r.request = request;
        r.located = imageOffset.has_value();
        r.dataOffset = imageOffset.value_or(0);
        r.dataLength = dataLength;
        return r;
    }
    // A write of one block of a KV7 reader's flash, at `imageOffset` in its programmable area.
    static FaultRequest block(uint32_t imageOffset, uint32_t length) {
        FaultRequest r;
        r.bus = Bus::Block;
        r.located = true;
        r.dataOffset = imageOffset;
        r.dataLength = length;
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
        Short, Csw,                           // SCSI commands
        Bad,                                  // a KV7 flash block
    };
    // Csw: what is wrong with the status wrapper.
    enum class Wrapper { Short12, Long14, BadTag, Phase };
    // Bad: what the block does with a write.
    enum class BlockKind { Written, Erase, Never };
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
    uint32_t bytes = 0;                  // Short: the data that comes back
    Wrapper wrapper = Wrapper::Short12;  // Csw
    BlockKind blockKind = BlockKind::Written;  // Bad
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
