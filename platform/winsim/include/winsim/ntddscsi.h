// SCSI pass-through: IOCTL_SCSI_PASS_THROUGH_DIRECT and its request block in the native 64-bit
// layout (DataBuffer is a pointer, so the block is 56 bytes here, not the 44 of 32-bit Windows:
// callers use sizeof and offsetof, never the 32-bit numbers).
#pragma once
#include "winioctl.h"

#define IOCTL_SCSI_BASE FILE_DEVICE_CONTROLLER
#define IOCTL_SCSI_PASS_THROUGH CTL_CODE(IOCTL_SCSI_BASE, 0x0401, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)
#define IOCTL_SCSI_PASS_THROUGH_DIRECT \
    CTL_CODE(IOCTL_SCSI_BASE, 0x0405, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS)

#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

typedef struct _SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;  // sizeof(SCSI_PASS_THROUGH_DIRECT)
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;  // in: room for sense data; out: bytes of sense data stored
    UCHAR DataIn;
    ULONG DataTransferLength;  // in: requested; out: transferred
    ULONG TimeOutValue;        // seconds
    PVOID DataBuffer;
    ULONG SenseInfoOffset;  // from the start of this block, inside the output buffer
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT, *PSCSI_PASS_THROUGH_DIRECT;

#ifdef __cplusplus
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56, "native 64-bit SCSI_PASS_THROUGH_DIRECT");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer) == 24, "native 64-bit SCSI_PASS_THROUGH_DIRECT");
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 36, "native 64-bit SCSI_PASS_THROUGH_DIRECT");
#endif

// A request block whose Length is not the size of a pass-through structure.
