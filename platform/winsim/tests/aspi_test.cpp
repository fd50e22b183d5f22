// ASPI for Win32 on a simulated PC of the 9x family, and the registry keys that tell the drive
// letters of its SCSI devices there.
#include <atomic>
#include <cstring>
#include <map>
#include <string>

#include <winsim/windows.h>
#include <winsim/wnaspi32.h>

#include "hardware_lab.h"

namespace {

using hwtest::DefaultPc;

class NineXPc : public hwtest::DefaultPc {
protected:
    void SetUp() override {
        DefaultPc::SetUp();
        lab::Settings s = lab::Lab::current().settings();
        s.os.platformId = 1;
        s.os.major = 4;
        s.os.minor = 10;
        lab::Lab::current().setSettings(s);
        module_ = LoadLibraryA("WNASPI32.DLL");
        ASSERT_NE(module_, nullptr);
        send_ = reinterpret_cast<PFN_SendASPI32Command>(GetProcAddress(module_, "SendASPI32Command"));
        support_ = reinterpret_cast<PFN_GetASPI32SupportInfo>(GetProcAddress(module_, "GetASPI32SupportInfo"));
        ASSERT_NE(send_, nullptr);
        ASSERT_NE(support_, nullptr);
    }
    void TearDown() override {
        if (module_) FreeLibrary(module_);
        DefaultPc::TearDown();  // back to the NT family
    }

    // Runs a command the way the library does: an event to wait on, SS_PENDING until done.
    BYTE execute(SRB_ExecSCSICmd& srb, BYTE target, std::initializer_list<BYTE> cdb, BYTE* data, DWORD length,
                 BYTE flags, BYTE lun = 0) {
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        std::memset(&srb, 0, sizeof srb);
        srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
        srb.SRB_Target = target;
        srb.SRB_Lun = lun;
        srb.SRB_Flags = flags;
        srb.SRB_BufLen = length;
        srb.SRB_BufPointer = data;
        srb.SRB_SenseLen = SENSE_LEN;
        srb.SRB_CDBLen = static_cast<BYTE>(cdb.size());
        std::copy(cdb.begin(), cdb.end(), srb.CDBByte);
        srb.CDBByte[1] |= static_cast<BYTE>(lun << 5);  // the SCSI-2 LUN field, as the library sets it
        srb.SRB_PostProc = event;
        const DWORD status = send_(&srb);
        if (status == SS_PENDING) {
            EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
        }
        CloseHandle(event);
        return srb.SRB_Status;
    }

    HMODULE module_ = nullptr;
    PFN_SendASPI32Command send_ = nullptr;
    PFN_GetASPI32SupportInfo support_ = nullptr;
};

TEST_F(DefaultPc, NoAspiOnTheNtFamilyNorWhereItIsNotInstalled) {
    EXPECT_EQ(LoadLibraryA("WNASPI32.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    lab::Settings s = lab::Lab::current().settings();
    s.os.platformId = 1;
    s.aspiInstalled = false;
    lab::Lab::current().setSettings(s);
    EXPECT_EQ(LoadLibraryA("WNASPI32.DLL"), nullptr);
}

TEST_F(NineXPc, AdapterDevicesAndCommands) {
    EXPECT_EQ(support_(), static_cast<DWORD>(SS_COMP << 8 | 1)) << "one host adapter";
    SRB_HAInquiry ha{};
    ha.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(send_(&ha), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(ha.HA_Count, 1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ha.HA_ManagerId), 14), "ASPI for WIN32");

    SRB_GDEVBlock dev{};
    dev.SRB_Cmd = SC_GET_DEV_TYPE;
    dev.SRB_Target = 1;
    EXPECT_EQ(send_(&dev), static_cast<DWORD>(SS_COMP));
    EXPECT_EQ(dev.SRB_DeviceType, DTYPE_CDROM);
    dev.SRB_Target = 6;
    EXPECT_EQ(send_(&dev), static_cast<DWORD>(SS_NO_DEVICE));
    dev.SRB_HaId = 1;
    EXPECT_EQ(send_(&dev), static_cast<DWORD>(SS_INVALID_HA));

    // INQUIRY of the reader at target 2, with room for more than it sends: the residual count.
    SRB_ExecSCSICmd srb;
    BYTE data[64] = {};
    ASSERT_EQ(execute(srb, 2, {0x12, 0, 0, 0, 36, 0}, data, sizeof data, 0x4C), SS_COMP);
    EXPECT_EQ(srb.SRB_HaStat, HASTAT_DO_DU);
    EXPECT_EQ(srb.SRB_BufLen, 28u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 28), "SCSI    Secure Reader   1.00");

    // A LUN the target lacks answers for itself; a target nobody answers times out on selection.
    ASSERT_EQ(execute(srb, 2, {0x12, 0, 0, 0, 36, 0}, data, 36, 0x4C, 1), SS_COMP);
    EXPECT_EQ(data[0], 0x7F);
    EXPECT_EQ(execute(srb, 5, {0x12, 0, 0, 0, 36, 0}, data, 36, 0x4C), SS_ERR);
    EXPECT_EQ(srb.SRB_HaStat, HASTAT_SEL_TO);

    // CHECK CONDITION: 14 bytes of sense in the request block.
    ASSERT_EQ(execute(srb, 1, {0xFD, 0, 0x50, 0x58, 0x54, 0x44, 0x47, 0, 0, 0}, data, 16, 0x4C), SS_ERR);
    EXPECT_EQ(srb.SRB_TargStat, 2);
    EXPECT_EQ(srb.SenseArea[2], 0x05);
    EXPECT_EQ(srb.SenseArea[12], 0x20);
    EXPECT_EQ(srb.SenseArea[14], 0) << "no more than SENSE_LEN bytes";

    EXPECT_EQ(execute(srb, 2, {0x12, 0, 0, 0, 36, 0}, data, 36, SRB_POSTING), SS_INVALID_SRB) << "no posting routines";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(NineXPc, EachLunOfATargetReachesItsOwnDevice) {
    // Two units behind one target, the second listed first in the lab: each LUN finds its own,
    // and a LUN neither has is still answered by the target.
    lab::Lab::current().attachDevice({{"kind", "removable"}, {"id", "lun1"}, {"target", 4}, {"lun", 1}, {"drive", "none"},
                                      {"inquiry", "LAB     Second Unit     1.00"}});
    lab::Lab::current().attachDevice({{"kind", "removable"}, {"id", "lun0"}, {"target", 4}, {"lun", 0}, {"drive", "none"},
                                      {"inquiry", "LAB     First Unit      1.00"}});
    struct Case {
        BYTE lun;
        BYTE peripheral;
        const char* product;
    };
    for (const Case& c : {Case{0, 0x00, "First Unit      "}, Case{1, 0x00, "Second Unit     "}, Case{2, 0x7F, nullptr}}) {
        SRB_ExecSCSICmd srb;
        BYTE data[36] = {};
        ASSERT_EQ(execute(srb, 4, {0x12, 0, 0, 0, 36, 0}, data, 36, 0x4C, c.lun), SS_COMP) << int(c.lun);
        EXPECT_EQ(data[0], c.peripheral) << int(c.lun);
        if (c.product) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 16, 16), c.product);
        }
    }
}

