// WNASPI32.DLL, the ASPI manager of the 9x family, over the lab's SCSI adapter (host adapter 0).
// Commands run asynchronously as with the real manager: SendASPI32Command answers SS_PENDING and
// the request block's status changes when the command is done; with SRB_EVENT_NOTIFY the event
// in SRB_PostProc is set then, otherwise the caller polls SRB_Status.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include <winsim/wnaspi32.h>

#include "devices.h"

namespace winsim {

namespace {

constexpr BYTE kAdapterCount = 1;
constexpr BYTE kAdapterScsiId = 7;
// The manager gives up on a command that does not finish within this time (lab clock).
constexpr uint32_t kCommandTimeoutSeconds = 30;

void setStatus(BYTE* status, BYTE value) {
    // The caller may be polling this byte from another thread.
    std::atomic_ref<BYTE>(*status).store(value, std::memory_order_release);
}

void padded(BYTE* field, const char* text) {
    std::memset(field, ' ', 16);
    std::memcpy(field, text, std::min<size_t>(16, std::strlen(text)));
}

// The device at this address; with anyLun, when no device has this LUN, another one of the
// target (a target answers for the LUNs it does not have).
std::shared_ptr<lab::PhysicalDevice> deviceAt(BYTE target, BYTE lun, bool anyLun) {
    lab::Hardware& hw = hardware();
    hw.refresh();
    std::shared_ptr<lab::PhysicalDevice> sameTarget;
    for (const auto& d : hw.physicalDevices()) {
        if (!d->plugged() || !d->scsi() || d->scsi()->targetId() != target) continue;
        if (d->scsi()->lun() == lun) return d;
        if (anyLun && !sameTarget) sameTarget = d;
    }
    return sameTarget;
}

void execute(SRB_ExecSCSICmd* srb) {
    const BYTE flags = srb->SRB_Flags;
    lab::ScsiCommand command;
    command.cdb = srb->CDBByte;
    command.cdbLength = srb->SRB_CDBLen;
    command.lun = srb->SRB_Lun;
    command.data = srb->SRB_BufPointer;
    command.dataLength = srb->SRB_BufLen;
    command.direction = srb->SRB_BufLen == 0           ? lab::DataDirection::None
                        : (flags & SRB_DIR_IN)         ? lab::DataDirection::In
                        : (flags & SRB_DIR_OUT)        ? lab::DataDirection::Out
                                                       : lab::DataDirection::Unspecified;
    command.timeoutSeconds = kCommandTimeoutSeconds;

    BYTE status = SS_ERR;
    srb->SRB_HaStat = HASTAT_OK;
    srb->SRB_TargStat = 0;
    // A LUN the target does not have is still addressed to the target: it answers for itself.
    auto device = deviceAt(srb->SRB_Target, srb->SRB_Lun, true);
    if (!device) {
        srb->SRB_HaStat = HASTAT_SEL_TO;
    } else {
        const lab::ScsiOutcome o = device->scsi()->execute(command);
        switch (o.kind) {
        case lab::ScsiOutcome::Kind::TimedOut: srb->SRB_HaStat = HASTAT_COMMAND_TIMEOUT; break;
        case lab::ScsiOutcome::Kind::NoDevice: srb->SRB_HaStat = HASTAT_SEL_TO; break;
        case lab::ScsiOutcome::Kind::PhaseError: srb->SRB_HaStat = HASTAT_PHASE_ERR; break;
        case lab::ScsiOutcome::Kind::Completed:
            srb->SRB_TargStat = o.status;
            if (o.status == lab::kStatusGood) {
                status = SS_COMP;
                if (o.transferred < srb->SRB_BufLen) srb->SRB_HaStat = HASTAT_DO_DU;
                if (flags & SRB_ENABLE_RESIDUAL_COUNT) srb->SRB_BufLen -= o.transferred;
            } else {
                const size_t n = std::min<size_t>({srb->SRB_SenseLen, sizeof srb->SenseArea, o.sense.size()});
                std::memcpy(srb->SenseArea, o.sense.data(), n);
            }
            break;
        }
    }
    HANDLE event = (flags & SRB_EVENT_NOTIFY) ? srb->SRB_PostProc : nullptr;
    setStatus(&srb->SRB_Status, status);
    if (event) SetEvent(event);
}

DWORD execScsi(SRB_ExecSCSICmd* srb) {
    constexpr BYTE known = SRB_ENABLE_RESIDUAL_COUNT | SRB_DIR_IN | SRB_DIR_OUT | SRB_EVENT_NOTIFY;
    if (srb->SRB_Flags & ~known) {
        // Posting routines are not offered: events and polling are.
        SetLastError(ERROR_NOT_SUPPORTED);
        srb->SRB_Status = SS_INVALID_SRB;
        return SS_INVALID_SRB;
    }
    if ((srb->SRB_Flags & SRB_DIR_IN) && (srb->SRB_Flags & SRB_DIR_OUT)) {
        srb->SRB_Status = SS_INVALID_SRB;
        return SS_INVALID_SRB;
    }
    if (srb->SRB_CDBLen == 0 || srb->SRB_CDBLen > sizeof srb->CDBByte || (srb->SRB_BufLen && !srb->SRB_BufPointer)) {
        srb->SRB_Status = SS_INVALID_SRB;
        return SS_INVALID_SRB;
    }
    setStatus(&srb->SRB_Status, SS_PENDING);
    try {
        std::thread([srb] {
            try {
                execute(srb);
            } catch (const std::exception&) {
                HANDLE event = (srb->SRB_Flags & SRB_EVENT_NOTIFY) ? srb->SRB_PostProc : nullptr;
                setStatus(&srb->SRB_Status, SS_ERR);
                if (event) SetEvent(event);
            }
        }).detach();
    } catch (const std::exception&) {
        srb->SRB_Status = SS_INSUFFICIENT_RESOURCES;
        return SS_INSUFFICIENT_RESOURCES;
    }
    return SS_PENDING;
}

DWORD sendAspi32Command(LPSRB request) {
    if (!request) return SS_INVALID_SRB;
    auto* header = static_cast<SRB_Header*>(request);
    try {
        if (header->SRB_Cmd != SC_HA_INQUIRY && header->SRB_HaId >= kAdapterCount) {
            header->SRB_Status = SS_INVALID_HA;
            return SS_INVALID_HA;
        }
        switch (header->SRB_Cmd) {
        case SC_HA_INQUIRY: {
            auto* srb = static_cast<SRB_HAInquiry*>(request);
            srb->HA_Count = kAdapterCount;
            if (srb->SRB_HaId >= kAdapterCount) {
                srb->SRB_Status = SS_INVALID_HA;
                return SS_INVALID_HA;
            }
            srb->HA_SCSI_ID = kAdapterScsiId;
            padded(srb->HA_ManagerId, "ASPI for WIN32");
            padded(srb->HA_Identifier, "Lab SCSI Adapter");
            std::memset(srb->HA_Unique, 0, sizeof srb->HA_Unique);
            srb->HA_Unique[2] = 0x02;  // residual byte counts are reported
            srb->HA_Unique[3] = 8;     // targets
            const DWORD maxTransfer = 0x10000;
            std::memcpy(srb->HA_Unique + 4, &maxTransfer, sizeof maxTransfer);
            srb->SRB_Status = SS_COMP;
            return SS_COMP;
        }
        case SC_GET_DEV_TYPE: {
            auto* srb = static_cast<SRB_GDEVBlock*>(request);
            auto device = deviceAt(srb->SRB_Target, srb->SRB_Lun, false);
            if (!device) {
                srb->SRB_Status = SS_NO_DEVICE;
                return SS_NO_DEVICE;
            }
            srb->SRB_DeviceType = device->scsi()->peripheralType();
            srb->SRB_Status = SS_COMP;
            return SS_COMP;
        }
        case SC_EXEC_SCSI_CMD: return execScsi(static_cast<SRB_ExecSCSICmd*>(request));
        default:
            SetLastError(ERROR_NOT_SUPPORTED);
            header->SRB_Status = SS_INVALID_CMD;
            return SS_INVALID_CMD;
        }
    } catch (const std::exception&) {
        header->SRB_Status = SS_INSUFFICIENT_RESOURCES;
        return SS_INSUFFICIENT_RESOURCES;
    }
}

DWORD getAspi32SupportInfo() { return static_cast<DWORD>(SS_COMP) << 8 | kAdapterCount; }

}  // namespace

bool aspiAvailable() { return currentLab().is9x() && currentLab().settings().aspiInstalled; }

FARPROC aspiExport(const char* name) {
    if (std::strcmp(name, "SendASPI32Command") == 0) {
        PFN_SendASPI32Command f = sendAspi32Command;
        return reinterpret_cast<FARPROC>(f);
    }
    if (std::strcmp(name, "GetASPI32SupportInfo") == 0) {
        PFN_GetASPI32SupportInfo f = getAspi32SupportInfo;
        return reinterpret_cast<FARPROC>(f);
    }
    return nullptr;
}

}  // namespace winsim
