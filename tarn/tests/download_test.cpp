// KPLDownloadFirmware through KPLTARN.DLL as the host loads it, on lab PCs: readers on each driver
// take the image with their own serial number carried (number and string forms, a change of form,
// a random one for a blank serial), the backup holds the old flash, and the reader comes back
// running the new firmware; a failed write keeps the reader's serial for its own retry only; the
// other readers are enabled again whatever the download did.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <image/blocks.h>
#include <image/builder.h>
#include <image/serial_block.h>
#include <image/signatures.h>
#include <plugin-api/kpl.h>

#include "helper_lab.h"
#include "tarn_device.h"
#include "config_file.h"
#include "image_files.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace usbtest;

using Bytes = std::vector<uint8_t>;

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

// What a flash (or an image) says of itself: version and serial.
struct Firmware {
    uint16_t version = 0;
    std::string serial;  // "number XXXXXXXX" or "string TEXT"
};
Firmware firmwareOf(const Bytes& b) {
    Firmware f;
    const auto length = static_cast<uint32_t>(b.size());
    if (const auto capab = image::ReadCapab(b.data(), length, image::BinFamily::Tarn)) f.version = capab->version();
    const auto block = image::ReadSerialBlock(b.data(), length);
    if (!block) return f;
    char text[64];
    if (block->type == image::kSerialTypeNumber) {
        std::snprintf(text, sizeof text, "number %08X", block->number);
        f.serial = text;
        return f;
    }
    image::StringDescriptor d;
    if (image::LocateSerialString(b.data(), length, &d) == KPL_OK) {
        f.serial = "string ";
        for (uint32_t i = 0; i < d.charCount && d.offset + 2 + 2 * i < length; ++i)
            f.serial += static_cast<char>(b[d.offset + 2 + 2 * i]);
    }
    return f;
}

// Whether the reader's flash holds the image, byte for byte, but for its serial: the serial block
// and the serial string the image has.
bool holdsImageButItsSerial(const Bytes& flash, const Bytes& image) {
    if (flash.size() < image.size()) return false;
    const auto length = static_cast<uint32_t>(image.size());
    const auto block = image::ReadSerialBlock(image.data(), length);
    image::StringDescriptor text;
    const bool hasText = image::LocateSerialString(image.data(), length, &text) == KPL_OK;
    for (uint32_t i = 0; i < length; ++i) {
        if (flash[i] == image[i]) continue;
        const bool inBlock = block && i >= block->offset && i < block->offset + image::kSerialBlockLength;
        const bool inText = hasText && i >= text.offset && i < text.offset + text.bLength;
        if (!inBlock && !inText) return false;
    }
    return true;
}

class TarnDownload : public UsbPc {
protected:
    void SetUp() override {
        UsbPc::SetUp();
        helpertest::installImage();
        for (const char* file : {"KPLTARN.DLL", "ZELFNRES.DLL", "TARNDFU.INF", "TARNDFU.SYS"})
            fs::copy_file(fs::path(ZELFIN_BIN_DIR) / file, dir_ / file);
        previous_ = fs::current_path();
        fs::current_path(dir_);
        module_ = LoadLibraryA("KPLTARN.DLL");
        ASSERT_NE(module_, nullptr);
        testsupport::logged().clear();
        call<KPLInitializeLogger_t>("KPLInitializeLogger")(testsupport::captureLog);
    }
    void TearDown() override {
        if (module_) {
            call<KPLDestroyDeviceInfoList_t>("KPLDestroyDeviceInfoList")(&list_);
            FreeLibrary(module_);
        }
        fs::current_path(previous_);
        UsbPc::TearDown();
    }
    template <typename F>
    F call(const char* name) {
        return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }
    int32_t scan(const char* config = nullptr) {
        call<KPLDestroyDeviceInfoList_t>("KPLDestroyDeviceInfoList")(&list_);
        list_ = DeviceInfoList{};
        lab::Lab::current().hardware().refresh();
        return call<KPLCreateDeviceInfoList_t>("KPLCreateDeviceInfoList")(&list_, config);
    }
    int indexOf(const std::string& namePart) const {
        for (int i = 0; i < KPL_MAX_DEVICES && list_.entries[i].name[0]; ++i)
            if (std::string(list_.entries[i].name).find(namePart) != std::string::npos) return i;
        return -1;
    }
    int32_t download(const std::string& namePart, const std::string& image, const std::string& backup = "") {
        const int i = indexOf(namePart);
        EXPECT_GE(i, 0) << namePart;
        if (i < 0) return -1;
        return call<KPLDownloadFirmware_t>("KPLDownloadFirmware")(&list_, static_cast<uint8_t>(i), backup.c_str(),
                                                                  image.c_str(), nullptr, &abort_);
    }
    std::string image(const std::string& name, int type, image::SerialKind serial = image::SerialKind::Number,
                      const std::string& text = "") {
        image::ImageSpec spec = image::DefaultImageSpec(image::BinFamily::Tarn, type);
        spec.versionMajor = 2;
        spec.versionMinor = 0;
        spec.serial = serial;
        spec.serialText = text;
        return tarntest::writeImageFile(spec, dir_ / name);
    }
    static Bytes flashOf(const std::string& id) { return readFile(lab::Lab::current().deviceDir(id) / "flash.bin"); }
    static void settle() {
        lab::Hardware& hw = lab::Lab::current().hardware();
        hw.refresh();
        hw.reenumerate(hw.root());
    }