TEST_F(NineXPc, PollingUntilTheStatusChanges) {
    lab::Lab::current().applyFault("scsi-reader-1", "stall:12:1");
    SRB_ExecSCSICmd srb{};
    BYTE data[36];
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Target = 2;
    srb.SRB_Flags = SRB_DIR_IN;
    srb.SRB_BufLen = sizeof data;
    srb.SRB_BufPointer = data;
    srb.SRB_CDBLen = 6;
    const BYTE inquiry[] = {0x12, 0, 0, 0, 36, 0};
    std::memcpy(srb.CDBByte, inquiry, sizeof inquiry);
    ASSERT_EQ(send_(&srb), static_cast<DWORD>(SS_PENDING));
    // The stall holds the command for the manager's 30-second time-out (30 ms here).
    for (int i = 0; i < 10000 && std::atomic_ref<BYTE>(srb.SRB_Status).load() == SS_PENDING; ++i) Sleep(1000);
    EXPECT_EQ(srb.SRB_Status, SS_ERR);
    EXPECT_EQ(srb.SRB_HaStat, HASTAT_COMMAND_TIMEOUT);
}

TEST_F(NineXPc, ProbingEveryAddressFindsTheDevicesAndTheRegistryTheirLetters) {
    // As the library probes: adapter 0, targets 0 to 6, LUNs 0 to 6.
    std::vector<std::string> found;
    for (BYTE target = 0; target < 7; ++target)
        for (BYTE lun = 0; lun < 7; ++lun) {
            SRB_ExecSCSICmd srb;
            BYTE data[36] = {};
            if (execute(srb, target, {0x12, 0, 0, 0, 36, 0}, data, 36, 0x4C, lun) != SS_COMP)
                continue;
            if (data[0] == 0x7F) continue;
            found.push_back(std::string(reinterpret_cast<char*>(data) + 8, 28));
        }
    EXPECT_EQ(found.size(), 4u);

    // Which drive letter the reader has: the 9x family's dynamic Enum key names its hardware key.
    HKEY dyn = nullptr, en = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_READ, &dyn), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Enum", 0, KEY_READ, &en), ERROR_SUCCESS);
    std::map<std::string, std::string> letters;  // product id -> letter
    int nonScsi = 0;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(dyn, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        HKEY node = nullptr;
        ASSERT_EQ(RegOpenKeyExA(dyn, name, 0, KEY_READ, &node), ERROR_SUCCESS);
        char hardwareKey[512] = {};
        DWORD length = sizeof hardwareKey;
        ASSERT_EQ(RegQueryValueExA(node, "HardWareKey", nullptr, nullptr, reinterpret_cast<BYTE*>(hardwareKey), &length),
                  ERROR_SUCCESS);
        RegCloseKey(node);
        if (std::strncmp(hardwareKey, "SCSI", 4) != 0) {
            ++nonScsi;
            continue;
        }
        HKEY device = nullptr;
        ASSERT_EQ(RegOpenKeyExA(en, hardwareKey, 0, KEY_READ, &device), ERROR_SUCCESS) << hardwareKey;
        char product[64] = {}, letter[8] = {};
        length = sizeof product;
        ASSERT_EQ(RegQueryValueExA(device, "ProductId", nullptr, nullptr, reinterpret_cast<BYTE*>(product), &length),
                  ERROR_SUCCESS);
        length = sizeof letter;
        ASSERT_EQ(RegQueryValueExA(device, "CurrentDriveLetterAssignment", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(letter), &length),
                  ERROR_SUCCESS);
        letters[product] = letter;
        RegCloseKey(device);
    }
    RegCloseKey(dyn);
    RegCloseKey(en);
    EXPECT_GT(nonScsi, 0) << "the PC's own nodes come first";
    EXPECT_EQ(letters["Secure Reader   "], "E") << "ProductId keeps the inquiry field's padding";
    EXPECT_EQ(letters["DFU Reader      "], "F");
    EXPECT_EQ(letters["DVD-ROM Drive   "], "D");
}

}  // namespace
