// DMHLP.SYS inside: the driver-wide state, the device extensions and the routines its parts
// share. Kernel-mode code against <winsim/wdm.h>; no user-mode library is reached from here.
#pragma once
#include <winsim/usb.h>
#include <winsim/usbioctl.h>
#include <winsim/wdm.h>

#include "dmhlp_interface.h"

namespace dmhlp {

inline constexpr ULONG kPoolTag = 0x6C486D44;       // "DmHl"
inline constexpr ULONG kControlTag = 0x6C486D44;    // first word of the control device's extension
inline constexpr ULONG kFunctionTag = 0x55664474;   // first and last word of a function device's
// "No limit" on URB attempts would let a device that keeps failing hold the caller (and the
// plug-in's transfer thread behind it) for ever; ten extra attempts, 100 ms apart, outlast every
// transient failure a reader shows while it settles after enumeration.
inline constexpr ULONG kDefaultUrbRetries = 10;
// Device objects handed to user mode at once: a scan sees a handful of readers and hubs.
inline constexpr ULONG kMaxDeviceIds = 64;

struct ControlExtension {
    ULONG tag;
    ULONG spare;
    PDEVICE_OBJECT self;
    PDRIVER_OBJECT driver;
    ULONG spare2[2];
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
};

struct FunctionExtension {
    ULONG tag;
    ULONG spare;
    PDEVICE_OBJECT self;
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    ULONG spare2[5];
    ULONG tailTag;
};

// A device object handed to user mode: user mode gets `id`, never the object's address.
struct DeviceId {
    ULONG id;                          // 0: the slot is free
    PDEVICE_OBJECT pdo;                // referenced while the slot holds it
    char name[kDeviceNameField];       // the name it was found by, terminated
    bool detached;                     // this driver detached it: it may have left to re-enumerate
};

// Everything requests set and later requests read. Requests come from more than one thread (the
// plug-in's transfer and power-cycle threads, the PnP manager), so every access holds `lock`.
struct DriverState {
    KEVENT lock;  // a synchronization event held as a mutex: set = free
    PDRIVER_OBJECT driver;
    PDEVICE_OBJECT control;
    ULONG urbDevice;  // id of the device pass-through requests go to; 0: none
    ULONG kv7Hook;
    ULONG urbMaxRetries;
    ULONG urbRetryDataError;
    ULONG deviceCounter;
    ULONG nextId;
    DeviceId ids[kMaxDeviceIds];
};
DriverState& state();

// Notes that the device behind `id` was detached, and asks whether it was.
void markDetached(ULONG id);
bool wasDetached(ULONG id);

class StateLock {
public:
    StateLock();
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
};

// ---- names and objects (dmhlp_objects.cpp) ------------------------------------------------------
// Opens the device named by `name` (ANSI, `length` bytes, no terminator needed) as the system
// opens a name for a driver, with all access. On success *file holds the open (release it with
// ObDereferenceObject) and *top the top of the device's stack.
NTSTATUS openByName(const char* name, size_t length, PFILE_OBJECT* file, PDEVICE_OBJECT* top);
// The physical device object under `top`, by the target-device relation; referenced.
NTSTATUS physicalObjectOf(PDEVICE_OBJECT top, PDEVICE_OBJECT* pdo);
// The id for a physical device object found by `name` (terminated); the table takes its own
// reference. 0 when the table is full.
ULONG idFor(PDEVICE_OBJECT pdo, const char* name);
// The object behind an id, referenced, when the name it was found by still leads to it; null
// for an unknown id or a device that has gone (its name leads nowhere or to a newer device).
PDEVICE_OBJECT objectFor(ULONG id);
// Lets go of every id (the control device's last handle closed).
void releaseIds();

// ---- USB (dmhlp_usb.cpp) --------------------------------------------------------------------------
// Sends an internal device control request with Argument1 and waits for it.
NTSTATUS internalRequest(PDEVICE_OBJECT target, ULONG code, PVOID argument);
struct UsbResult {
    NTSTATUS status;
    USBD_STATUS usbStatus;
    ULONG transferred;
};
// A control request as one URB (function, setup, data) submitted with the retry rule.
UsbResult controlRequest(PDEVICE_OBJECT target, UCHAR function, bool in, UCHAR requestType, UCHAR request,
                         USHORT value, USHORT index, PVOID data, ULONG length);
// The envelope's control request to `target`: writes ntStatus and usbStatus into it.
void envelopeRequest(PDEVICE_OBJECT target, tarn::Envelope* envelope, PVOID data);
// The DFU detach request; STATUS_NO_MEMORY when its URB cannot be allocated.
NTSTATUS dfuDetach(PDEVICE_OBJECT target);
// Waits `ms` milliseconds.
void pause(ULONG ms);

// ---- requests (dmhlp_query.cpp, dmhlp_pnp.cpp) ----------------------------------------------------
NTSTATUS queryDevice(QueryRecord* record);
NTSTATUS addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
// Plug and Play and power requests on a function device.
NTSTATUS functionDispatch(PDEVICE_OBJECT device, PIRP irp);

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);

}  // namespace dmhlp
