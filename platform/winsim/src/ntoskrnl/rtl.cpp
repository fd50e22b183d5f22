// Counted strings, pool memory and the translation of a status into the Win32 error that user
// mode sees for it.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "../internal.h"
#include "kernel.h"

namespace {

std::atomic<long>& outstanding() {
    static std::atomic<long> n{0};
    return n;
}

struct StatusMapping {
    NTSTATUS status;
    ULONG error;
};

// The statuses drivers here complete requests with, and what Windows reports for each.
constexpr StatusMapping kStatusToError[] = {
    {STATUS_SUCCESS, ERROR_SUCCESS},
    {STATUS_TIMEOUT, WAIT_TIMEOUT},
    {STATUS_PENDING, ERROR_IO_PENDING},
    {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
    {STATUS_DEVICE_BUSY, ERROR_BUSY},
    {STATUS_NO_MORE_ENTRIES, ERROR_NO_MORE_ITEMS},
    {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
    {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
    {STATUS_INFO_LENGTH_MISMATCH, ERROR_BAD_LENGTH},
    {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
    {STATUS_NO_SUCH_FILE, ERROR_FILE_NOT_FOUND},
    {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
    {STATUS_NO_MEDIA_IN_DEVICE, ERROR_NOT_READY},
    {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
    {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
    {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
    {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
    {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
    {STATUS_DATA_ERROR, ERROR_CRC},
    {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
    {STATUS_REVISION_MISMATCH, ERROR_REVISION_MISMATCH},
    {STATUS_PROCEDURE_NOT_FOUND, ERROR_PROC_NOT_FOUND},
    {STATUS_INVALID_IMAGE_FORMAT, ERROR_BAD_EXE_FORMAT},
    {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
    {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
    {STATUS_MEDIA_WRITE_PROTECTED, ERROR_WRITE_PROTECT},
    {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
    {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
    {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
    {STATUS_DEVICE_DOES_NOT_EXIST, ERROR_DEV_NOT_EXIST},
    {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
    {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
    {STATUS_IO_DEVICE_ERROR, ERROR_IO_DEVICE},
    {STATUS_INVALID_BUFFER_SIZE, ERROR_INVALID_USER_BUFFER},
    {STATUS_DEVICE_REMOVED, ERROR_DEV_NOT_EXIST},
};

}  // namespace

namespace winsim::kernel {

long outstandingPoolBlocks() { return outstanding().load(); }

}  // namespace winsim::kernel

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING out, PCWSTR source) {
    const size_t n = source ? std::char_traits<char16_t>::length(source) : 0;
    out->Buffer = const_cast<PWSTR>(source);
    out->Length = static_cast<USHORT>(std::min<size_t>(n * sizeof(WCHAR), 0xFFFC));
    out->MaximumLength = source ? static_cast<USHORT>(out->Length + sizeof(WCHAR)) : 0;
}

VOID RtlInitAnsiString(PANSI_STRING out, PCSTR source) {
    const size_t n = source ? std::strlen(source) : 0;
    out->Buffer = const_cast<PCHAR>(source);
    out->Length = static_cast<USHORT>(std::min<size_t>(n, 0xFFFE));
    out->MaximumLength = source ? static_cast<USHORT>(out->Length + 1) : 0;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING out, PCANSI_STRING source, BOOLEAN allocate) {
    if (!out || !source) return STATUS_INVALID_PARAMETER;
    const std::u16string text = winsim::utf8ToUtf16(std::string(source->Buffer ? source->Buffer : "", source->Length));
    const size_t bytes = text.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > 0xFFFF) return STATUS_INVALID_PARAMETER;
    if (allocate) {
        out->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), 0x72747355 /* "Ustr" */));
        if (!out->Buffer) return STATUS_NO_MEMORY;
        out->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    } else if (!out->Buffer || out->MaximumLength < bytes) {
        return STATUS_BUFFER_OVERFLOW;
    }
    std::memcpy(out->Buffer, text.data(), bytes);
    if (out->MaximumLength >= bytes + sizeof(WCHAR)) out->Buffer[text.size()] = 0;
    out->Length = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING s) {
    if (!s || !s->Buffer) return;
    ExFreePool(s->Buffer);
    s->Buffer = nullptr;
    s->Length = s->MaximumLength = 0;
}

ULONG RtlNtStatusToDosError(NTSTATUS status) {
    for (const StatusMapping& m : kStatusToError)
        if (m.status == status) return m.error;
    return ERROR_MR_MID_NOT_FOUND;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T bytes, ULONG) {
    if (winsim::kernel::poolAllocationFails()) return nullptr;
    void* p = std::malloc(bytes ? bytes : 1);
    if (p) ++outstanding();
    return p;
}

VOID ExFreePool(PVOID p) {
    if (!p) return;
    std::free(p);
    --outstanding();
}

VOID ExFreePoolWithTag(PVOID p, ULONG) { ExFreePool(p); }

}  // extern "C"
