/* The contract between the Zelfin host and its firmware plug-ins (KPL*.DLL).
 *
 * A plug-in exports plain C-linkage functions by name; the host binds them at run time with
 * GetProcAddress and calls them one at a time. Every record that crosses the boundary is owned by
 * the host; the plug-in owns only the per-reader records that DeviceInfoEntry.device points to.
 * Every entry point returns a status: 0 for success, otherwise the number of a string in the
 * string library, which KPLGetErrorMessage turns into text. Nothing is thrown across the boundary.
 *
 * This header is valid C and C++. */
#ifndef ZELFIN_PLUGIN_API_KPL_H
#define ZELFIN_PLUGIN_API_KPL_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KPL_EXTERN_C extern "C"
#define KPL_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define KPL_EXTERN_C
#define KPL_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Marks a plug-in's entry point: C linkage, exported by its bare name. */
#if defined(_WIN32)
#define KPL_EXPORT KPL_EXTERN_C __declspec(dllexport)
#else
#define KPL_EXPORT KPL_EXTERN_C __attribute__((visibility("default")))
#endif

/* ---- sizes of the fixed buffers ----------------------------------------------------------- */
#define KPL_TEXT_SIZE 260     /* every name, path and text buffer, terminator included */
#define KPL_MAX_DEVICES 30    /* entries of a DeviceInfoList */
#define KPL_DISPLAY_ROWS 30   /* rows of a DisplayInfo */
#define KPL_PROGRESS_TEXT_MAX 259

/* ---- status values ------------------------------------------------------------------------- */
/* Each nonzero value is also the identifier of its message in the string library. */
#define KPL_OK 0
#define KPL_E_SYSTEM 200               /* a system step failed */
#define KPL_E_NO_MEMORY 201            /* memory could not be allocated */
#define KPL_E_OS_FAMILY 202            /* the operating system is not of the supported family */
#define KPL_E_IMAGE_UNREADABLE 204     /* the image file cannot be opened or read */
#define KPL_E_OUTPUT_CREATE 205        /* the output file cannot be created */
#define KPL_E_OUTPUT_WRITE 206         /* the output file cannot be written */
#define KPL_E_IMAGE_TYPE 207           /* image type not recognised, or a block needed for display missing */
#define KPL_E_IMAGE_INTEGRITY 208      /* integrity check failed, or a required block is missing */
#define KPL_E_NOTIFICATION 209         /* device-change notification could not be registered */
#define KPL_E_TO_UPGRADE_MODE 210      /* the device could not be switched to upgrade mode */
#define KPL_E_DETACH 211               /* the device could not be detached or switched back */
#define KPL_E_USER_ABORT 212           /* the operator aborted (abortFlag) */
#define KPL_E_FIRMWARE_READ 213        /* reading firmware from the device failed */
#define KPL_E_FIRMWARE_WRITE 214       /* writing firmware into the device failed */
#define KPL_E_VERIFY 215               /* read-back differs from the image, or its serial block is missing */
#define KPL_E_HELPER_REGISTER 217      /* the helper driver could not be registered */
#define KPL_E_HELPER_START 219         /* the helper driver could not be started */
#define KPL_E_EXTERNAL_DEVICE 220      /* the device holding the external firmware was not found or opened */
#define KPL_E_HELPER_IMAGE 221         /* the helper driver image could not be placed */
#define KPL_E_DRIVER_PACKAGE 222       /* the upgrade-mode driver package could not be installed */
#define KPL_E_NO_DEVICE 400            /* no device was found */
#define KPL_E_LIST_FULL 401            /* the device list is full */
#define KPL_E_DEVICE_QUERY 402         /* a device could not be queried through the helper driver */
#define KPL_E_SERIAL_CARRY 404         /* the serial number could not be carried into the image */
#define KPL_E_SERIAL_DISABLED 405      /* the image's serial-number block is disabled */
#define KPL_E_SERIAL_TYPE 406          /* the image's serial-number block is of unknown type */
#define KPL_E_SERIAL_MISSING 407       /* the image's serial-number block (or its string table) is missing */
#define KPL_E_DEVICE_OPEN 611          /* the device cannot be opened, or was re-plugged since the scan */
#define KPL_E_CONTROLLER_QUERY 616     /* the controller query failed */
#define KPL_E_STRINGS_NOT_LOADED 617   /* the string library cannot be loaded */
#define KPL_E_FEATURE_MISMATCH 618     /* the image's feature differs from the Plex monitor's */
#define KPL_OS_NOT_SUPPORTED 623       /* KPLIsOSSupported: this plug-in cannot run on this system */
#define KPL_E_DEVICES_NOT_BACK 624     /* devices did not reappear after the high-speed controllers were disabled */
/* Reserved for plug-ins that report a failure the operator may retry; the host offers a retry. */
#define KPL_E_RETRYABLE_735 735
#define KPL_E_RETRYABLE_737 737
#define KPL_E_RETRYABLE_738 738
#define KPL_E_RETRYABLE_740 740
#define KPL_E_RETRYABLE_751 751        /* retried without a message box */

