// Moving a listed reader between its functional mode and its upgrade mode, and waiting for it to
// come back after each move. The reader vanishes and re-enumerates as another device, so the
// plug-in arms a trap first — a hidden window registered for the device interfaces of both modes
// and of USB devices — then triggers the move through whatever path the reader's driver offers,
// and pumps the window's messages until the trap reports the reader, the operator aborts or the
// time runs out. A reader that does not come back has the ports of the external hubs power-cycled;
// one that comes back on the generic mass-storage driver has the DFU package forced onto it.
// Log lines carry the source unit tarnDFU.
#pragma once
#include <atomic>
#include <cstdint>
#include <set>
#include <string>

#include <image/binfile.h>
#include <plugin-api/kpl.h>
#include <winsim/dbt.h>
#include <winsim/windows.h>

#include "arrival_state.h"
#include "tarn_device.h"

namespace tarn {

// The hidden window "KPLTARN_WND" that receives the notifications: 0 or 201. The session that
// created it destroys it (and unregisters the class) before it returns.
int32_t CreateKpltarnWnd();
void DestroyKpltarnWnd();
HWND KpltarnWnd();

// What the window does with an arrival of a device interface (public for the tests).
void OnDeviceArrival(const DEV_BROADCAST_DEVICEINTERFACE_A* notification);

// A wait for the reader, in two steps: Arm() before the request that makes the reader leave —
// the notifications registered, the arrival flags cleared, the interfaces present noted — and
// Wait() after it. After its first pass over the messages, Wait() looks once for an interface that
// appeared since arming without its notification having been taken, so that no arrival is missed.
class DeviceWait {
public:
    // expectDfu: the reader is to come back in upgrade mode (else functional mode); shortWait:
    // 30 seconds, then 90 more after the ports were power-cycled, then 212 (else 180 seconds
    // between power cycles, without end).
    DeviceWait(bool expectDfu, bool shortWait);
    ~DeviceWait();
    DeviceWait(const DeviceWait&) = delete;
    DeviceWait& operator=(const DeviceWait&) = delete;

    // 0, or 209 when a notification cannot be registered.
    int32_t Arm();
    // 0 (arrived), 209 (not armed), 212 (aborted, or the short wait expired twice), 210 (a quit
    // message came: it is posted again for the caller's loop).
    int32_t Wait(volatile int32_t* abortFlag);

private:
    void disarm();

    bool expectDfu_;
    bool shortWait_;
    bool armed_ = false;
    HDEVNOTIFY notifications_[3] = {};
    std::set<std::string> before_;  // the interfaces present when it was armed
    std::atomic<int32_t>& arrived_;
};

// Brings a functional-mode reader into upgrade mode: 0 (the record in mode 2 or 4 with the
// upgrade-mode handle), 210, or the wait's status. A reader already in upgrade mode is left as it is.
int32_t SwitchToDFU(DeviceInfoList* list, DeviceInfoEntry* entry, volatile int32_t* abortFlag);
// Waits again, shortly, for a reader that did not come back by itself: 0 or the wait's status.
int32_t RecoverDevice(DeviceInfoEntry* entry, volatile int32_t* abortFlag, bool expectDfu);
// Sends an upgrade-mode reader back to functional mode and waits for it: 0, 211, or a wait or
// recovery status. The record ends in mode 0 without a handle; the next scan finds the reader.
// `bounded`: the wait gives up like a short one (after a failed write the reader may have no
// firmware to come back with, and stays in upgrade mode for another try).
int32_t SwitchToFunctional(DeviceInfoEntry* entry, volatile int32_t* abortFlag, bool bounded = false);
// Reads the reader's firmware (upgrade mode, Tarn DFU driver) into `copy` (65,536 bytes unless
// the caller set a length), writing it to `path` when `save`: 0, 200, 205, 206 or 213.
int32_t UploadToFile(DeviceInfoEntry* entry, image::BinFile& copy, uint32_t length, const char* path, bool save);
// Learns the helper driver's id of the upgrade-mode reader at `path`: 0, 200, or the helper's load status.
int32_t GetDeviceObject(const char* path);
// Tells every application that a device is about to go, and gives them a second.
void NotifyQueryRemove();

}  // namespace tarn
