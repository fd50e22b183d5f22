// The SetupAPI subset: device information sets, device interfaces, registry properties, the
// class installer's property changes and removal. Structures carry the native 64-bit layout
// (8-byte packing), so SP_DEVICE_INTERFACE_DETAIL_DATA_A and _W both have a cbSize of 8 here:
// callers set cbSize to sizeof, never to the 32-bit numbers (5 and 6).
#pragma once
#include "guiddef.h"
#include "winerror.h"
#include "wintypes.h"

typedef PVOID HDEVINFO;
typedef PVOID HINF;
typedef PVOID HSPFILEQ;
typedef UINT DI_FUNCTION;
typedef UINT(CALLBACK* PSP_FILE_CALLBACK_A)(PVOID Context, UINT Notification, UINT_PTR Param1, UINT_PTR Param2);
typedef UINT(CALLBACK* PSP_FILE_CALLBACK_W)(PVOID Context, UINT Notification, UINT_PTR Param1, UINT_PTR Param2);

#define ANYSIZE_ARRAY 1
#define LINE_LEN 256
#define MAX_DEVICE_ID_LEN 200

// SetupDiGetClassDevs flags.
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010

// SP_DEVICE_INTERFACE_DATA.Flags
#define SPINT_ACTIVE 0x00000001
#define SPINT_DEFAULT 0x00000002
#define SPINT_REMOVED 0x00000004

// SetupDiOpenDeviceInterface flags.
#define DIODI_NO_ADD 0x00000001

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

// Device registry properties (SPDRP_*).
#define SPDRP_DEVICEDESC 0x00000000
#define SPDRP_HARDWAREID 0x00000001
#define SPDRP_COMPATIBLEIDS 0x00000002
#define SPDRP_SERVICE 0x00000004
#define SPDRP_CLASS 0x00000007
#define SPDRP_CLASSGUID 0x00000008
#define SPDRP_DRIVER 0x00000009
#define SPDRP_CONFIGFLAGS 0x0000000A
#define SPDRP_MFG 0x0000000B
#define SPDRP_FRIENDLYNAME 0x0000000C
#define SPDRP_LOCATION_INFORMATION 0x0000000D
#define SPDRP_PHYSICAL_DEVICE_OBJECT_NAME 0x0000000E
#define SPDRP_CAPABILITIES 0x0000000F
#define SPDRP_UI_NUMBER 0x00000010
#define SPDRP_UPPERFILTERS 0x00000011
#define SPDRP_LOWERFILTERS 0x00000012
#define SPDRP_BUSTYPEGUID 0x00000013
#define SPDRP_LEGACYBUSTYPE 0x00000014
#define SPDRP_BUSNUMBER 0x00000015
#define SPDRP_ENUMERATOR_NAME 0x00000016
#define SPDRP_SECURITY 0x00000017
#define SPDRP_SECURITY_SDS 0x00000018
#define SPDRP_DEVTYPE 0x00000019
#define SPDRP_EXCLUSIVE 0x0000001A
#define SPDRP_CHARACTERISTICS 0x0000001B
#define SPDRP_ADDRESS 0x0000001C
#define SPDRP_UI_NUMBER_DESC_FORMAT 0x0000001D
#define SPDRP_DEVICE_POWER_DATA 0x0000001E
#define SPDRP_REMOVAL_POLICY 0x0000001F
#define SPDRP_REMOVAL_POLICY_HW_DEFAULT 0x00000020
#define SPDRP_REMOVAL_POLICY_OVERRIDE 0x00000021
#define SPDRP_INSTALL_STATE 0x00000022
#define SPDRP_LOCATION_PATHS 0x00000023
#define SPDRP_MAXIMUM_PROPERTY 0x00000024

// Class installer functions and their parameters.
#define DIF_REMOVE 0x00000005
#define DIF_PROPERTYCHANGE 0x00000012

typedef struct _SP_CLASSINSTALL_HEADER {
    DWORD cbSize;
    DI_FUNCTION InstallFunction;
} SP_CLASSINSTALL_HEADER, *PSP_CLASSINSTALL_HEADER;

