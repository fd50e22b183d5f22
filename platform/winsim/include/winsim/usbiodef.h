// Device interface classes of the USB stack: what the hub driver registers for every USB device
// and hub, and the host controller drivers for their controllers.
#pragma once
#include "guiddef.h"

DEFINE_GUID(GUID_DEVINTERFACE_USB_HUB, 0xf18a0e88L, 0xc30c, 0x11d0, 0x88, 0x15, 0x00, 0xa0, 0xc9, 0x06, 0xbe, 0xd8);
DEFINE_GUID(GUID_DEVINTERFACE_USB_DEVICE, 0xa5dcbf10L, 0x6530, 0x11d2, 0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed);
DEFINE_GUID(GUID_DEVINTERFACE_USB_HOST_CONTROLLER, 0x3abf6f2dL, 0x71c4, 0x462a, 0x8a, 0x92, 0x1e, 0x68, 0x61, 0xe6,
            0xaf, 0x27);

// The older names of the same classes.
#define GUID_CLASS_USBHUB GUID_DEVINTERFACE_USB_HUB
#define GUID_CLASS_USB_DEVICE GUID_DEVINTERFACE_USB_DEVICE
#define GUID_CLASS_USB_HOST_CONTROLLER GUID_DEVINTERFACE_USB_HOST_CONTROLLER

#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN
#define USB_IOCTL_INTERNAL_INDEX 0x0000
#define USB_IOCTL_INDEX 0x00ff