/* ---- progress texts (string identifiers reported through ProgressCallback) ------------------ */
#define KPL_TEXT_START 615
#define KPL_TEXT_SWITCH_TO_DFU 600
#define KPL_TEXT_SWITCH_TO_FUNCTIONAL 601
#define KPL_TEXT_UPLOADING 602
#define KPL_TEXT_DOWNLOADING 603
#define KPL_TEXT_VERIFYING 604
#define KPL_TEXT_DOWNLOAD_DONE 605
#define KPL_TEXT_UPLOAD_DONE 606
#define KPL_TEXT_BACKUP 607
#define KPL_TEXT_SCANNING 608
#define KPL_TEXT_OPENING 609
#define KPL_TEXT_CLOSING 610
#define KPL_TEXT_EXTERNAL_UPLOAD 612
#define KPL_TEXT_GATHERING 613
#define KPL_TEXT_WAITING_FOR_DFU 627
#define KPL_TEXT_RETRY 214

/* ---- DisplayInfo labels and value texts (string identifiers) ------------------------------- */
#define KPL_LABEL_MANUFACTURER 500
#define KPL_LABEL_PRODUCT 501
#define KPL_LABEL_VENDOR_ID 502
#define KPL_LABEL_PRODUCT_ID 503
#define KPL_LABEL_FIRMWARE_VERSION 504
#define KPL_VALUE_VERSION_NOT_KNOWN 505
#define KPL_LABEL_WRITE_PROTECTION 506
#define KPL_VALUE_WRITE_PROTECT_ON 507
#define KPL_VALUE_WRITE_PROTECT_OFF 508
#define KPL_VALUE_WRITE_PROTECT_NOT_KNOWN 509
#define KPL_LABEL_TARGET_ID 510
#define KPL_VALUE_TARGET_ID_NOT_KNOWN 511
#define KPL_LABEL_SERIAL_NUMBER 512
#define KPL_LABEL_SLOT 619
#define KPL_LABEL_PRODUCT_TYPE 622

/* ---- records ------------------------------------------------------------------------------- */

/* One listed device. Natural alignment: the pointer sits on its 8-byte boundary, exactly as the
 * 64-bit Windows compilers lay the record out, so code must use sizeof, never a 32-bit size. */
typedef struct DeviceInfoEntry {
    char name[KPL_TEXT_SIZE]; /* display name; empty = end of the list */
    int32_t selected;         /* 1 when the image under consideration fits this device */
    void* device;             /* the plug-in's own record; the host never reads it */
    int32_t inUpgradeMode;    /* 1 when the device was found in its upgrade (DFU) mode */
} DeviceInfoEntry;

