// WM_DEVICECHANGE: its events and the records its lParam points to.
#pragma once
#include "winuser.h"

#define DBT_DEVNODES_CHANGED 0x0007
#define DBT_QUERYCHANGECONFIG 0x0017
#define DBT_CONFIGCHANGED 0x0018
#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEQUERYREMOVE 0x8001
#define DBT_DEVICEQUERYREMOVEFAILED 0x8002
#define DBT_DEVICEREMOVEPENDING 0x8003
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVICETYPESPECIFIC 0x8005
#define DBT_CUSTOMEVENT 0x8006

#define DBT_DEVTYP_OEM 0x00000000
#define DBT_DEVTYP_VOLUME 0x00000002
#define DBT_DEVTYP_PORT 0x00000003
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DBT_DEVTYP_HANDLE 0x00000006

#define DBTF_MEDIA 0x0001
#define DBTF_NET 0x0002

// What a window answers to DBT_DEVICEQUERYREMOVE to refuse it.
#define BROADCAST_QUERY_DENY 0x424D5144

typedef struct _DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
} DEV_BROADCAST_HDR, *PDEV_BROADCAST_HDR;

typedef struct _DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];  // the symbolic link; the record is as long as dbcc_size says
} DEV_BROADCAST_DEVICEINTERFACE_A, *PDEV_BROADCAST_DEVICEINTERFACE_A;

typedef struct _DEV_BROADCAST_VOLUME {
    DWORD dbcv_size;
    DWORD dbcv_devicetype;
    DWORD dbcv_reserved;
    DWORD dbcv_unitmask;
    WORD dbcv_flags;
} DEV_BROADCAST_VOLUME, *PDEV_BROADCAST_VOLUME;

typedef struct _DEV_BROADCAST_HANDLE {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
    HANDLE dbch_handle;
    HDEVNOTIFY dbch_hdevnotify;
    GUID dbch_eventguid;
    LONG dbch_nameoffset;
    BYTE dbch_data[1];
} DEV_BROADCAST_HANDLE, *PDEV_BROADCAST_HANDLE;

static_assert(sizeof(DEV_BROADCAST_HDR) == 12, "DEV_BROADCAST_HDR layout");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "DEV_BROADCAST_DEVICEINTERFACE_A layout");
static_assert(sizeof(DEV_BROADCAST_VOLUME) == 20, "DEV_BROADCAST_VOLUME layout");
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 56, "native 64-bit DEV_BROADCAST_HANDLE");
