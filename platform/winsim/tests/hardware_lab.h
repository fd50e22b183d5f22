// Puts the test program's lab back to the default PC before each hardware test: a fixed disk
// (C:), a CD-ROM drive (D:), a reader of the SCSI family running its firmware (E:) and one in
// its boot loader (F:), with fresh memories, no faults, all plugged in.
#pragma once
#include <gtest/gtest.h>

#include <lab/lab.h>
#include <winsim/wdm.h>

#include "test_lab.h"

namespace hwtest {

inline void resetDevices() {
    lab::Lab& lab = lab::Lab::current();
    lab::Settings settings = lab.settings();
    if (settings.os.platformId != 2 || !settings.aspiInstalled) {
        settings.os = lab::OsVersion{};
        settings.aspiInstalled = true;
        lab.setSettings(settings);
    }
    // A hub takes the devices behind it along.
    while (!lab.devices().empty()) lab.detachDevice(lab.devices().front()["id"]);
    for (const nlohmann::json& d : {nlohmann::json{{"kind", "disk"}, {"id", "disk-1"}, {"drive", "C"}},
                                    nlohmann::json{{"kind", "cdrom"}, {"id", "cdrom-1"}, {"drive", "D"}},
                                    nlohmann::json{{"kind", "scsi-reader"}, {"id", "scsi-reader-1"}, {"drive", "E"}},
                                    nlohmann::json{{"kind", "scsi-reader"},
                                                   {"id", "scsi-reader-2"},
                                                   {"drive", "F"},
                                                   {"mode", "upgrade"}}})
        lab.attachDevice(d);
}

// The physical device object under `device`, by the target-device relation query a driver
// sends; referenced (ObDereferenceObject releases it), null when the stack does not answer.
inline PDEVICE_OBJECT targetOf(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION s = IoGetNextIrpStackLocation(irp);
    s->MajorFunction = IRP_MJ_PNP;
    s->MinorFunction = IRP_MN_QUERY_DEVICE_RELATIONS;
    s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
    const NTSTATUS status = IoCallDriver(device, irp);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    IoFreeIrp(irp);
    if (!NT_SUCCESS(status) || !relations) return nullptr;
    PDEVICE_OBJECT pdo = relations->Count == 1 ? relations->Objects[0] : nullptr;
    ExFreePool(relations);
    return pdo;
}

class DefaultPc : public ::testing::Test {
protected:
    void SetUp() override { resetDevices(); }
    void TearDown() override { resetDevices(); }
};

}  // namespace hwtest