/* The host-owned list of one plug-in, addressed by zero-based uint8 index. */
typedef struct DeviceInfoList {
    DeviceInfoEntry entries[KPL_MAX_DEVICES];
} DeviceInfoList;

#pragma pack(push, 1)
typedef struct DisplayInfoRow {
    char label[KPL_TEXT_SIZE];    /* empty = end of the rows */
    char existing[KPL_TEXT_SIZE]; /* the value on the device */
    char proposed[KPL_TEXT_SIZE]; /* the value in the image */
} DisplayInfoRow;

typedef struct DisplayInfo {
    DisplayInfoRow rows[KPL_DISPLAY_ROWS];
} DisplayInfo;
#pragma pack(pop)

KPL_STATIC_ASSERT(offsetof(DeviceInfoEntry, name) == 0, "DeviceInfoEntry.name");
KPL_STATIC_ASSERT(offsetof(DeviceInfoEntry, selected) == 260, "DeviceInfoEntry.selected");
KPL_STATIC_ASSERT(sizeof(void*) != 8 || offsetof(DeviceInfoEntry, device) == 264, "DeviceInfoEntry.device");
KPL_STATIC_ASSERT(sizeof(void*) != 8 || offsetof(DeviceInfoEntry, inUpgradeMode) == 272,
                  "DeviceInfoEntry.inUpgradeMode");
KPL_STATIC_ASSERT(sizeof(void*) != 8 || sizeof(DeviceInfoEntry) == 280, "DeviceInfoEntry size");
KPL_STATIC_ASSERT(sizeof(DeviceInfoList) == KPL_MAX_DEVICES * sizeof(DeviceInfoEntry), "DeviceInfoList size");
KPL_STATIC_ASSERT(offsetof(DisplayInfoRow, existing) == 260, "DisplayInfoRow.existing");
KPL_STATIC_ASSERT(offsetof(DisplayInfoRow, proposed) == 520, "DisplayInfoRow.proposed");
KPL_STATIC_ASSERT(sizeof(DisplayInfoRow) == 780, "DisplayInfoRow size");
KPL_STATIC_ASSERT(sizeof(DisplayInfo) == 23400, "DisplayInfo size");

/* ---- callbacks ----------------------------------------------------------------------------- */

/* The host's log function, printf-style. Lines are either located ("%s(%i) :..." with the
 * source-unit name and a line number) or plain texts. */
typedef void (*LoggerCallback)(const char* format, ...);

/* step: percentage points to advance the bar (0 = reset it); text: status line, at most
 * KPL_PROGRESS_TEXT_MAX characters, may be empty. */
typedef void (*ProgressCallback)(int32_t step, const char* text);

/* ---- entry points -------------------------------------------------------------------------- */
/* Paths are ANSI (UTF-8) texts of at most 259 characters; a null configuration path means "use
 * the defaults". abortFlag is a host variable that another host thread may set at any time. */

/* Stores the logger for all later output. Returns the low 32 bits of the callback's address: the
 * result only tells the host that a logger was taken; it is not a status and never a handle. */
typedef int32_t (*KPLInitializeLogger_t)(LoggerCallback logger);
typedef int32_t (*KPLStartStop_t)(int32_t starting, const char* configPath);
typedef int32_t (*KPLCreateDeviceInfoList_t)(DeviceInfoList* list, const char* configPath);
typedef int32_t (*KPLIsBinaryValid_t)(const char* imagePath);
typedef int32_t (*KPLFilterDeviceInfoSet_t)(DeviceInfoList* list, const char* imagePath, int32_t unattended,
                                            int32_t ignoreChecks);
typedef int32_t (*KPLMatchDevBySymLink_t)(DeviceInfoList* list, const char* devicePathText, const char* imagePath);
typedef int32_t (*KPLMatchDFUDevByProdType_t)(DeviceInfoList* list, const char* imagePath);
/* imagePath may be null: only the `existing` column is filled then. */
typedef int32_t (*KPLGetDisplayInfo_t)(DeviceInfoList* list, uint8_t deviceIndex, const char* imagePath,
                                       DisplayInfo* info);
