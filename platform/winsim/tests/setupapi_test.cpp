// The SetupAPI and configuration-manager subset over the lab's device tree.
#include <cstring>
#include <string>
#include <vector>

#include <winsim/cfgmgr32.h>
#include <winsim/devguid.h>
#include <winsim/setupapi.h>
#include <winsim/winioctl.h>
#include <winsim/windows.h>

#include "hardware_lab.h"

namespace {

using hwtest::DefaultPc;

// The device paths of an interface class, as the plug-ins walk them (member 0, 1, 2 ...).
std::vector<std::string> interfacePaths(const GUID& cls, DWORD flags, std::vector<DWORD>* devInsts = nullptr) {
    std::vector<std::string> paths;
    HDEVINFO set = SetupDiGetClassDevsA(&cls, nullptr, nullptr, flags | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &cls, i, &itf); ++i) {
        char buffer[1024];
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, sizeof buffer, nullptr, &dev));
        paths.push_back(detail->DevicePath);
        if (devInsts) devInsts->push_back(dev.DevInst);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

// The element of a set whose device has the given interface path.
bool elementOf(HDEVINFO set, const std::string& path, SP_DEVINFO_DATA* dev) {
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    dev->cbSize = sizeof *dev;
    return SetupDiOpenDeviceInterfaceA(set, path.c_str(), 0, &itf) &&
           SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, nullptr, dev) == FALSE &&
           GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

std::string property(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD which) {
    char buffer[1024] = {};
    if (!SetupDiGetDeviceRegistryPropertyA(set, dev, which, nullptr, reinterpret_cast<PBYTE>(buffer), sizeof buffer,
                                           nullptr))
        return "<error " + std::to_string(GetLastError()) + ">";
    return buffer;
}

bool changeState(HDEVINFO set, SP_DEVINFO_DATA* dev, DWORD change, DWORD scope, bool* reboot) {
    SP_PROPCHANGE_PARAMS p{};
    p.ClassInstallHeader.cbSize = sizeof p.ClassInstallHeader;
    p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    p.StateChange = change;
    p.Scope = scope;
    if (!SetupDiSetClassInstallParamsA(set, dev, &p.ClassInstallHeader, sizeof p) ||
        !SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, set, dev))
        return false;
    SP_DEVINSTALL_PARAMS_A params{};
    params.cbSize = sizeof params;
    if (!SetupDiGetDeviceInstallParamsA(set, dev, &params)) return false;
    *reboot = params.Flags & DI_NEEDREBOOT;
    return true;
}

bool driveExists(char letter) { return GetLogicalDrives() & (1u << (letter - 'A')); }

