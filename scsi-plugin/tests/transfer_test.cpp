// Uploads and downloads, checked byte by byte against the reader's flash afterwards, and every
// failure of a transfer mapped to its status with the device closed again.
#include "mora_fixture.h"

namespace {

using moratest::libraryText;
using moratest::MoraPlugin;
using moratest::progressReports;
using moratest::Report;
using readerlab::memory;

constexpr size_t kBlock = 4096;
constexpr size_t kSignatureArea = 0xE000;

std::vector<uint8_t> fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A download image whose every block differs from the reader's flash, signature area included.
void fillImage(std::vector<uint8_t>& bytes) {
    for (size_t i = 0; i < kBlock; ++i) bytes[i] = 0xB0;  // block 0 (nothing the type decision reads)
    for (size_t i = kSignatureArea; i < kSignatureArea + kBlock; ++i) bytes[i] = 0x5E;
    for (size_t i = 0x2000; i < 0xD000; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + 7);
}

class MoraTransfer : public MoraPlugin {
protected:
    void SetUp() override {
        MoraPlugin::SetUp();
        ASSERT_EQ(create(), KPL_OK);
        takeLog();
    }
    std::string image(int type = 0) { return writeImage("new.bin", scsiImage(type, 3, 1), fillImage); }
    std::vector<Report> reports(std::initializer_list<std::pair<int32_t, UINT>> steps) {
        std::vector<Report> out;
        for (const auto& [step, id] : steps) out.push_back({step, libraryText(id)});
        return out;
    }
    // After every transfer, whatever its outcome: the reader is closed and marked transferred.
    void expectClosedAndTransferred() {
        EXPECT_EQ(record(0)->device->flags, 0u) << "device closed";
        EXPECT_EQ(record(0)->transferred, 1);
    }
};

TEST_F(MoraTransfer, UploadReadsTheWholeFirmware) {
    const std::vector<uint8_t> flash = memory("reader-e");
    const auto target = dir_ / "upload.bin";
    EXPECT_EQ(upload_(&list_, 0, target.c_str(), moratest::captureProgress, nullptr), KPL_OK);
    EXPECT_EQ(fileBytes(target), flash);
    EXPECT_EQ(progressReports(), reports({{20, KPL_TEXT_UPLOADING}, {80, KPL_TEXT_UPLOAD_DONE}}));
    EXPECT_EQ(takeLog(), (std::vector<std::string>{"KPLMORA(#) :Device Instance = 0", "Uploading Firmware...",
                                                   "Upload Completed Successfully"}));
    expectClosedAndTransferred();
    // The reader in its boot loader answers block reads as well.
    EXPECT_EQ(upload_(&list_, 1, (dir_ / "boot.bin").c_str(), nullptr, nullptr), KPL_OK);
    EXPECT_EQ(fileBytes(dir_ / "boot.bin"), memory("reader-f"));
}

TEST_F(MoraTransfer, DownloadWithBackupKeepsBlockZeroAndTheSignatureArea) {
    const std::vector<uint8_t> before = memory("reader-e");
    const std::string path = image();
    const std::vector<uint8_t> written = fileBytes(path);
    const auto backup = dir_ / "backup.bin";
    EXPECT_EQ(download_(&list_, 0, backup.c_str(), path.c_str(), moratest::captureProgress, nullptr), KPL_OK);
    EXPECT_EQ(fileBytes(backup), before);
    const std::vector<uint8_t> after = memory("reader-e");
    ASSERT_EQ(after.size(), 65536u);
    for (size_t i = 0; i < after.size(); ++i) {
        const bool keptFromReader = i < kBlock || (i >= kSignatureArea && i < kSignatureArea + kBlock);
        ASSERT_EQ(after[i], keptFromReader ? before[i] : written[i]) << "byte " << i;
    }
    EXPECT_EQ(progressReports(), reports({{20, KPL_TEXT_UPLOADING}, {20, KPL_TEXT_UPLOAD_DONE},
                                          {40, KPL_TEXT_DOWNLOADING}, {20, KPL_TEXT_DOWNLOAD_DONE}}));
    EXPECT_EQ(takeLog(), (std::vector<std::string>{"Uploading Firmware...", "Upload Completed Successfully",
                                                   "KPLMORA(#) :Patching Signature String", "Downloading Firmware...",
                                                   "Download Completed Successfully"}));
    expectClosedAndTransferred();
    // The reader runs the new firmware at the next scan.
    ASSERT_EQ(destroy(), KPL_OK);
    ASSERT_EQ(create(), KPL_OK);
    DisplayInfo info{};
    ASSERT_EQ(displayInfo_(&list_, 0, nullptr, &info), KPL_OK);
    EXPECT_STREQ(info.rows[3].existing, "03.01");
}

TEST_F(MoraTransfer, DownloadWithoutBackupWrites61440Bytes) {
    lab::Lab::current().applyFault("reader-e", "fail:AC00C0");
    const std::vector<uint8_t> before = memory("reader-e");
    const std::string path = image(2);
    const std::vector<uint8_t> written = fileBytes(path);
    EXPECT_EQ(download_(&list_, 0, "", path.c_str(), moratest::captureProgress, nullptr), KPL_OK);
    const std::vector<uint8_t> after = memory("reader-e");
    EXPECT_TRUE(std::equal(after.begin(), after.begin() + kBlock, before.begin())) << "block 0 kept";
    // Without the reader's signature area the image's own is written.
    EXPECT_TRUE(std::equal(after.begin() + kBlock, after.end(), written.begin() + kBlock));
    EXPECT_EQ(progressReports(), reports({{80, KPL_TEXT_DOWNLOADING}, {20, KPL_TEXT_DOWNLOAD_DONE}}));
    EXPECT_EQ(takeLog(), (std::vector<std::string>{"KPLMORA(#) :Not able to read Signature String",
                                                   "Downloading Firmware...", "Download Completed Successfully"}));
    expectClosedAndTransferred();
    EXPECT_EQ(download_(&list_, 0, nullptr, path.c_str(), nullptr, nullptr), KPL_OK) << "no backup path at all";
}

TEST_F(MoraTransfer, UploadFailures) {
    struct Case {
        const char* what;
        const char* fault;
        std::string target;
        int32_t status;
        const char* logLine;
    };
    const Case cases[] = {
        {"no folder for the file", nullptr, (dir_ / "no" / "up.bin").string(), KPL_E_OUTPUT_CREATE,
         "Bin(#) :Error in opening file"},
        {"read refused", "fail:AC00A0:1", (dir_ / "up.bin").string(), KPL_E_FIRMWARE_READ,
         "KPLMORA(#) :ScsiRovaUpload failed."},
        {"read stalls", "stall:AC00A0:1", (dir_ / "up.bin").string(), KPL_E_FIRMWARE_READ,
         "KPLMORA(#) :ScsiRovaUpload failed."},
        {"reader gone", "unplug", (dir_ / "up.bin").string(), KPL_E_DEVICE_OPEN,
         "KPLMORA (#):Failed to open device 0. Error = "},
    };
    for (const Case& c : cases) {
        if (c.fault) lab::Lab::current().applyFault("reader-e", c.fault);
        takeLog();
        EXPECT_EQ(upload_(&list_, 0, c.target.c_str(), nullptr, nullptr), c.status) << c.what;
        const std::vector<std::string> log = takeLog();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(c.logLine, 0) == 0; }))
            << c.what << ": " << ::testing::PrintToString(log);
        expectClosedAndTransferred();
    }
}

