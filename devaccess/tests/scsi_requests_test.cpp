// The two request layouts a command travels in, field by field, and the ASPI manager's handling
// of libraries that are not valid.
#include <gtest/gtest.h>

#include <cstring>

#include "reader_lab.h"
#include "scsi_internal.h"

namespace {

// A device record at path 1, target 4, LUN 2, as the builders take it.
struct Device {
    Device() {
        record = scsi::allocDevice(kScsiInterfaceVolume);
        ScsiSetAddress(record, 1, 4, 2);
    }
    ~Device() { scsi::freeDevice(record); }
    ScsiDevice* record;
};

TEST(ScsiRequests, PassThroughBlockByCommand) {
    Device device;
    uint8_t data[4096];
    struct Case {
        const char* what;
        uint8_t cdb0;
        uint32_t dataLength;
        int32_t direction;
        UCHAR dataIn;
        ULONG transferLength;
        bool bounced;
        ULONG timeout;
    };
    const Case cases[] = {
        {"read", 0xAC, 4096, kScsiDataIn, SCSI_IOCTL_DATA_IN, 4096, false, 10},
        {"write", 0xAC, 4096, kScsiDataOut, SCSI_IOCTL_DATA_OUT, 4096, false, 10},
        {"no data", 0x00, 0, kScsiDataIn, SCSI_IOCTL_DATA_OUT, 0, false, 10},
        {"8-byte read", 0x12, 8, kScsiDataIn, SCSI_IOCTL_DATA_IN, 8, false, 10},
        {"6-byte read", 0xFD, 6, kScsiDataIn, SCSI_IOCTL_DATA_IN, 8, true, 10},
        {"1-byte read", 0x12, 1, kScsiDataIn, SCSI_IOCTL_DATA_IN, 8, true, 10},
        {"6-byte write", 0xFD, 6, kScsiDataOut, SCSI_IOCTL_DATA_OUT, 6, false, 10},
        {"format unit", 0x04, 0, kScsiDataOut, SCSI_IOCTL_DATA_OUT, 0, false, 30},
    };
    for (const Case& c : cases) {
        const uint8_t cdb[10] = {c.cdb0, 0x00, 0x50, 0x58, 0x54, 0x44, 0x47, 0x00, 0x00, 0x07};
        scsi::PassThroughBlock block;
        std::memset(&block, 0xCC, sizeof block);
        EXPECT_EQ(scsi::buildPassThroughBlock(*device.record, sizeof cdb, cdb, c.dataLength, data, c.direction, &block),
                  c.bounced)
            << c.what;
        const SCSI_PASS_THROUGH_DIRECT& spt = block.spt;
        EXPECT_EQ(spt.Length, sizeof(SCSI_PASS_THROUGH_DIRECT)) << c.what;
        EXPECT_EQ(spt.ScsiStatus, 0) << c.what;
        EXPECT_EQ(spt.PathId, 1) << c.what;
        EXPECT_EQ(spt.TargetId, 4) << c.what;
        EXPECT_EQ(spt.Lun, 2) << c.what;
        EXPECT_EQ(spt.CdbLength, 10) << c.what;
        EXPECT_EQ(spt.SenseInfoLength, 24) << c.what;
        EXPECT_EQ(spt.SenseInfoOffset, offsetof(scsi::PassThroughBlock, sense)) << c.what;
        EXPECT_EQ(spt.DataIn, c.dataIn) << c.what;
        EXPECT_EQ(spt.DataTransferLength, c.transferLength) << c.what;
        EXPECT_EQ(spt.TimeOutValue, c.timeout) << c.what;
        const void* buffer = c.dataLength == 0 ? nullptr : c.bounced ? device.record->bounce : data;
        EXPECT_EQ(spt.DataBuffer, buffer) << c.what;
        EXPECT_EQ(std::memcmp(spt.Cdb, cdb, sizeof cdb), 0) << c.what;
        for (size_t i = sizeof cdb; i < sizeof spt.Cdb; ++i) EXPECT_EQ(spt.Cdb[i], 0) << c.what;
        for (UCHAR b : block.sense) ASSERT_EQ(b, 0) << c.what;
    }
}

TEST(ScsiRequests, AspiRequestByCommand) {
    Device device;
    uint8_t data[4096];
    struct Case {
        const char* what;
        uint32_t dataLength;
        int32_t direction;
        BYTE flags;
    };
    for (const Case& c : {Case{"no data", 0, kScsiDataOut, 0x40}, Case{"read", 36, kScsiDataIn, 0x4C},
                          Case{"write", 4096, kScsiDataOut, 0x54}}) {
        const uint8_t cdb[6] = {0x12, 0x01, 0x00, 0x00, 36, 0x00};
        SRB_ExecSCSICmd request;
        std::memset(&request, 0xCC, sizeof request);
        scsi::buildAspiRequest(*device.record, sizeof cdb, cdb, c.dataLength, data, c.direction, &request);
        EXPECT_EQ(request.SRB_Cmd, SC_EXEC_SCSI_CMD) << c.what;
        EXPECT_EQ(request.SRB_Status, SS_PENDING) << c.what;
        EXPECT_EQ(request.SRB_HaId, 1) << c.what;
        EXPECT_EQ(request.SRB_Target, 4) << c.what;
        EXPECT_EQ(request.SRB_Lun, 2) << c.what;
        EXPECT_EQ(request.SRB_Flags, c.flags) << c.what;
        EXPECT_EQ(request.SRB_BufLen, c.dataLength) << c.what;
        EXPECT_EQ(request.SRB_BufPointer, data) << c.what;
        EXPECT_EQ(request.SRB_SenseLen, SENSE_LEN) << c.what;
        EXPECT_EQ(request.SRB_CDBLen, 6) << c.what;
        // The LUN in the top three bits of byte 1, beside what the caller put there.
        EXPECT_EQ(request.CDBByte[1], 0x41) << c.what;
        EXPECT_EQ(request.CDBByte[4], 36) << c.what;
        for (size_t i = sizeof cdb; i < sizeof request.CDBByte; ++i) EXPECT_EQ(request.CDBByte[i], 0) << c.what;
    }
}

TEST(ScsiRequests, AspiLibrariesThatAreNotValid) {
    SRB_ExecSCSICmd request{};
    request.SRB_Status = SS_PENDING;
    EXPECT_EQ(scsi::AspiExecute(nullptr, &request), static_cast<DWORD>(SS_BAD_INSTALL));
    scsi::AspiLibrary foreign{};
    foreign.tag = 0x1234;
    EXPECT_EQ(scsi::AspiExecute(&foreign, &request), static_cast<DWORD>(SS_BAD_INSTALL));
    EXPECT_EQ(scsi::AspiUnload(nullptr), FALSE);
    EXPECT_EQ(scsi::AspiUnload(static_cast<scsi::AspiLibrary*>(INVALID_HANDLE_VALUE)), FALSE);
    EXPECT_EQ(scsi::AspiUnload(&foreign), FALSE);
    EXPECT_EQ(foreign.tag, 0x1234u) << "left alone";
    // On the NT family there is no manager to load.
    readerlab::setPc(readerlab::typicalDevices());
    EXPECT_EQ(scsi::AspiLoad(), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

}  // namespace