TEST_F(DefaultPc, InterfaceDetailsWithTheNative64BitLayout) {
    const auto disks = interfacePaths(GUID_DEVINTERFACE_DISK, DIGCF_PRESENT);
    ASSERT_EQ(disks.size(), 3u) << "the fixed disk and the two readers";
    for (const auto& p : disks) EXPECT_EQ(p.rfind("\\\\?\\SCSI#Disk&", 0), 0u) << p;

    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &itf));
    EXPECT_EQ(itf.Flags, static_cast<DWORD>(SPINT_ACTIVE));
    DWORD needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &itf, nullptr, 0, &needed, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 4 + disks[0].size() + 1);
    DWORD neededW = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &itf, nullptr, 0, &neededW, nullptr));
    EXPECT_EQ(neededW, 4 + 2 * (disks[0].size() + 1));

    std::vector<char> buffer(needed);
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(buffer.data());
    detail->cbSize = 5;  // the 32-bit size is the wrong version here
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, needed, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, needed - 1, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &itf, detail, needed, nullptr, &dev));
    EXPECT_EQ(disks[0], detail->DevicePath);
    EXPECT_TRUE(IsEqualGUID(dev.ClassGuid, GUID_DEVCLASS_DISKDRIVE));

    std::vector<WCHAR> wide(neededW / 2 + 1);
    auto* detailW = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_W>(wide.data());
    detailW->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &itf, detailW, neededW, nullptr, nullptr));
    EXPECT_EQ(std::u16string(detailW->DevicePath), std::u16string(disks[0].begin(), disks[0].end()));

    itf.cbSize = 28;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 0, &itf));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(DefaultPc, ClassSetsPropertiesAndDescriptions) {
    struct Case {
        const GUID* guid;
        const char* enumerator;
        DWORD flags;
        size_t count;
    };
    const Case cases[] = {
        {&GUID_DEVCLASS_DISKDRIVE, nullptr, DIGCF_PRESENT, 3},
        {&GUID_DEVCLASS_CDROM, nullptr, DIGCF_PRESENT, 1},
        {&GUID_DEVCLASS_VOLUME, nullptr, DIGCF_PRESENT, 3},
        {&GUID_DEVCLASS_SCSIADAPTER, nullptr, DIGCF_PRESENT, 1},
        {&GUID_DEVCLASS_USB, nullptr, DIGCF_PRESENT, 6},  // three host controllers, their root hubs
        {nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES, 14},
        {nullptr, "storage", DIGCF_PRESENT | DIGCF_ALLCLASSES, 3},
        {nullptr, "SCSI", DIGCF_ALLCLASSES, 4},
    };
    for (const Case& c : cases) {
        HDEVINFO set = SetupDiGetClassDevsA(c.guid, c.enumerator, nullptr, c.flags);
        ASSERT_NE(set, INVALID_HANDLE_VALUE);
        SP_DEVINFO_DATA dev{};
        dev.cbSize = sizeof dev;
        size_t n = 0;
        while (SetupDiEnumDeviceInfo(set, static_cast<DWORD>(n), &dev)) ++n;
        EXPECT_EQ(n, c.count) << (c.enumerator ? c.enumerator : "") << " flags " << c.flags;
        SetupDiDestroyDeviceInfoList(set);
    }
    EXPECT_EQ(SetupDiGetClassDevsA(nullptr, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SetupDiGetClassDevsA(&GUID_DEVCLASS_CDROM, nullptr, nullptr, DIGCF_PROFILE), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_CDROM, nullptr, nullptr, DIGCF_PRESENT);
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &dev));
    DWORD type = 0, needed = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_CLASS, &type, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, 6u) << "\"CDROM\" and its terminator";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &dev, SPDRP_CLASS, &type, nullptr, 0, &needed));
    EXPECT_EQ(needed, 12u) << "in UTF-16";
    BYTE ids[512];
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, &type, ids, sizeof ids, &needed));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(ids[needed - 1], 0);
    EXPECT_EQ(ids[needed - 2], 0) << "a list ends with an empty string";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(ids)), "SCSI\\CdRomLAB_____DVD-ROM_Drive___1.00");
    BYTE address[4];
    ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_ADDRESS, &type, address, sizeof address, nullptr));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(address[0], 1) << "the CD-ROM's SCSI target";
    EXPECT_EQ(property(set, &dev, SPDRP_UPPERFILTERS), "<error 13>") << "ERROR_INVALID_DATA: not set";
    EXPECT_EQ(property(set, &dev, SPDRP_MAXIMUM_PROPERTY), "<error " + std::to_string(ERROR_INVALID_REG_PROPERTY) + ">");

    WCHAR id[8];
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdW(set, &dev, id, 8, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<WCHAR> full(needed);
    ASSERT_TRUE(SetupDiGetDeviceInstanceIdW(set, &dev, full.data(), needed, nullptr));
    EXPECT_EQ(std::u16string(full.data()), u"SCSI\\CdRom&Ven_LAB&Prod_DVD-ROM_Drive&Rev_1.00\\4&2ba9d1a&0&010");
    dev.cbSize = 28;  // the 32-bit size
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    SetupDiDestroyDeviceInfoList(set);

    WCHAR description[64];
    ASSERT_TRUE(SetupDiGetClassDescriptionW(&GUID_DEVCLASS_DISKDRIVE, description, 64, &needed));
    EXPECT_EQ(std::u16string(description), u"Disk drives");
    EXPECT_EQ(needed, 12u);
    EXPECT_FALSE(SetupDiGetClassDescriptionW(&GUID_DEVINTERFACE_DISK, description, 64, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_CLASS));
}

