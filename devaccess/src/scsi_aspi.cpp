// ASPI for Win32, the way to the SCSI devices on the 9x family: WNASPI32.DLL is loaded for each
// open device, and every command is one request block whose completion the manager signals
// through an event.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "scsi_internal.h"

namespace scsi {

namespace {

// The manager completes requests on a thread of its own and changes the status byte last.
BYTE requestStatus(SRB_ExecSCSICmd* request) {
    return std::atomic_ref<BYTE>(request->SRB_Status).load(std::memory_order_acquire);
}

}  // namespace

AspiLibrary* AspiLoad() {
    auto* library = static_cast<AspiLibrary*>(std::calloc(1, sizeof(AspiLibrary)));
    if (!library) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    library->tag = kAspiLibraryTag;
    library->module = LoadLibraryA("WNASPI32.DLL");
    if (library->module) {
        library->sendCommand =
            reinterpret_cast<PFN_SendASPI32Command>(GetProcAddress(library->module, "SendASPI32Command"));
        library->supportInfo =
            reinterpret_cast<PFN_GetASPI32SupportInfo>(GetProcAddress(library->module, "GetASPI32SupportInfo"));
    }
    if (!library->module || !library->sendCommand || !library->supportInfo) {
        const DWORD error = GetLastError();
        if (library->module) FreeLibrary(library->module);
        std::free(library);
        SetLastError(error);
        return nullptr;
    }
    return library;
}

BOOL AspiUnload(AspiLibrary* library) {
    if (!aspiValid(library)) return FALSE;
    if (!FreeLibrary(library->module)) return FALSE;
    library->tag = 0;
    std::free(library);
    return TRUE;
}

DWORD AspiExecute(AspiLibrary* library, SRB_ExecSCSICmd* request) {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!event) return SS_INSUFFICIENT_RESOURCES;
    request->SRB_PostProc = event;
    if (!aspiValid(library)) {
        CloseHandle(event);
        return SS_BAD_INSTALL;
    }
    library->sendCommand(request);
    if (requestStatus(request) == SS_PENDING) WaitForSingleObject(event, INFINITE);
    const DWORD status = requestStatus(request);
    CloseHandle(event);
    return status;
}

void buildAspiRequest(const ScsiDevice& device, uint8_t cdbLength, const uint8_t* cdb, uint32_t dataLength,
                      void* data, int32_t direction, SRB_ExecSCSICmd* request) {
    std::memset(request, 0, sizeof *request);
    request->SRB_Cmd = SC_EXEC_SCSI_CMD;
    request->SRB_HaId = device.pathId;
    request->SRB_Target = device.targetId;
    request->SRB_Lun = device.lun;
    request->SRB_BufLen = dataLength;
    request->SRB_BufPointer = static_cast<BYTE*>(data);
    request->SRB_SenseLen = SENSE_LEN;
    request->SRB_CDBLen = cdbLength;
    std::memcpy(request->CDBByte, cdb, std::min<size_t>(cdbLength, sizeof request->CDBByte));
    // SCSI-2 targets take the LUN from CDB byte 1 as well as from the identify message.
    request->CDBByte[1] = static_cast<BYTE>(request->CDBByte[1] | device.lun << 5);
    request->SRB_Flags = SRB_EVENT_NOTIFY;
    if (dataLength != 0)
        request->SRB_Flags |= (direction == kScsiDataIn ? SRB_DIR_IN : SRB_DIR_OUT) | SRB_ENABLE_RESIDUAL_COUNT;
}

}  // namespace scsi
