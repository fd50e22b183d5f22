// The USB stack's control requests: the hub driver's user-mode queries on a hub's interface
// (node and port information) and the internal requests a client driver sends down to the PDO
// of its USB device. User-mode structures are packed, as the platform declares them.
#pragma once
#include "usb100.h"
#include "usbiodef.h"
#include "winioctl.h"

#define USB_SUBMIT_URB 0
#define USB_RESET_PORT 1
#define USB_GET_PORT_STATUS 4
#define USB_CYCLE_PORT 7
#define USB_GET_NODE_INFORMATION 258
#define USB_GET_NODE_CONNECTION_INFORMATION 259
#define USB_GET_NODE_CONNECTION_NAME 261
#define USB_GET_NODE_CONNECTION_DRIVERKEY_NAME 264

#define IOCTL_INTERNAL_USB_SUBMIT_URB CTL_CODE(FILE_DEVICE_USB, USB_SUBMIT_URB, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT CTL_CODE(FILE_DEVICE_USB, USB_RESET_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS CTL_CODE(FILE_DEVICE_USB, USB_GET_PORT_STATUS, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT CTL_CODE(FILE_DEVICE_USB, USB_CYCLE_PORT, METHOD_NEITHER, FILE_ANY_ACCESS)

#define IOCTL_USB_GET_NODE_INFORMATION \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_INFORMATION, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_INFORMATION \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_CONNECTION_INFORMATION, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_NAME \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_CONNECTION_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME \
    CTL_CODE(FILE_DEVICE_USB, USB_GET_NODE_CONNECTION_DRIVERKEY_NAME, METHOD_BUFFERED, FILE_ANY_ACCESS)

// IOCTL_INTERNAL_USB_GET_PORT_STATUS: Argument1 points to a ULONG.
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

typedef enum _USB_HUB_NODE { UsbHub, UsbMIParent } USB_HUB_NODE;

typedef enum _USB_CONNECTION_STATUS {
    NoDeviceConnected,
    DeviceConnected,
    DeviceFailedEnumeration,
    DeviceGeneralFailure,
    DeviceCausedOvercurrent,
    DeviceNotEnoughPower,
    DeviceNotEnoughBandwidth,
    DeviceHubNestedTooDeeply,
    DeviceInLegacyHub
} USB_CONNECTION_STATUS, *PUSB_CONNECTION_STATUS;

#pragma pack(push, 1)

typedef struct _USB_HUB_INFORMATION {
    USB_HUB_DESCRIPTOR HubDescriptor;
    BOOLEAN HubIsBusPowered;
} USB_HUB_INFORMATION, *PUSB_HUB_INFORMATION;

typedef struct _USB_MI_PARENT_INFORMATION {
    ULONG NumberOfInterfaces;
} USB_MI_PARENT_INFORMATION, *PUSB_MI_PARENT_INFORMATION;

typedef struct _USB_NODE_INFORMATION {
    USB_HUB_NODE NodeType;
    union {
        USB_HUB_INFORMATION HubInformation;
        USB_MI_PARENT_INFORMATION MiParentInformation;
    } u;
} USB_NODE_INFORMATION, *PUSB_NODE_INFORMATION;

typedef struct _USB_PIPE_INFO {
    USB_ENDPOINT_DESCRIPTOR EndpointDescriptor;
    ULONG ScheduleOffset;
} USB_PIPE_INFO, *PUSB_PIPE_INFO;

// Followed by NumberOfOpenPipes USB_PIPE_INFO entries, as many as the caller's buffer holds.
typedef struct _USB_NODE_CONNECTION_INFORMATION {
    ULONG ConnectionIndex;  // in: the port, from 1
    USB_DEVICE_DESCRIPTOR DeviceDescriptor;
    UCHAR CurrentConfigurationValue;
    BOOLEAN LowSpeed;
    BOOLEAN DeviceIsHub;
    USHORT DeviceAddress;
    ULONG NumberOfOpenPipes;
    USB_CONNECTION_STATUS ConnectionStatus;
    USB_PIPE_INFO PipeList[0];
} USB_NODE_CONNECTION_INFORMATION, *PUSB_NODE_CONNECTION_INFORMATION;

typedef struct _USB_NODE_CONNECTION_NAME {
    ULONG ConnectionIndex;
    ULONG ActualLength;  // out: bytes needed for the whole structure
    WCHAR NodeName[1];   // the name of the hub on that port, without "\\?\"
} USB_NODE_CONNECTION_NAME, *PUSB_NODE_CONNECTION_NAME;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(USB_NODE_INFORMATION) == 76, "USB_NODE_INFORMATION");
static_assert(sizeof(USB_PIPE_INFO) == 11, "USB_PIPE_INFO");
static_assert(sizeof(USB_NODE_CONNECTION_INFORMATION) == 35, "USB_NODE_CONNECTION_INFORMATION without pipes");
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, CurrentConfigurationValue) == 22, "layout");
static_assert(offsetof(USB_NODE_CONNECTION_INFORMATION, ConnectionStatus) == 31, "layout");
#endif