TEST_F(DefaultPc, ConfigManagerWalksTheLiveTree) {
    std::vector<DWORD> disks;
    const auto paths = interfacePaths(GUID_DEVINTERFACE_DISK, DIGCF_PRESENT, &disks);
    ASSERT_EQ(disks.size(), 3u);
    DEVINST adapter = 0, root = 0, child = 0, volume = 0;
    ASSERT_EQ(CM_Get_Parent(&adapter, disks[0], 0), static_cast<CONFIGRET>(CR_SUCCESS));
    ASSERT_EQ(CM_Get_Parent(&root, adapter, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(CM_Get_Parent(&child, root, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));
    std::vector<DEVINST> onBus;
    for (CONFIGRET cr = CM_Get_Child(&child, adapter, 0); cr == CR_SUCCESS; cr = CM_Get_Sibling(&child, child, 0))
        onBus.push_back(child);
    EXPECT_EQ(onBus.size(), 4u) << "disk, CD-ROM and two readers";
    EXPECT_EQ(onBus[0], disks[0]);
    ASSERT_EQ(CM_Get_Child(&volume, disks[0], 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(CM_Get_Child(&child, volume, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVNODE));

    ULONG status = 0, problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, disks[0], 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_TRUE(status & DN_STARTED);
    EXPECT_FALSE(status & DN_REMOVABLE) << "the fixed disk";
    EXPECT_EQ(problem, 0u);
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, disks[0], 1), static_cast<CONFIGRET>(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, 0xBAD, 0), static_cast<CONFIGRET>(CR_INVALID_DEVNODE));

    char hwid[8];
    ULONG length = sizeof hwid, type = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(disks[0], CM_DRP_HARDWAREID, &type, hwid, &length, 0),
              static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    std::vector<char> full(length);
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyA(disks[0], CM_DRP_HARDWAREID, &type, full.data(), &length, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(std::string(full.data()), "SCSI\\DiskLAB_____Fixed_Disk______1.00");
    EXPECT_EQ(type, static_cast<ULONG>(REG_MULTI_SZ));
    length = sizeof hwid;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(disks[0], CM_DRP_UPPERFILTERS, &type, hwid, &length, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyA(disks[0], 0, &type, hwid, &length, 0),
              static_cast<CONFIGRET>(CR_INVALID_PROPERTY));
}

TEST_F(DefaultPc, ClassInstallerDisablesEnablesAndRemoves) {
    const auto paths = interfacePaths(GUID_DEVINTERFACE_DISK, DIGCF_PRESENT);
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA dev{};
    ASSERT_TRUE(elementOf(set, paths[1], &dev)) << "the reader on E:";
    ASSERT_TRUE(driveExists('E'));
    bool reboot = true;

    // As the plug-in enables and disables devices: global, then config-specific.
    ASSERT_TRUE(changeState(set, &dev, DICS_DISABLE, DICS_FLAG_GLOBAL, &reboot));
    ASSERT_TRUE(changeState(set, &dev, DICS_DISABLE, DICS_FLAG_CONFIGSPECIFIC, &reboot));
    EXPECT_FALSE(reboot);
    EXPECT_FALSE(driveExists('E'));
    ULONG status = 0, problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, dev.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_DISABLED));
    EXPECT_EQ(interfacePaths(GUID_DEVINTERFACE_DISK, DIGCF_PRESENT).size(), 2u) << "its interface is off";
    ASSERT_TRUE(changeState(set, &dev, DICS_ENABLE, DICS_FLAG_GLOBAL, &reboot));
    EXPECT_TRUE(driveExists('E'));

    // In use: Windows asks for a reboot and leaves the device running.
    HANDLE volume = CreateFileA("\\\\.\\E:", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(volume, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(changeState(set, &dev, DICS_STOP, DICS_FLAG_CONFIGSPECIFIC, &reboot));
    EXPECT_TRUE(reboot);
    EXPECT_TRUE(driveExists('E'));
    CloseHandle(volume);

    SP_PROPCHANGE_PARAMS p{};
    p.ClassInstallHeader.cbSize = sizeof p.ClassInstallHeader;
    p.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    p.StateChange = DICS_START;
    p.Scope = DICS_FLAG_GLOBAL;
    EXPECT_FALSE(SetupDiSetClassInstallParamsA(set, &dev, &p.ClassInstallHeader, sizeof p));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS)) << "start and stop are config-specific";
    p.Scope = DICS_FLAG_CONFIGSPECIFIC;
    EXPECT_FALSE(SetupDiSetClassInstallParamsA(set, &dev, &p.ClassInstallHeader, sizeof p - 4));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(SetupDiCallClassInstaller(0x19, set, &dev));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));

    SP_REMOVEDEVICE_PARAMS r{};
    r.ClassInstallHeader.cbSize = sizeof r.ClassInstallHeader;
    r.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    r.Scope = DI_REMOVEDEVICE_GLOBAL;
    ASSERT_TRUE(SetupDiSetClassInstallParamsA(set, &dev, &r.ClassInstallHeader, sizeof r));
    ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &dev));
    EXPECT_FALSE(driveExists('E'));
    char id[256];
    EXPECT_FALSE(SetupDiGetDeviceInstanceIdA(set, &dev, id, sizeof id, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DefaultPc, ServiceSwitchThroughTheRegistryProperties) {
    const auto paths = interfacePaths(GUID_DEVINTERFACE_DISK, DIGCF_PRESENT);
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    SP_DEVINFO_DATA dev{};
    ASSERT_TRUE(elementOf(set, paths[2], &dev)) << "the reader on F:";
    const std::string service = property(set, &dev, SPDRP_SERVICE);
    ASSERT_EQ(service, "disk");
    // The way the plug-in writes them: in 1,024-byte buffers.
    auto write = [&](DWORD which, const char* text) {
        BYTE value[1024] = {};
        std::strncpy(reinterpret_cast<char*>(value), text, sizeof value - 1);
        return SetupDiSetDeviceRegistryPropertyA(set, &dev, which, value, sizeof value);
    };
    ASSERT_TRUE(write(SPDRP_SERVICE, "DMHLPDRV"));
    ASSERT_TRUE(write(SPDRP_DEVICEDESC, "Tarn DM Reader"));
    EXPECT_EQ(property(set, &dev, SPDRP_DEVICEDESC), "Tarn DM Reader");
    bool reboot = false;
    ASSERT_TRUE(changeState(set, &dev, DICS_STOP, DICS_FLAG_CONFIGSPECIFIC, &reboot));
    ASSERT_TRUE(changeState(set, &dev, DICS_START, DICS_FLAG_CONFIGSPECIFIC, &reboot));
    ULONG status = 0, problem = 0;
    ASSERT_EQ(CM_Get_DevNode_Status(&status, &problem, dev.DevInst, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(problem, static_cast<ULONG>(CM_PROB_FAILED_INSTALL)) << "no driver model has that service";
    EXPECT_FALSE(driveExists('F'));

    ASSERT_TRUE(write(SPDRP_SERVICE, service.c_str()));
    ASSERT_TRUE(write(SPDRP_DEVICEDESC, "Disk drive"));
    ASSERT_TRUE(changeState(set, &dev, DICS_PROPCHANGE, DICS_FLAG_GLOBAL, &reboot));
    EXPECT_TRUE(driveExists('F'));
    BYTE pdo[4] = {};
    EXPECT_FALSE(SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME, pdo, sizeof pdo));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DefaultPc, UnpluggedDevicesAreListedOnlyWhenAbsentOnesAreAsked) {
    lab::Lab::current().applyFault("scsi-reader-2", "unplug");
    EXPECT_FALSE(driveExists('F'));
    EXPECT_EQ(interfacePaths(GUID_DEVINTERFACE_DISK, DIGCF_PRESENT).size(), 2u);
    std::vector<DWORD> all;
    const auto paths = interfacePaths(GUID_DEVINTERFACE_DISK, 0, &all);
    ASSERT_EQ(paths.size(), 3u);

    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA itf{};
    itf.cbSize = sizeof itf;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, 2, &itf));
    EXPECT_EQ(itf.Flags, 0u) << "not active";
    SP_DEVINFO_DATA dev{};
    dev.cbSize = sizeof dev;
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 2, &dev));
    EXPECT_EQ(property(set, &dev, SPDRP_SERVICE), "disk") << "its registry properties remain";
    EXPECT_EQ(property(set, &dev, SPDRP_PHYSICAL_DEVICE_OBJECT_NAME),
              "<error " + std::to_string(ERROR_NO_SUCH_DEVINST) + ">")
        << "but it has no device object";
    ULONG status = 0, problem = 0;
    EXPECT_EQ(CM_Get_DevNode_Status(&status, &problem, dev.DevInst, 0), static_cast<CONFIGRET>(CR_NO_SUCH_DEVINST));
    HANDLE h = CreateFileA(paths[2].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    SetupDiDestroyDeviceInfoList(set);
}

}  // namespace
