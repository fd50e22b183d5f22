// ASPI for Win32, the SCSI interface of the 9x family, as WNASPI32.DLL offers it. The module
// is found only on a simulated PC of that family; its two entry points are reached with
// LoadLibraryA("WNASPI32.DLL") and GetProcAddress. Request blocks are byte-packed as in the
// original header; their pointers take 8 bytes here (SRB_ExecSCSICmd is 88 bytes, not 80), so
// callers use sizeof and the field names.
#pragma once
#include "wintypes.h"

#pragma pack(push, 1)

#define SENSE_LEN 14

// Commands
#define SC_HA_INQUIRY 0x00
#define SC_GET_DEV_TYPE 0x01
#define SC_EXEC_SCSI_CMD 0x02
#define SC_ABORT_SRB 0x03
#define SC_RESET_DEV 0x04

// SRB_Flags
#define SRB_POSTING 0x01
#define SRB_ENABLE_RESIDUAL_COUNT 0x04
#define SRB_DIR_IN 0x08
#define SRB_DIR_OUT 0x10
#define SRB_EVENT_NOTIFY 0x40

// SRB_Status
#define SS_PENDING 0x00
#define SS_COMP 0x01
#define SS_ABORTED 0x02
#define SS_ABORT_FAIL 0x03
#define SS_ERR 0x04
#define SS_INVALID_CMD 0x80
#define SS_INVALID_HA 0x81
#define SS_NO_DEVICE 0x82
#define SS_INVALID_SRB 0xE0
#define SS_BUFFER_ALIGN 0xE1
#define SS_ILLEGAL_MODE 0xE2
#define SS_NO_ASPI 0xE3
#define SS_FAILED_INIT 0xE4
#define SS_ASPI_IS_BUSY 0xE5
#define SS_BUFFER_TO_BIG 0xE6
#define SS_MISMATCHED_COMPONENTS 0xE7
#define SS_NO_ADAPTERS 0xE8
#define SS_INSUFFICIENT_RESOURCES 0xE9
#define SS_ASPI_IS_SHUTDOWN 0xEA
#define SS_BAD_INSTALL 0xEB

// SRB_HaStat
#define HASTAT_OK 0x00
#define HASTAT_TIMEOUT 0x09
#define HASTAT_COMMAND_TIMEOUT 0x0B
#define HASTAT_SEL_TO 0x11
#define HASTAT_DO_DU 0x12
#define HASTAT_BUS_FREE 0x13
#define HASTAT_PHASE_ERR 0x14

// Peripheral device types (SRB_GDEVBlock.SRB_DeviceType)
#define DTYPE_DASD 0x00
#define DTYPE_CDROM 0x05

typedef struct {
    BYTE SRB_Cmd;
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
} SRB_Header, *PSRB_Header;

typedef struct {
    BYTE SRB_Cmd;  // SC_HA_INQUIRY
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE HA_Count;
    BYTE HA_SCSI_ID;
    BYTE HA_ManagerId[16];
    BYTE HA_Identifier[16];
    BYTE HA_Unique[16];
    WORD HA_Rsvd1;
} SRB_HAInquiry, *PSRB_HAInquiry;

typedef struct {
    BYTE SRB_Cmd;  // SC_GET_DEV_TYPE
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    BYTE SRB_DeviceType;
    BYTE SRB_Rsvd1;
} SRB_GDEVBlock, *PSRB_GDEVBlock;

typedef struct {
    BYTE SRB_Cmd;  // SC_EXEC_SCSI_CMD
    BYTE SRB_Status;
    BYTE SRB_HaId;
    BYTE SRB_Flags;
    DWORD SRB_Hdr_Rsvd;
    BYTE SRB_Target;
    BYTE SRB_Lun;
    WORD SRB_Rsvd1;
    DWORD SRB_BufLen;  // with SRB_ENABLE_RESIDUAL_COUNT: the residual count afterwards
    BYTE* SRB_BufPointer;
    BYTE SRB_SenseLen;
    BYTE SRB_CDBLen;
    BYTE SRB_HaStat;
    BYTE SRB_TargStat;
    VOID* SRB_PostProc;  // the event handle with SRB_EVENT_NOTIFY
    BYTE SRB_Rsvd2[20];
    BYTE CDBByte[16];
    BYTE SenseArea[SENSE_LEN + 2];
} SRB_ExecSCSICmd, *PSRB_ExecSCSICmd;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(SRB_HAInquiry) == 60, "SRB_HAInquiry layout");
static_assert(sizeof(SRB_GDEVBlock) == 12, "SRB_GDEVBlock layout");
static_assert(sizeof(SRB_ExecSCSICmd) == 88, "native 64-bit SRB_ExecSCSICmd");
#endif

typedef void* LPSRB;
// The two exports of WNASPI32.DLL (C calling convention). GetASPI32SupportInfo answers
// (status << 8) | number of host adapters, with status SS_COMP or SS_NO_ADAPTERS.
typedef DWORD (*PFN_SendASPI32Command)(LPSRB);
typedef DWORD (*PFN_GetASPI32SupportInfo)(void);