    testsupport::TempDir temp_{"zelfin-download"};
    const fs::path dir_ = temp_.path();
    fs::path previous_;
    HMODULE module_ = nullptr;
    DeviceInfoList list_{};
    volatile int32_t abort_ = 0;
};

// Each reader takes the image with its own serial, in the form the image has or the reader's,
// and the backup holds what its flash held before.
TEST_F(TarnDownload, EveryReaderKeepsItsSerialAndItsOldFirmwareIsBackedUp) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "comp"}, {"hub", "hub-1"}, {"port", 1}, {"driver", "composite"},
                      {"drive", "K"}, {"serial-string", "QX0042AB17C9"}});
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "blank"}, {"hub", "hub-1"}, {"port", 4}, {"drive", "L"},
                      {"serial", "0"}});
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "four"}, {"port", 2}, {"drive", "M"}, {"dfu-type", 4},
                      {"serial", "00C0FFEE"}});  // 56 KB of flash
    settle();
    ASSERT_EQ(scan(), KPL_OK) << testsupport::allLogged();
    struct Case {
        const char* name;
        const char* id;
        std::string image;
        const char* serial;  // what the reader holds afterwards; "" for a fresh random number
    };
    const std::string before2 = firmwareOf(flashOf("tarn-2")).serial;
    const Case cases[] = {
        {"G:", "tarn-1", image("t0.bin", 0), "number 12345678"},
        {"H:", "tarn-2", image("t3.bin", 3), before2.c_str()},
        {"K:", "comp", image("t0s.bin", 0, image::SerialKind::String, "000000000000"), "string QX0042AB17C9"},
        {"L:", "blank", image("t0s2.bin", 0, image::SerialKind::String, "000000000000"), ""},  // takes its form
        {"M:", "four", image("t4.bin", 4), "number 00C0FFEE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const Bytes old = flashOf(c.id);
        const std::string backup = (dir_ / (std::string(c.id) + ".bak")).string();
        ASSERT_EQ(download(c.name, c.image, backup), KPL_OK) << testsupport::allLogged();
        // A dfuType-4 controller's firmware is 56 KB; every other one's 64 KB.
        const size_t copied = std::string(c.id) == "four" ? 57344 : 65536;
        ASSERT_GE(old.size(), copied);
        EXPECT_EQ(readFile(backup), Bytes(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(copied)))
            << "the backup is the old flash";
        const Firmware now = firmwareOf(flashOf(c.id));
        EXPECT_EQ(now.version, 0x0200);
        EXPECT_TRUE(holdsImageButItsSerial(flashOf(c.id), readFile(c.image)));
        if (c.serial[0]) {
            EXPECT_EQ(now.serial, c.serial);
        } else {
            EXPECT_EQ(now.serial.rfind("number ", 0), 0u) << now.serial;
            EXPECT_NE(now.serial, "number 00000000") << "a random serial for a blank one";
        }
        EXPECT_TRUE(testsupport::loggedMessage("Download Completed Successfully"));
    }
    // Back in functional mode, each running what it was given.
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    for (const char* name : {"G:", "H:", "K:", "L:", "M:"}) EXPECT_GE(indexOf(name), 0) << name;
    EXPECT_TRUE(testsupport::loggedMessage("FwVersion = 02.00"));
}

