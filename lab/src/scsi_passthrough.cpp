// IOCTL_SCSI_PASS_THROUGH_DIRECT as the storage class drivers handle it: the request block is
// checked the way the port driver checks it, the command runs on the SCSI port below, and the
// status, transfer length and sense data go back into the block.
#include <algorithm>
#include <cstring>

#include <winsim/ntddscsi.h>

#include "pc_drivers.h"

namespace lab {

namespace {
// The largest transfer the lab's adapter takes in one command.
constexpr uint32_t kMaxTransfer = 0x10000;
}  // namespace

NTSTATUS scsiPassThroughDirect(ScsiPort& port, IoRequest& r, std::optional<uint8_t> ownLun) {
    if (r.inputLength < sizeof(SCSI_PASS_THROUGH_DIRECT) || r.outputLength < sizeof(SCSI_PASS_THROUGH_DIRECT))
        return STATUS_INVALID_PARAMETER;
    SCSI_PASS_THROUGH_DIRECT spt;
    std::memcpy(&spt, r.input, sizeof spt);  // the output shares this buffer: read it first
    if (spt.Length != sizeof(SCSI_PASS_THROUGH_DIRECT)) return STATUS_REVISION_MISMATCH;
    if (spt.CdbLength == 0 || spt.CdbLength > sizeof spt.Cdb || spt.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED ||
        spt.DataTransferLength > kMaxTransfer || (spt.DataTransferLength && !spt.DataBuffer) ||
        (spt.SenseInfoLength && spt.SenseInfoOffset < sizeof spt))
        return STATUS_INVALID_PARAMETER;

    ScsiCommand command;
    command.cdb = spt.Cdb;
    command.cdbLength = spt.CdbLength;
    command.lun = ownLun ? *ownLun : spt.Lun;
    command.data = static_cast<uint8_t*>(spt.DataBuffer);
    command.dataLength = spt.DataTransferLength;
    command.direction = spt.DataTransferLength == 0            ? DataDirection::None
                        : spt.DataIn == SCSI_IOCTL_DATA_IN     ? DataDirection::In
                        : spt.DataIn == SCSI_IOCTL_DATA_OUT    ? DataDirection::Out
                                                               : DataDirection::Unspecified;
    command.timeoutSeconds = spt.TimeOutValue;
    const ScsiOutcome outcome = port.scsi(command);
    switch (outcome.kind) {
    case ScsiOutcome::Kind::TimedOut: return STATUS_IO_TIMEOUT;
    case ScsiOutcome::Kind::NoDevice: return STATUS_DEVICE_DOES_NOT_EXIST;
    case ScsiOutcome::Kind::PhaseError: return STATUS_IO_DEVICE_ERROR;
    case ScsiOutcome::Kind::Completed: break;
    }

    spt.ScsiStatus = outcome.status;
    spt.DataTransferLength = outcome.transferred;
    // Sense data goes where the caller asked, never past its buffer nor past what it made room
    // for.
    uint32_t sense = 0;
    if (outcome.status != 0 && spt.SenseInfoLength && spt.SenseInfoOffset < r.outputLength) {
        sense = std::min<uint32_t>({spt.SenseInfoLength, static_cast<uint32_t>(outcome.sense.size()),
                                    r.outputLength - spt.SenseInfoOffset});
        std::memcpy(r.output + spt.SenseInfoOffset, outcome.sense.data(), sense);
    }
    spt.SenseInfoLength = static_cast<UCHAR>(sense);
    std::memcpy(r.output, &spt, sizeof spt);
    r.information = sense ? spt.SenseInfoOffset + sense : static_cast<uint32_t>(sizeof spt);
    return STATUS_SUCCESS;
}

}  // namespace lab