TEST_F(MoraTransfer, DownloadFailuresLeaveTheFirmwareAsItWas) {
    const std::string good = image();
    image::ImageSpec small = scsiImage(0);
    small.size = 65536 - 64;
    const std::string shortImage = writeImage("short.bin", small);
    image::ImageSpec unknownSpec = scsiImage(0);
    unknownSpec.omitMarker = true;
    const std::string unknown = writeImage("unknown.bin", unknownSpec);
    struct Case {
        const char* what;
        const char* fault;
        std::string backup;
        std::string image;
        int32_t status;
        const char* logLine;
    };
    const Case cases[] = {
        {"backup not creatable", nullptr, (dir_ / "no" / "b.bin").string(), good, KPL_E_OUTPUT_CREATE,
         "Bin(#) :Error in opening file"},
        {"backup read refused", "fail:AC00A0:1", (dir_ / "b.bin").string(), good, KPL_E_FIRMWARE_READ,
         "KPLMORA(#) :ScsiRovaUpload failed."},
        {"image missing", nullptr, "", (dir_ / "none.bin").string(), KPL_E_IMAGE_UNREADABLE,
         "Bin(#) :Error in opening file"},
        {"image short of 64 KB", nullptr, "", shortImage, KPL_E_IMAGE_TYPE, "Utils(#) :Invalid binary size."},
        {"image of no known type", nullptr, "", unknown, KPL_E_IMAGE_TYPE, "KPLMORA(#) :Unknown binary type\r\n"},
        {"write refused", "fail:AC0090:1", "", good, KPL_E_FIRMWARE_WRITE, "KPLMORA(#) :ScsiRovaDownload failed."},
        {"reader gone", "unplug", "", good, KPL_E_DEVICE_OPEN, "KPLMORA(#) :ScsiOpenDevice failed."},
    };
    const std::vector<uint8_t> flash = memory("reader-e");
    for (const Case& c : cases) {
        if (c.fault) lab::Lab::current().applyFault("reader-e", c.fault);
        takeLog();
        EXPECT_EQ(download_(&list_, 0, c.backup.c_str(), c.image.c_str(), nullptr, nullptr), c.status) << c.what;
        const std::vector<std::string> log = takeLog();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.rfind(c.logLine, 0) == 0; }))
            << c.what << ": " << ::testing::PrintToString(log);
        EXPECT_EQ(memory("reader-e"), flash) << c.what;
        expectClosedAndTransferred();
    }
}

TEST_F(MoraTransfer, OnlyListedEntriesCanBeAddressed) {
    std::vector<uint8_t> flash = memory("reader-e");
    const std::string good = image();
    for (uint8_t index : {2, 29, 30, 255}) {
        DisplayInfo info{};
        EXPECT_EQ(upload_(&list_, index, (dir_ / "up.bin").c_str(), nullptr, nullptr), KPL_E_DEVICE_OPEN) << int(index);
        EXPECT_EQ(download_(&list_, index, "", good.c_str(), nullptr, nullptr), KPL_E_DEVICE_OPEN) << int(index);
        EXPECT_EQ(displayInfo_(&list_, index, nullptr, &info), KPL_E_DEVICE_OPEN) << int(index);
        EXPECT_EQ(info.rows[0].label[0], '\0');
        EXPECT_TRUE(contains(takeLog(), "KPLMORA(#) :Invalid device index " + std::to_string(index)));
    }
    EXPECT_FALSE(std::filesystem::exists(dir_ / "up.bin")) << "nothing created for a device that is not there";
    // An entry past the end of the list does not count, whatever it holds.
    std::strcpy(list_.entries[3].name, "stale");
    list_.entries[3].device = list_.entries[0].device;
    EXPECT_EQ(download_(&list_, 3, "", good.c_str(), nullptr, nullptr), KPL_E_DEVICE_OPEN);
    list_.entries[3] = DeviceInfoEntry{};
    EXPECT_EQ(memory("reader-e"), flash);
}

}  // namespace