// A write that fails on reader A keeps A's serial for A's own retry: reader B, downloaded
// meanwhile, keeps its own, and A's retry from upgrade mode restores A's.
TEST_F(TarnDownload, AFailedWriteKeepsTheSerialForItsOwnReaderOnly) {
    ASSERT_EQ(scan(), KPL_OK);
    const std::string t0 = image("t0.bin", 0), t3 = image("t3.bin", 3);
    const std::string serialB = firmwareOf(flashOf("tarn-2")).serial;
    // The write stops after two blocks: the flash is erased, A stays in upgrade mode without a serial.
    lab::Lab::current().applyFault("tarn-1", "fail:usb:21.01:1@2");
    EXPECT_EQ(download("G:", t0), KPL_E_FIRMWARE_WRITE);
    EXPECT_TRUE(testsupport::loggedMessage("IOCTL_TARNDFU_DNLOAD_ALL failed. Error: 1fh."));
    EXPECT_EQ(download("H:", t3), KPL_OK);
    EXPECT_EQ(firmwareOf(flashOf("tarn-2")).serial, serialB);

    lab::Lab::current().applyFault("tarn-1", "clear");
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    const int a = indexOf("Tarn DFU Device");
    ASSERT_GE(a, 0) << "A waits in upgrade mode";
    EXPECT_EQ(download("Tarn DFU Device", t0), KPL_OK) << testsupport::allLogged();
    EXPECT_TRUE(testsupport::loggedMessage("Preserving Serial Number during retry = 12345678"));
    EXPECT_EQ(firmwareOf(flashOf("tarn-1")).serial, "number 12345678");
}

// With EXCLUSIVEDFU the other readers are disabled for the download and enabled again after it,
// whether it succeeded, failed or was aborted.
TEST_F(TarnDownload, ExclusiveDfuEnablesTheOtherReadersAgainWhateverHappened) {
    const fs::path config = dir_ / "Zelfin.cfg";
    tarntest::writeConfig(config, {{"EXCLUSIVEDFU", "YES"}});
    const std::string t0 = image("t0.bin", 0);
    const auto otherEnabled = [] {
        ULONG status = 0, problem = 0;
        const DEVINST node = usbNodeOf("tarn-2");
        return node && CM_Get_DevNode_Status(&status, &problem, node, 0) == CR_SUCCESS && problem != CM_PROB_DISABLED;
    };
    struct Case {
        const char* what;
        const char* fault;  // on the reader downloaded
        int32_t abort;
        int32_t status;
    };
    for (const Case& c : {Case{"success", nullptr, 0, KPL_OK}, Case{"failure", "fail:usb:21.01", 0, KPL_E_FIRMWARE_WRITE},
                          Case{"abort", nullptr, 1, KPL_E_USER_ABORT}}) {
        SCOPED_TRACE(c.what);
        lab::Lab::current().applyFault("tarn-1", "clear");
        settle();
        ASSERT_EQ(scan(config.c_str()), KPL_OK);
        if (c.fault) lab::Lab::current().applyFault("tarn-1", c.fault);
        testsupport::logged().clear();
        abort_ = c.abort;
        EXPECT_EQ(download("G:", t0), c.status) << testsupport::allLogged();
        abort_ = 0;
        EXPECT_EQ(testsupport::loggedMessage("Disable of device USB Mass Storage Device succeeded."), c.abort == 0);
        EXPECT_EQ(testsupport::loggedMessage("User Abort"), c.abort != 0);
        EXPECT_TRUE(otherEnabled());
    }
    EXPECT_TRUE(testsupport::loggedMessage("Enable of device USB Mass Storage Device succeeded."));
}

// A read-back that differs from what was written fails the download with 215, and the reader,
// whose flash holds the image, comes back running it.
TEST_F(TarnDownload, AReadBackThatDiffersFailsTheVerification) {
    ASSERT_EQ(scan(), KPL_OK);
    const std::string t0 = image("t0.bin", 0);
    // The first 64 block uploads read the device copy (64 KB); the next one is the read-back's first.
    lab::Lab::current().applyFault("tarn-1", "corrupt:usb:A1.02:1@64");
    EXPECT_EQ(download("G:", t0), KPL_E_VERIFY) << testsupport::allLogged();
    EXPECT_TRUE(testsupport::loggedMessage("Comparison failed."));
    EXPECT_FALSE(testsupport::loggedMessage("Download Completed Successfully"));
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    EXPECT_GE(indexOf("G:"), 0) << "back in functional mode";
}

