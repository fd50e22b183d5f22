// IOCTL_DMHLP_QUERY_DFU_CAPAB: finds a device by its physical device object name, hands out its
// id, and reads its identity with the readers' vendor requests and its descriptors. The record
// is filled step by step; a failing step ends the query with STATUS_NOT_SUPPORTED and leaves
// what was already written.
#include <string.h>

#include "dmhlp_internal.h"

namespace dmhlp {

namespace {

constexpr ULONG kStepPauseMs = 1;
constexpr USHORT kLanguageUsEnglish = 0x0409;
constexpr UCHAR kVendorInInterface = 0xC1;  // vendor, device to host, to the interface

// The identity requests after the device was found; success only when all that must succeed did.
bool readIdentity(PDEVICE_OBJECT pdo, QueryRecord* record) {
    if (!NT_SUCCESS(controlRequest(pdo, URB_FUNCTION_VENDOR_INTERFACE, false, tarn::kVendorOut, tarn::kReqPrepareQuery, 0,
                                   0, nullptr, 0)
                        .status))
        return false;
    pause(kStepPauseMs);
    record->identityRead = 1;
    uint8_t reply[sizeof(USB_DEVICE_DESCRIPTOR)] = {};
    // An older reader does not know its upgrade type: the caller's value stays.
    if (NT_SUCCESS(controlRequest(pdo, URB_FUNCTION_VENDOR_INTERFACE, true, kVendorInInterface, tarn::kReqUpgradeType, 0, 0, reply, 1).status))
        record->dfuType = reply[0];

    pause(kStepPauseMs);
    if (!NT_SUCCESS(controlRequest(pdo, URB_FUNCTION_VENDOR_INTERFACE, true, kVendorInInterface, tarn::kReqDeviceType, 0, 0, reply, 2).status))
        return false;
    record->deviceType = reply[0];

    pause(kStepPauseMs);
    if (!NT_SUCCESS(controlRequest(pdo, URB_FUNCTION_VENDOR_INTERFACE, true, kVendorInInterface, tarn::kReqFirmwareVersion, 0, 0, reply, 2)
                        .status))
        return false;
    record->versionMajor = reply[1];
    record->versionMinor = reply[0];

    pause(kStepPauseMs);
    memset(reply, 0, sizeof reply);
    if (!NT_SUCCESS(controlRequest(pdo, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, true, 0x80, USB_REQUEST_GET_DESCRIPTOR,
                                   USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, reply, sizeof reply)
                        .status))
        return false;
    USB_DEVICE_DESCRIPTOR device;
    memcpy(&device, reply, sizeof device);
    record->productId = device.idProduct;
    record->vendorId = device.idVendor;
    record->serialIndex = device.iSerialNumber;

    // Each string descriptor lands whole (bLength, type, text) at its place in the record.
    auto readString = [&](UCHAR index, size_t offset) {
        uint8_t* at = reinterpret_cast<uint8_t*>(record) + offset;
        memset(at, 0, kStringDescriptorBytes);
        pause(kStepPauseMs);
        return NT_SUCCESS(controlRequest(pdo, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, true, 0x80, USB_REQUEST_GET_DESCRIPTOR,
                                         static_cast<USHORT>(USB_STRING_DESCRIPTOR_TYPE << 8 | index), kLanguageUsEnglish,
                                         at, kStringDescriptorBytes)
                              .status);
    };
    static_assert(offsetof(QueryRecord, manufacturerLength) + kStringDescriptorBytes <= offsetof(QueryRecord, productLength) &&
                  offsetof(QueryRecord, productLength) + kStringDescriptorBytes <= offsetof(QueryRecord, dfuType));
    return readString(device.iManufacturer, offsetof(QueryRecord, manufacturerLength)) &&
           readString(device.iProduct, offsetof(QueryRecord, productLength));
}

}  // namespace

NTSTATUS queryDevice(QueryRecord* record) {
    {
        StateLock lock;
        state().urbMaxRetries = record->retryCount;
        state().urbRetryDataError = record->platformId;
    }
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT top = nullptr;
    if (!NT_SUCCESS(openByName(record->deviceName, sizeof record->deviceName, &file, &top))) return STATUS_NOT_SUPPORTED;
    PDEVICE_OBJECT pdo = nullptr;
    const NTSTATUS found = physicalObjectOf(top, &pdo);
    ObDereferenceObject(file);
    if (!NT_SUCCESS(found)) return STATUS_NOT_SUPPORTED;
    const ULONG id = idFor(pdo, record->deviceName);
    if (id == 0) {
        ObDereferenceObject(pdo);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    record->deviceObject = id;
    NTSTATUS status = STATUS_SUCCESS;
    if (record->dfuType != kQueryObjectOnly && !readIdentity(pdo, record)) status = STATUS_NOT_SUPPORTED;
    ObDereferenceObject(pdo);
    return status;
}

}  // namespace dmhlp