#define DICS_ENABLE 0x00000001
#define DICS_DISABLE 0x00000002
#define DICS_PROPCHANGE 0x00000003
#define DICS_START 0x00000004
#define DICS_STOP 0x00000005
#define DICS_FLAG_GLOBAL 0x00000001
#define DICS_FLAG_CONFIGSPECIFIC 0x00000002
#define DICS_FLAG_CONFIGGENERAL 0x00000004

typedef struct _SP_PROPCHANGE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD StateChange;
    DWORD Scope;
    DWORD HwProfile;
} SP_PROPCHANGE_PARAMS, *PSP_PROPCHANGE_PARAMS;

#define DI_REMOVEDEVICE_GLOBAL 0x00000001
#define DI_REMOVEDEVICE_CONFIGSPECIFIC 0x00000002

typedef struct _SP_REMOVEDEVICE_PARAMS {
    SP_CLASSINSTALL_HEADER ClassInstallHeader;
    DWORD Scope;
    DWORD HwProfile;
} SP_REMOVEDEVICE_PARAMS, *PSP_REMOVEDEVICE_PARAMS;

// SP_DEVINSTALL_PARAMS.Flags
#define DI_NEEDRESTART 0x00000080
#define DI_NEEDREBOOT 0x00000100

typedef struct _SP_DEVINSTALL_PARAMS_A {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PSP_FILE_CALLBACK_A InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    HSPFILEQ FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    CHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_A, *PSP_DEVINSTALL_PARAMS_A;

typedef struct _SP_DEVINSTALL_PARAMS_W {
    DWORD cbSize;
    DWORD Flags;
    DWORD FlagsEx;
    HWND hwndParent;
    PSP_FILE_CALLBACK_W InstallMsgHandler;
    PVOID InstallMsgHandlerContext;
    HSPFILEQ FileQueue;
    ULONG_PTR ClassInstallReserved;
    DWORD Reserved;
    WCHAR DriverPath[MAX_PATH];
} SP_DEVINSTALL_PARAMS_W, *PSP_DEVINSTALL_PARAMS_W;

#ifdef __cplusplus
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "native 64-bit SP_DEVINFO_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "native 64-bit SP_DEVICE_INTERFACE_DATA");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "native 64-bit detail data");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8, "native 64-bit detail data");
static_assert(sizeof(SP_PROPCHANGE_PARAMS) == 20, "SP_PROPCHANGE_PARAMS layout");
static_assert(sizeof(SP_REMOVEDEVICE_PARAMS) == 16, "SP_REMOVEDEVICE_PARAMS layout");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_A) == 320, "native 64-bit SP_DEVINSTALL_PARAMS_A");
static_assert(sizeof(SP_DEVINSTALL_PARAMS_W) == 584, "native 64-bit SP_DEVINSTALL_PARAMS_W");
#endif

// SetupAPI's own error codes (APPLICATION_ERROR_MASK | ERROR_SEVERITY_ERROR | n).
#define ERROR_EXPECTED_SECTION_NAME 0xE0000000L
#define ERROR_BAD_SECTION_NAME_LINE 0xE0000001L
#define ERROR_SECTION_NAME_TOO_LONG 0xE0000002L
#define ERROR_GENERAL_SYNTAX 0xE0000003L
#define ERROR_WRONG_INF_STYLE 0xE0000100L
#define ERROR_SECTION_NOT_FOUND 0xE0000101L
#define ERROR_LINE_NOT_FOUND 0xE0000102L
#define ERROR_NO_ASSOCIATED_CLASS 0xE0000200L
#define ERROR_INVALID_CLASS 0xE0000206L
#define ERROR_INVALID_REG_PROPERTY 0xE0000209L
#define ERROR_NO_SUCH_DEVINST 0xE000020BL
#define ERROR_DI_DO_DEFAULT 0xE000020EL
#define ERROR_NO_CLASSINSTALL_PARAMS 0xE0000215L
#define ERROR_NO_SUCH_DEVICE_INTERFACE 0xE0000225L
#define ERROR_NOT_DISABLEABLE 0xE0000231L
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784
#endif

WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR Enumerator, HWND hwndParent,
                                                DWORD Flags);
WINSIM_API HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                                DWORD Flags);
WINSIM_API BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
WINSIM_API BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex,
                                             PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO DeviceInfoSet,
                                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
                                                        DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                        PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet,
                                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                                        PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                                        DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                                        PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiOpenDeviceInterfaceA(HDEVINFO DeviceInfoSet, PCSTR DevicePath, DWORD OpenFlags,
                                                   PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, PDWORD PropertyRegDataType,
                                                         PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                         PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, PDWORD PropertyRegDataType,
                                                         PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                                         PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiSetDeviceRegistryPropertyA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                         DWORD Property, const BYTE* PropertyBuffer,
                                                         DWORD PropertyBufferSize);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   PSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                   PWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize,
                                                   PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiGetClassDescriptionA(const GUID* ClassGuid, PSTR ClassDescription,
                                                   DWORD ClassDescriptionSize, PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiGetClassDescriptionW(const GUID* ClassGuid, PWSTR ClassDescription,
                                                   DWORD ClassDescriptionSize, PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupDiSetClassInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                                     DWORD ClassInstallParamsSize);
WINSIM_API BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                     PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                                     DWORD ClassInstallParamsSize);
WINSIM_API BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                                 PSP_DEVINFO_DATA DeviceInfoData);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstallParamsA(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                      PSP_DEVINSTALL_PARAMS_A DeviceInstallParams);
WINSIM_API BOOL WINAPI SetupDiGetDeviceInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                      PSP_DEVINSTALL_PARAMS_W DeviceInstallParams);

// ---- setup information (INF) files -----------------------------------------------------------
// Only Windows 4.0 style files are read; the legacy NT style is refused with ERROR_NOT_SUPPORTED.
#define INF_STYLE_NONE 0x00000000
#define INF_STYLE_OLDNT 0x00000001
#define INF_STYLE_WIN4 0x00000002
#define MAX_INF_STRING_LENGTH 4096
#define MAX_SECTION_NAME_LEN 255

typedef struct _INFCONTEXT {
    PVOID Inf;
    PVOID CurrentInf;
    UINT Section;
    UINT Line;
} INFCONTEXT, *PINFCONTEXT;

// SetupCopyOEMInf media types and copy styles.
#define SPOST_NONE 0
#define SPOST_PATH 1
#define SPOST_URL 2
#define SPOST_MAX 3
#define SP_COPY_DELETESOURCE 0x0000001
#define SP_COPY_REPLACEONLY 0x0000002
#define SP_COPY_NOOVERWRITE 0x0000008
#define SP_COPY_OEMINF_CATALOG_ONLY 0x0040000

WINSIM_API HINF WINAPI SetupOpenInfFileA(PCSTR FileName, PCSTR InfClass, DWORD InfStyle, PUINT ErrorLine);
WINSIM_API void WINAPI SetupCloseInfFile(HINF InfHandle);
WINSIM_API BOOL WINAPI SetupFindFirstLineA(HINF InfHandle, PCSTR Section, PCSTR Key, PINFCONTEXT Context);
WINSIM_API BOOL WINAPI SetupFindNextLine(const INFCONTEXT* ContextIn, PINFCONTEXT ContextOut);
WINSIM_API BOOL WINAPI SetupGetStringFieldA(const INFCONTEXT* Context, DWORD FieldIndex, PSTR ReturnBuffer,
                                            DWORD ReturnBufferSize, PDWORD RequiredSize);
WINSIM_API BOOL WINAPI SetupCopyOEMInfA(PCSTR SourceInfFileName, PCSTR OEMSourceMediaLocation,
                                        DWORD OEMSourceMediaType, DWORD CopyStyle, PSTR DestinationInfFileName,
                                        DWORD DestinationInfFileNameSize, PDWORD RequiredSize,
                                        PSTR* DestinationInfFileNameComponent);