// What cannot go the reader's way is refused before the reader is touched: a KV7 image for a Tarn
// controller (207), a reader the plug-in cannot write yet (a KV7 controller: 200), an image that
// cannot be read (204).
TEST_F(TarnDownload, WhatDoesNotFitIsRefusedBeforeTheReaderIsTouched) {
    lab::Lab::current().attachDevice({{"kind", "kv7-reader"}, {"id", "kv7"}, {"hub", "hub-1"}, {"port", 4},
                                      {"dfu-type", 7}, {"drive", "none"}});
    settle();
    ASSERT_EQ(scan(), KPL_OK) << testsupport::allLogged();
    const int kv7 = [&] {
        for (int i = 0; i < KPL_MAX_DEVICES && list_.entries[i].name[0]; ++i)
            if (static_cast<const tarn::TarnDeviceRecord*>(list_.entries[i].device)->dfuType == 7) return i;
        return -1;
    }();
    ASSERT_GE(kv7, 0);
    struct Case {
        const char* what;
        int index;
        std::string image;
        int32_t status;
    };
    const Case cases[] = {
        {"a KV7 image for a Tarn controller", indexOf("G:"), image("kv7.bin", 7), KPL_E_IMAGE_TYPE},
        {"a KV7 controller", kv7, image("t0.bin", 0), KPL_E_SYSTEM},
        {"an image that is not there", indexOf("G:"), (dir_ / "missing.bin").string(), KPL_E_IMAGE_UNREADABLE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::logged().clear();
        EXPECT_EQ(call<KPLDownloadFirmware_t>("KPLDownloadFirmware")(&list_, static_cast<uint8_t>(c.index), "",
                                                                     c.image.c_str(), nullptr, &abort_),
                  c.status);
        EXPECT_FALSE(testsupport::loggedMessage("Switching to DFU Mode...")) << testsupport::allLogged();
    }
}

// An upload writes the reader's whole firmware into the file: 64 KB, or 56 KB for a dfuType-4
// controller; a reader found in upgrade mode is left there, the others come back. A reader whose
// firmware cannot be read leaves no file behind (213).
TEST_F(TarnDownload, AnUploadWritesTheWholeFirmwareOrNoFile) {
    lab::Lab& lab = lab::Lab::current();
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "four"}, {"port", 2}, {"drive", "M"}, {"dfu-type", 4}});
    lab.attachDevice({{"kind", "tarn-reader"}, {"id", "waiting"}, {"hub", "hub-1"}, {"port", 4}, {"mode", "upgrade"}});
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    auto upload = [&](const std::string& name, const fs::path& target) {
        const int i = indexOf(name);
        EXPECT_GE(i, 0) << name;
        return call<KPLUploadFirmware_t>("KPLUploadFirmware")(&list_, static_cast<uint8_t>(i), target.c_str(), nullptr,
                                                              &abort_);
    };
    struct Case {
        const char* name;
        const char* id;
        size_t length;
    };
    for (const Case& c : {Case{"G:", "tarn-1", 65536}, Case{"H:", "tarn-2", 65536}, Case{"M:", "four", 57344},
                          Case{"Tarn DFU Device", "waiting", 65536}}) {
        SCOPED_TRACE(c.id);
        const fs::path target = dir_ / (std::string(c.id) + ".bin");
        const Bytes flash = flashOf(c.id);
        ASSERT_EQ(upload(c.name, target), KPL_OK) << testsupport::allLogged();
        EXPECT_EQ(readFile(target), Bytes(flash.begin(), flash.begin() + static_cast<std::ptrdiff_t>(c.length)));
        EXPECT_TRUE(testsupport::loggedMessage("Upload Completed Successfully"));
    }
    settle();
    ASSERT_EQ(scan(), KPL_OK);
    for (const char* name : {"G:", "H:", "M:", "Tarn DFU Device"}) EXPECT_GE(indexOf(name), 0) << name;

    lab.applyFault("tarn-1", "fail:usb:A1.02");
    const fs::path failed = dir_ / "failed.bin";
    EXPECT_EQ(upload("G:", failed), KPL_E_FIRMWARE_READ);
    EXPECT_FALSE(fs::exists(failed)) << "no file named as if it held the firmware";
    EXPECT_TRUE(testsupport::loggedMessage("Upload to file failed."));
}

}  // namespace