/* backupPath "" = no backup; progress may be null. */
typedef int32_t (*KPLDownloadFirmware_t)(DeviceInfoList* list, uint8_t deviceIndex, const char* backupPath,
                                         const char* imagePath, ProgressCallback progress,
                                         volatile int32_t* abortFlag);
typedef int32_t (*KPLUploadFirmware_t)(DeviceInfoList* list, uint8_t deviceIndex, const char* targetPath,
                                       ProgressCallback progress, volatile int32_t* abortFlag);
/* buffer holds KPL_TEXT_SIZE bytes; always returns 0. */
typedef int32_t (*KPLGetErrorMessage_t)(int32_t status, char* buffer);
typedef int32_t (*KPLDestroyDeviceInfoList_t)(DeviceInfoList* list);
/* Nonzero on success, 0 on failure (not a status). */
typedef int32_t (*KPLResetDevice_t)(DeviceInfoEntry* entry);
/* KPL_OS_NOT_SUPPORTED when the plug-in cannot run on this system. */
typedef int32_t (*KPLIsOSSupported_t)(void);
typedef int32_t (*KPLIsUploadSupported_t)(void);
/* kind 1: About-box text, kind 2: link text; buffer holds KPL_TEXT_SIZE bytes. Nonzero when filled. */
typedef int32_t (*KPLGetDLLInfo_t)(int32_t kind, char* buffer);
typedef void (*KPLSwitchToFuncMode_t)(void);

/* A plug-in defines KPL_DECLARE_ENTRY_POINTS before including this header so that the compiler
 * holds its definitions to the types above. */
#ifdef KPL_DECLARE_ENTRY_POINTS
KPL_EXPORT int32_t KPLInitializeLogger(LoggerCallback logger);
KPL_EXPORT int32_t KPLStartStop(int32_t starting, const char* configPath);
KPL_EXPORT int32_t KPLCreateDeviceInfoList(DeviceInfoList* list, const char* configPath);
KPL_EXPORT int32_t KPLIsBinaryValid(const char* imagePath);
KPL_EXPORT int32_t KPLFilterDeviceInfoSet(DeviceInfoList* list, const char* imagePath, int32_t unattended,
                                          int32_t ignoreChecks);
KPL_EXPORT int32_t KPLMatchDevBySymLink(DeviceInfoList* list, const char* devicePathText, const char* imagePath);
KPL_EXPORT int32_t KPLMatchDFUDevByProdType(DeviceInfoList* list, const char* imagePath);
KPL_EXPORT int32_t KPLGetDisplayInfo(DeviceInfoList* list, uint8_t deviceIndex, const char* imagePath,
                                     DisplayInfo* info);
KPL_EXPORT int32_t KPLDownloadFirmware(DeviceInfoList* list, uint8_t deviceIndex, const char* backupPath,
                                       const char* imagePath, ProgressCallback progress,
                                       volatile int32_t* abortFlag);
KPL_EXPORT int32_t KPLUploadFirmware(DeviceInfoList* list, uint8_t deviceIndex, const char* targetPath,
                                     ProgressCallback progress, volatile int32_t* abortFlag);
KPL_EXPORT int32_t KPLGetErrorMessage(int32_t status, char* buffer);
KPL_EXPORT int32_t KPLDestroyDeviceInfoList(DeviceInfoList* list);
KPL_EXPORT int32_t KPLResetDevice(DeviceInfoEntry* entry);
KPL_EXPORT int32_t KPLIsOSSupported(void);
KPL_EXPORT int32_t KPLIsUploadSupported(void);
KPL_EXPORT int32_t KPLGetDLLInfo(int32_t kind, char* buffer);
KPL_EXPORT void KPLSwitchToFuncMode(void);
#endif

#endif /* ZELFIN_PLUGIN_API_KPL_H */
