// Loading, creating and writing image files through winsim, with the log lines each family writes.
#include <gtest/gtest.h>

#include "temp_dir.h"
#include <image/binfile.h>
#include <image/integrity.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "log_capture.h"
#include "test_lab.h"

namespace fs = std::filesystem;
using image::BinFamily;
using image::BinFile;

namespace {

class BinFileTest : public ::testing::Test {
protected:
    void SetUp() override { imagetest::logged().clear(); }

    std::string file(const std::string& name, size_t size, uint8_t fill = 0xA5) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << std::string(size, static_cast<char>(fill));
        return path;
    }
    std::vector<std::string> messages() const {
        std::vector<std::string> m;
        for (const auto& l : imagetest::logged()) m.push_back(imagetest::messageOf(l));
        return m;
    }
    testsupport::TempDir temp_{"binfile"};
    std::string dir_ = temp_.str();
};

TEST_F(BinFileTest, LengthIsRoundedPerFamilyAndTheTailIsZero) {
    struct Case {
        BinFamily family;
        size_t size;
        uint32_t length;
    };
    const Case cases[] = {
        {BinFamily::Tarn, 40000, 40448}, {BinFamily::Tarn, 32768, 32768}, {BinFamily::Tarn, 1, 512},
        {BinFamily::Scsi, 40000, 40000}, {BinFamily::Scsi, 40001, 40064}, {BinFamily::Scsi, 65536, 65536},
    };
    for (const Case& c : cases) {
        const std::string path = file("img.bin", c.size);
        BinFile bin(c.family, imagetest::captureLog);
        ASSERT_TRUE(bin.Load(path.c_str())) << c.size << imagetest::allLogged();
        EXPECT_EQ(bin.length(), c.length) << c.size;
        EXPECT_EQ(bin.data()[c.size - 1], 0xA5);
        for (uint32_t i = static_cast<uint32_t>(c.size); i < bin.length(); ++i) ASSERT_EQ(bin.data()[i], 0) << i;
        EXPECT_EQ(bin.handle(), INVALID_HANDLE_VALUE) << "closed after loading";
        EXPECT_STREQ(bin.path(), path.c_str());
    }
    EXPECT_TRUE(imagetest::logged().empty()) << imagetest::allLogged();
}

TEST_F(BinFileTest, LoadFailuresAreLoggedInTheFamilysWords) {
    const std::string empty = file("empty.bin", 0);
    const std::string missing = dir_ + "/missing.bin";
    struct Case {
        BinFamily family;
        std::string path;
        std::string message;
    };
    const Case cases[] = {
        {BinFamily::Tarn, empty, "File " + empty + " is a NULL file. Error: 0h"},
        {BinFamily::Scsi, empty, "File " + empty + " is a NULL file."},
        {BinFamily::Tarn, missing, "Error in opening file " + missing + ". Error: 2h"},
        {BinFamily::Scsi, missing, "Error in opening file " + missing + ". Error = 2h"},
    };
    for (const Case& c : cases) {
        imagetest::logged().clear();
        BinFile bin(c.family, imagetest::captureLog);
        EXPECT_FALSE(bin.Load(c.path.c_str()));
        EXPECT_EQ(messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(bin.data(), nullptr);
    }
}

TEST_F(BinFileTest, OversizedFilesAndPathsAreRefusedBeforeAnythingIsRead) {
    const std::string big = dir_ + "/big.bin";
    std::ofstream(big, std::ios::binary).close();
    fs::resize_file(big, image::kMaxImageFileSize + 1);  // sparse: costs no disk
    BinFile bin(BinFamily::Tarn, imagetest::captureLog);
    EXPECT_FALSE(bin.Load(big.c_str()));
    EXPECT_EQ(messages(), std::vector<std::string>{"File " + big + " is too large for a firmware image."});
    EXPECT_EQ(bin.data(), nullptr);

    fs::resize_file(big, image::kMaxImageFileSize);  // the largest accepted
    EXPECT_TRUE(bin.Load(big.c_str()));
    EXPECT_EQ(bin.length(), image::kMaxImageFileSize);

    // A path longer than the 260-byte field would be cut to another file's name.
    const std::string longPath = dir_ + "/" + std::string(300, 'a');
    imagetest::logged().clear();
    EXPECT_FALSE(bin.Load(longPath.c_str()));
    EXPECT_EQ(messages(), std::vector<std::string>{"Error in opening file " + longPath + ". Error: ceh"});
    EXPECT_FALSE(bin.Load(nullptr));
}

TEST_F(BinFileTest, CreateThenWriteProducesTheFile) {
    const std::string out = dir_ + "/upload.bin";
    {
        BinFile bin(BinFamily::Scsi, imagetest::captureLog);
        ASSERT_TRUE(bin.Create(out.c_str(), 65536, true));
        EXPECT_NE(bin.handle(), INVALID_HANDLE_VALUE);
        for (uint32_t i = 0; i < bin.length(); ++i) bin.data()[i] = static_cast<uint8_t>(i * 7);
        ASSERT_TRUE(bin.Write());
    }
    BinFile back(BinFamily::Scsi, nullptr);
    ASSERT_TRUE(back.Load(out.c_str()));
    ASSERT_EQ(back.length(), 65536u);
    EXPECT_EQ(back.data()[1234], static_cast<uint8_t>(1234 * 7));
}

TEST_F(BinFileTest, CreateAndWriteFailures) {
    struct Case {
        BinFamily family;
        uint32_t size;
        bool createFile;
        std::vector<std::string> messages;
    };
    const std::string out = dir_ + "/out.bin";
    const Case cases[] = {
        {BinFamily::Tarn, 0, true, {"File size is zero for " + out + "."}},
        {BinFamily::Scsi, 0, true, {"File size is zero for " + out}},
        // Without a file there is nothing to write to.
        {BinFamily::Tarn, 16, false, {"Error in writing to file. Error: 6h"}},
        {BinFamily::Scsi, 16, false, {"Error in writing to file. Error = 6h."}},
    };
    for (const Case& c : cases) {
        imagetest::logged().clear();
        BinFile bin(c.family, imagetest::captureLog);
        if (bin.Create(out.c_str(), c.size, c.createFile)) {
            EXPECT_FALSE(bin.Write());
        }
        EXPECT_EQ(messages(), c.messages);
    }
    const std::string noFolder = dir_ + "/no/such/folder/out.bin";
    imagetest::logged().clear();
    BinFile bin(BinFamily::Tarn, imagetest::captureLog);
    EXPECT_FALSE(bin.Create(noFolder.c_str(), 16, true));
    EXPECT_EQ(messages(), std::vector<std::string>{"Error opening file " + noFolder + ". Error: 3h"});
}

}  // namespace
