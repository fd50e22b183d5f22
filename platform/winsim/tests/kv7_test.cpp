// Readers built on the KV7 controller as a client reaches them through the Win32 calls: in
// functional mode through the reader's own driver (the D4h read of its flash, D3h into its boot
// ROM) and its drive (the ACh read); in upgrade mode through the DFU driver's envelope, with
// control requests (types 7 and 8) or vendor SCSI commands in bulk-only wrappers (types 9 and
// 10): the configuration memory, erases, block writes and reads, and the way back; and each
// fault kind the model has.
#include <array>
#include <fstream>

#include <protocol/kv7.h>
#include <protocol/usb_mass_storage.h>
#include <winsim/ntddscsi.h>

#include "usb_lab.h"

namespace {

using namespace usbtest;

constexpr uint32_t kStall = 0xC0000004, kTransactionError = 0xC0000011, kBabble = 0xC0000012;

struct Reader {
    const char* id;
    uint8_t type;
    int port;
    const char* serial;
    char drive;
};
// Names the reader in test output (and in the test list, which keeps it the same from run to run).
void PrintTo(const Reader& r, std::ostream* os) { *os << r.id; }
constexpr Reader kType7 = {"kv7-7", 7, 2, "7A7A7A7A", 'G'};
constexpr Reader kType9 = {"kv7-9", 9, 3, "9B9B9B9B", 'H'};

// The default PC with a KV7 reader of each path on root ports 2 and 3, and the DFU package
// installed.
class Kv7Pc : public hwtest::DefaultPc {
protected:
    void SetUp() override {
        DefaultPc::SetUp();
        for (const Reader& r : {kType7, kType9}) attach(r);
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDfuService, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), 0);
        RegCloseKey(key);
        lab::Lab::current().hardware().refresh();
        lab::Lab::current().hardware().reenumerate(lab::Lab::current().hardware().root());
    }
    void TearDown() override {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kDfuService);
        DefaultPc::TearDown();
    }
    static void attach(const Reader& r, nlohmann::json extra = nlohmann::json::object()) {
        nlohmann::json e = {{"kind", "kv7-reader"}, {"id", r.id},       {"port", r.port},
                            {"dfu-type", r.type},  {"serial", r.serial}, {"drive", std::string(1, r.drive)}};
        e.update(extra);
        lab::Lab::current().attachDevice(e);
    }
    static void fault(const Reader& r, const std::string& spec) {
        lab::Lab& lab = lab::Lab::current();
        lab.applyFault(r.id, spec);
        lab.hardware().refresh();
    }
    // The programmable area as the reader's flash memory holds it.
    static std::vector<uint8_t> area(const Reader& r) {
        const kv7::Layout l = kv7::layoutOf(r.type);
        std::vector<uint8_t> flash(65536, 0);
        std::ifstream(lab::Lab::current().deviceDir(r.id) / "flash.bin", std::ios::binary)
            .read(reinterpret_cast<char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
        return std::vector<uint8_t>(flash.begin() + l.base, flash.begin() + l.base + l.size);
    }
};

// ---- the requests, by either path --------------------------------------------------------------------

Envelope vendor(uint32_t direction, uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
    Envelope e = control(tarn::kUrbVendorInterface, direction, direction == tarn::kDirectionIn ? kv7::kIn : kv7::kOut,
                         request, value, length);
    e.header().wIndex = index;
    return e;
}

Envelope bulk(uint32_t direction, uint32_t length) {
    Envelope e;
    e.bytes.assign(std::max<size_t>(tarn::kEnvelopeMinimum, tarn::kEnvelopeHeader + length), 0);
    e.header().kind = tarn::kKindBulk;
    e.header().direction = direction;
    e.header().length = length;
    return e;
}

void resetPipe(HANDLE h, uint32_t direction) {
    Envelope e = bulk(direction, 0);
    e.header().kind = tarn::kKindPipeReset;
    e.header().urbFunction = tarn::kUrbResetPipe;
    pass(h, e);
}

// One vendor SCSI command in bulk-only wrappers, as the system sends it: the command wrapper, the
// data phase (a failed one resets its pipe), the status wrapper (a failed read resets the in pipe
// and reads once more).
struct BulkOnly {
    bool status = false;  // a 13-byte status wrapper arrived
    usbms::CommandStatusWrapper csw{};
    uint32_t nt = 0, usbd = 0;  // of the last envelope
    uint32_t firstFailure = 0;  // the NT status of the first envelope that failed
    uint32_t moved = 0;         // data bytes that came in
    std::vector<uint32_t> statusLengths;  // what each status read returned
    bool good() const { return status && nt == 0 && csw.status == usbms::kCswPassed && csw.tag == 0x44332211; }
};

BulkOnly bulkOnly(HANDLE h, std::array<uint8_t, 6> cdb, std::vector<uint8_t>* data = nullptr, bool in = false) {
    BulkOnly r;
    const uint32_t length = data ? static_cast<uint32_t>(data->size()) : 0;
    usbms::CommandBlockWrapper cbw{};
    cbw.signature = usbms::kCbwSignature;
    cbw.tag = 0x44332211;
    cbw.dataTransferLength = length;
    cbw.flags = length && in ? usbms::kCbwFlagIn : 0;
    cbw.commandLength = 6;
    std::copy(cdb.begin(), cdb.end(), cbw.command);
    Envelope e = bulk(tarn::kDirectionOut, usbms::kCbwLength);
    std::memcpy(e.data(), &cbw, sizeof cbw);
    const bool sent = pass(h, e);
    r.nt = r.firstFailure = e.ntStatus();
    r.usbd = e.usbStatus();
    if (!sent || r.nt || r.usbd) return r;
    if (length) {
        Envelope d = bulk(in ? tarn::kDirectionIn : tarn::kDirectionOut, length);
        if (!in) std::memcpy(d.data(), data->data(), length);
        const bool ok = pass(h, d) && d.ntStatus() == 0 && d.usbStatus() == 0;
        r.nt = r.firstFailure = d.ntStatus();
        r.usbd = d.usbStatus();
        if (ok && in) {
            r.moved = d.header().length;
            std::memcpy(data->data(), d.data(), r.moved);
        }
        if (!ok) resetPipe(h, in ? tarn::kDirectionIn : tarn::kDirectionOut);
    }
    for (int attempt = 0; attempt < 2 && !r.status; ++attempt) {
        if (attempt) resetPipe(h, tarn::kDirectionIn);
        Envelope s = bulk(tarn::kDirectionIn, usbms::kCswLength);
        const bool ok = pass(h, s);
        r.nt = s.ntStatus();
        r.usbd = s.usbStatus();
        const uint32_t length = s.header().length;  // by value: the packed field is not aligned
        r.statusLengths.push_back(length);
        if (ok && r.nt == 0 && r.usbd == 0 && length == usbms::kCswLength) {
            std::memcpy(&r.csw, s.data(), sizeof r.csw);
            r.status = true;
        }
    }
    return r;
}

uint8_t hi(uint32_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t lo(uint32_t v) { return static_cast<uint8_t>(v); }

// A KV7 reader in upgrade mode on its DFU driver handle, by the path of its type.
struct Boot {
    HANDLE h;
    uint8_t type;
    uint32_t nt = 0, usbd = 0;  // of the last request

    bool scsi() const { return kv7::usesScsi(type); }
    bool run(Envelope& e) {
        const bool ok = pass(h, e);
        nt = e.ntStatus();
        usbd = e.usbStatus();
        return ok && nt == 0;
    }
    bool run(const BulkOnly& b) {
        nt = b.firstFailure ? b.firstFailure : b.nt;
        usbd = b.usbd;
        return b.good();
    }
    std::optional<uint16_t> readWord(uint32_t index) {
        std::vector<uint8_t> word(2);
        if (scsi()) {
            if (!run(bulkOnly(h, {kv7::kOpReadConfig, 0, hi(index), lo(index), 2, 0}, &word, true))) return std::nullopt;
        } else {
            Envelope e = vendor(tarn::kDirectionIn, kv7::kReqReadConfig, 0, static_cast<uint16_t>(index << 8), 2);
            if (!run(e)) return std::nullopt;
            std::memcpy(word.data(), e.data(), 2);
        }
        return static_cast<uint16_t>(word[0] | word[1] << 8);
    }
    bool writeWord(uint32_t index, uint16_t value) {
        std::vector<uint8_t> word = {lo(value), hi(value)};
        if (scsi()) return run(bulkOnly(h, {kv7::kOpWriteConfig, 0, hi(index), lo(index), 2, 0}, &word));
        Envelope e = vendor(tarn::kDirectionNone, kv7::kReqWriteConfig, value, static_cast<uint16_t>(index << 8), 0);
        return run(e);
    }
    bool program(uint16_t what, uint32_t address) {
        if (scsi()) return run(bulkOnly(h, {kv7::kOpProgram, lo(what), hi(address), lo(address), 0, 0}));
        Envelope e = vendor(tarn::kDirectionNone, kv7::kReqProgram, static_cast<uint16_t>(address), what, 0);
        return run(e);
    }
    bool eraseChip() { return program(kv7::kProgramEraseChip, 0); }
    bool eraseSector(uint32_t address) { return program(kv7::kProgramEraseSector, address); }
    bool writeBlock(uint32_t address, const uint8_t* block) {
        std::vector<uint8_t> data(block, block + kv7::kBlockSize);
        if (scsi()) return run(bulkOnly(h, {kv7::kOpProgram, 0, hi(address), lo(address), 64, 0}, &data));
        Envelope e = vendor(tarn::kDirectionOut, kv7::kReqProgram, static_cast<uint16_t>(address), 0, 64);
        std::memcpy(e.data(), data.data(), 64);
        return run(e);
    }
    std::optional<std::vector<uint8_t>> readBlock(uint32_t address) {
        std::vector<uint8_t> data(kv7::kBlockSize);
        if (scsi()) {
            if (!run(bulkOnly(h, {kv7::kOpReadBlock, kv7::kReadBlockSub, hi(address), lo(address), 64, 0}, &data, true)))
                return std::nullopt;
            return data;
        }
        Envelope e = vendor(tarn::kDirectionIn, kv7::kReqReadBlock, static_cast<uint16_t>(address), 0, 64);
        if (!run(e)) return std::nullopt;
        return std::vector<uint8_t>(e.data(), e.data() + 64);
    }
    bool functionalMode() {
        if (scsi()) return run(bulkOnly(h, {kv7::kOpFunctionalMode, 0, 0, 0, 0, 0}));
        Envelope e = vendor(tarn::kDirectionNone, kv7::kReqFunctionalMode, 0, 0, 0);
        return run(e);
    }
};

// D3h through the reader's own driver, and its boot ROM's DFU-driver interface once it is there.
std::string toUpgradeMode(const Reader& r) {
    ArrivalWindow arrivals({tarn::kUpgradeInterface});
    HANDLE h = open(pathWith(tarn::kFunctionalInterface, r.serial));
    Envelope e = vendor(tarn::kDirectionNone, kv7::kReqPrepareForDfu, 0, 0, 0);
    const bool sent = pass(h, e) && e.ntStatus() == 0;
    CloseHandle(h);
    if (!sent) return {};
    return arrivals.waitFor(tarn::kUpgradeInterface);
}

// The ACh read of the programmable area through the reader's drive.
std::vector<uint8_t> storageRead(const Reader& r) {
    std::vector<uint8_t> data(kv7::layoutOf(r.type).size, 0);
    const std::string path = std::string("\\\\.\\") + r.drive + ":";
    HANDLE volume = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return {};
    uint8_t buffer[80] = {};
    auto* spt = reinterpret_cast<SCSI_PASS_THROUGH_DIRECT*>(buffer);
    spt->Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    spt->CdbLength = 12;
    spt->DataIn = SCSI_IOCTL_DATA_IN;
    spt->TimeOutValue = 10;
    spt->SenseInfoOffset = 48;
    spt->DataTransferLength = static_cast<ULONG>(data.size());
    spt->DataBuffer = data.data();
    std::memcpy(spt->Cdb, kv7::kCdbStorageRead, 12);
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer, sizeof buffer, buffer, sizeof buffer,
                                    &returned, nullptr);
    CloseHandle(volume);
    if (!ok || spt->ScsiStatus != 0) return {};
    return data;
}

// Every block of `image` but the header block, then the header block.
bool writeImage(Boot& boot, uint32_t base, const std::vector<uint8_t>& image, bool header = true) {
    for (uint32_t at = 0; at < image.size(); at += kv7::kBlockSize)
        if (at != kv7::kHeaderBlock && !boot.writeBlock(base + at, image.data() + at)) return false;
    return !header || boot.writeBlock(base + kv7::kHeaderBlock, image.data() + kv7::kHeaderBlock);
}

class Kv7Paths : public Kv7Pc, public ::testing::WithParamInterface<Reader> {};

// The whole life of an update on either path: read in functional mode, into the boot ROM, the
// configuration memory, erase, write all but the header block (the reader stays in its boot ROM),
// the header block, read back, and functional mode again running the new image.
TEST_P(Kv7Paths, ProgramsItsFlashAndBootsTheNewImageOnlyOnceTheHeaderBlockIsWritten) {
    const Reader r = GetParam();
    const kv7::Layout layout = kv7::layoutOf(r.type);
    const std::vector<uint8_t> factory = area(r);

    // Functional mode: its own flash by D4h in 4 KB reads, and the whole area through its drive.
    HANDLE functional = open(pathWith(tarn::kFunctionalInterface, r.serial));
    ASSERT_NE(functional, INVALID_HANDLE_VALUE);
    std::vector<uint8_t> read;
    for (uint32_t at = 0; at < layout.size; at += kv7::kFunctionalReadMax) {
        Envelope e = vendor(tarn::kDirectionIn, kv7::kReqFunctionalRead, static_cast<uint16_t>(layout.base + at), 0,
                            kv7::kFunctionalReadMax);
        ASSERT_TRUE(pass(functional, e));
        ASSERT_EQ(e.ntStatus(), 0u) << std::hex << at;
        read.insert(read.end(), e.data(), e.data() + kv7::kFunctionalReadMax);
    }
    Envelope end = vendor(tarn::kDirectionIn, kv7::kReqFunctionalRead, 0, 0, 0);
    ASSERT_TRUE(pass(functional, end));
    EXPECT_EQ(end.ntStatus(), 0u) << "a read ends with D4h without data";
    CloseHandle(functional);
    EXPECT_EQ(read, factory);
    EXPECT_EQ(storageRead(r), factory);

    // Into the boot ROM: the identifiers of its type, on the DFU driver.
    const std::string path = toUpgradeMode(r);
    ASSERT_FALSE(path.empty());
    Boot boot{open(path), r.type};
    ASSERT_NE(boot.h, INVALID_HANDLE_VALUE);
    Envelope dd = control(tarn::kUrbDescriptorFromDevice, tarn::kDirectionIn, 0x80, USB_REQUEST_GET_DESCRIPTOR, 0x0100, 18);
    ASSERT_TRUE(boot.run(dd));
    EXPECT_EQ(kv7::typeOf(static_cast<uint16_t>(dd.data()[8] | dd.data()[9] << 8),
                          static_cast<uint16_t>(dd.data()[10] | dd.data()[11] << 8)),
              r.type);

    // The configuration memory: the factory's product-type word and boot-ROM block, then a new word.
    const uint32_t typeWord = kv7::kProductTypeAddress / 2;
    const auto word = boot.readWord(typeWord);
    ASSERT_TRUE(word);
    EXPECT_EQ(static_cast<uint8_t>(*word & 0xFF), static_cast<uint8_t>(~(*word >> 8))) << std::hex << *word;
    const auto info = kv7::bootInfo(r.type);
    for (uint32_t i = 0; i < kv7::kBootInfoLength / 2; ++i)
        EXPECT_EQ(boot.readWord(i), static_cast<uint16_t>(info[2 * i] | info[2 * i + 1] << 8)) << i;
    ASSERT_TRUE(boot.writeWord(typeWord, 0x11EE));
    EXPECT_EQ(boot.readWord(typeWord), 0x11EE);
    EXPECT_FALSE(boot.readWord(kv7::kEepromWords)) << "the word index has 7 bits";

    // Programming only clears bits: a write over data that is not erased keeps the zeros.
    std::vector<uint8_t> image = factory;
    std::fill(image.begin() + 0x3000, image.begin() + 0x3040, 0x5A);
    const uint8_t ones[64] = {0xFF, 0xFF, 0xA5};
    ASSERT_TRUE(boot.writeBlock(layout.base + 0x3000, ones));
    EXPECT_EQ(boot.readBlock(layout.base + 0x3000)->at(2), factory[0x3002] & 0xA5);

    ASSERT_TRUE(boot.eraseChip());
    EXPECT_EQ(boot.readBlock(layout.base + 0x3000), std::vector<uint8_t>(64, 0xFF));
    ASSERT_TRUE(writeImage(boot, layout.base, image, false));
    EXPECT_FALSE(boot.writeBlock(layout.base + layout.size, image.data())) << "a block beyond the area is refused";

    // Without its header block the reader comes back in its boot ROM.
    {
        ArrivalWindow arrivals({tarn::kUpgradeInterface});
        ASSERT_TRUE(boot.functionalMode());
        CloseHandle(boot.h);
        const std::string again = arrivals.waitFor(tarn::kUpgradeInterface);
        ASSERT_FALSE(again.empty());
        boot.h = open(again);
    }
    ASSERT_TRUE(boot.writeBlock(layout.base + kv7::kHeaderBlock, image.data() + kv7::kHeaderBlock));
    std::vector<uint8_t> back;
    for (uint32_t at = 0; at < layout.size; at += kv7::kBlockSize) {
        const auto block = boot.readBlock(layout.base + at);
        ASSERT_TRUE(block) << std::hex << at;
        back.insert(back.end(), block->begin(), block->end());
    }
    EXPECT_EQ(back, image);

    ArrivalWindow arrivals({tarn::kFunctionalInterface});
    ASSERT_TRUE(boot.functionalMode());
    CloseHandle(boot.h);
    EXPECT_FALSE(arrivals.waitFor(tarn::kFunctionalInterface, kArrivalCapMs, r.serial).empty());
    EXPECT_EQ(storageRead(r), image);
}

INSTANTIATE_TEST_SUITE_P(ControlAndScsi, Kv7Paths, ::testing::Values(kType7, kType9),
                         [](const auto& info) { return "Type" + std::to_string(info.param.type); });

// The three kinds of bad block, on either path: one whose write only reports an error, one that
// a sector erase cures, and one that never takes data.
TEST_P(Kv7Paths, BadBlocksOfEachKind) {
    const Reader r = GetParam();
    const uint32_t base = kv7::layoutOf(r.type).base;
    const std::string path = toUpgradeMode(r);
    ASSERT_FALSE(path.empty());
    Boot boot{open(path), r.type};
    fault(r, "bad:block+1000:written:1");
    fault(r, "bad:block+2040:erase");
    fault(r, "bad:block+3080:never");
    ASSERT_TRUE(boot.eraseChip());
    uint8_t data[64];
    for (int i = 0; i < 64; ++i) data[i] = static_cast<uint8_t>(i);

    EXPECT_FALSE(boot.writeBlock(base + 0x1000, data)) << "the write reports an error";
    EXPECT_EQ(boot.readBlock(base + 0x1000), std::vector<uint8_t>(data, data + 64)) << "but the data is there";

    EXPECT_FALSE(boot.writeBlock(base + 0x2040, data));
    EXPECT_EQ(boot.readBlock(base + 0x2040), std::vector<uint8_t>(64, 0xFF));
    EXPECT_FALSE(boot.writeBlock(base + 0x2040, data)) << "until its sector is erased";
    ASSERT_TRUE(boot.eraseSector(base + 0x2FC0)) << "any address in the sector names it";
    EXPECT_TRUE(boot.writeBlock(base + 0x2040, data));
    EXPECT_EQ(boot.readBlock(base + 0x2040), std::vector<uint8_t>(data, data + 64));

    ASSERT_TRUE(boot.eraseSector(base + 0x3000));
    EXPECT_FALSE(boot.writeBlock(base + 0x3080, data));
    EXPECT_EQ(boot.readBlock(base + 0x3080), std::vector<uint8_t>(64, 0xFF));
    EXPECT_TRUE(boot.writeBlock(base + 0x30C0, data)) << "its neighbours are good";
    CloseHandle(boot.h);
}

// A chip erase that takes long is answered with a stall, and the controller is busy for a while.
TEST_P(Kv7Paths, ALongChipEraseStallsAndKeepsItBusy) {
    Reader r = GetParam();
    lab::Lab::current().detachDevice(r.id);
    attach(r, {{"erase-busy", 5000}});
    lab::Lab::current().hardware().refresh();
    const uint32_t base = kv7::layoutOf(r.type).base;
    const std::string path = toUpgradeMode(r);
    ASSERT_FALSE(path.empty());
    Boot boot{open(path), r.type};
    const uint8_t zeros[64] = {};
    EXPECT_FALSE(boot.eraseChip());
    EXPECT_NE(boot.nt, 0u);
    EXPECT_EQ(boot.usbd, kStall);
    EXPECT_FALSE(boot.writeBlock(base, zeros)) << "busy";
    Sleep(10000);  // lab milliseconds, twice the busy time
    EXPECT_TRUE(boot.writeBlock(base, zeros));
    EXPECT_EQ(boot.readBlock(base + 0x40), std::vector<uint8_t>(64, 0xFF)) << "the erase was done";
    CloseHandle(boot.h);
}

// The reader gone at a chosen block: the request finds it removed, and it comes back by itself in
// its boot ROM (its chip was erased, its header block is not written).
TEST_P(Kv7Paths, GoneAtAChosenBlockItComesBackInItsBootRom) {
    const Reader r = GetParam();
    const uint32_t base = kv7::layoutOf(r.type).base;
    const std::string path = toUpgradeMode(r);
    ASSERT_FALSE(path.empty());
    Boot boot{open(path), r.type};
    fault(r, kv7::usesScsi(r.type) ? "replug:E500+1000" : "replug:usb:41.05+1000");
    ASSERT_TRUE(boot.eraseChip()) << "an erase carries no block";
    const uint8_t zeros[64] = {};
    ArrivalWindow arrivals({tarn::kUpgradeInterface});
    EXPECT_TRUE(boot.writeBlock(base + 0xFC0, zeros));
    EXPECT_FALSE(boot.writeBlock(base + 0x1000, zeros));
    EXPECT_EQ(boot.nt, tarn::kStatusDeviceNotConnected) << std::hex << boot.usbd;
    CloseHandle(boot.h);
    const std::string again = arrivals.waitFor(tarn::kUpgradeInterface);
    ASSERT_FALSE(again.empty());
    Boot back{open(again), r.type};
    EXPECT_TRUE(back.writeBlock(base + 0x1000, zeros));
    CloseHandle(back.h);
}

// A transaction error leaves the controller answering with it until its port is reset.
TEST_F(Kv7Pc, ATransactionErrorHoldsTheControllerUntilAPortReset) {
    for (const Reader& r : {kType7, kType9}) {
        SCOPED_TRACE(r.id);
        const std::string path = toUpgradeMode(r);
        ASSERT_FALSE(path.empty());
        Boot boot{open(path), r.type};
        fault(r, kv7::usesScsi(r.type) ? "usbstatus:bulk:out:C0000011:1" : "usbstatus:usb:C1.04:C0000012:1");
        const uint32_t expected = kv7::usesScsi(r.type) ? kTransactionError : kBabble;
        EXPECT_FALSE(boot.readBlock(kv7::layoutOf(r.type).base));
        EXPECT_EQ(boot.usbd, expected);
        EXPECT_FALSE(boot.readWord(0));
        EXPECT_EQ(boot.usbd, expected) << "it stays so";
        ASSERT_EQ(kernelRequest(usbNodeOf(r.id), IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
        EXPECT_TRUE(boot.readWord(0));
        CloseHandle(boot.h);
    }
}

// The bulk-only transport of types 9 and 10 when it goes wrong: a stalled data phase, a short
// read, status wrappers of 12 and 14 bytes, a wrong tag, and the status values 1 and 2.
TEST_F(Kv7Pc, TheBulkOnlyTransportWhenItGoesWrong) {
    const std::string path = toUpgradeMode(kType9);
    ASSERT_FALSE(path.empty());
    HANDLE h = open(path);
    const std::array<uint8_t, 6> readBlock = {kv7::kOpReadBlock, kv7::kReadBlockSub, 0x01, 0x00, 64, 0};
    auto read = [&](uint32_t length = 64) {
        std::vector<uint8_t> data(length);
        return bulkOnly(h, readBlock, &data, true);
    };
    ASSERT_TRUE(read().good());

    fault(kType9, "fail:bulk:in:1");
    BulkOnly r = read();
    EXPECT_TRUE(r.good()) << "the data phase stalls, its pipe is reset, the status comes";
    EXPECT_EQ(r.moved, 0u);

    fault(kType9, "short:E402:10:1");
    r = read();
    EXPECT_TRUE(r.good());
    EXPECT_EQ(r.moved, 10u);
    EXPECT_EQ(uint32_t{r.csw.dataResidue}, 54u);  // by value: the packed field is not aligned

    fault(kType9, "csw:E402:12:1");
    r = read();
    EXPECT_TRUE(r.good()) << "whole on the second read";
    EXPECT_EQ(r.statusLengths, (std::vector<uint32_t>{12, 13}));

    fault(kType9, "csw:E402:14:1");
    r = read();
    EXPECT_FALSE(r.status);
    EXPECT_EQ(r.statusLengths.front(), 13u);
    EXPECT_EQ(r.usbd, kStall) << "after the babble the device has no status left to send";
    ASSERT_TRUE(read().good()) << "the next command starts afresh";

    fault(kType9, "csw:E402:tag:1");
    r = read();
    EXPECT_TRUE(r.status);
    EXPECT_NE(uint32_t{r.csw.tag}, 0x44332211u);

    fault(kType9, "fail:E402:1");
    EXPECT_EQ(uint8_t{read().csw.status}, usbms::kCswFailed);
    fault(kType9, "csw:E402:phase:1");
    EXPECT_EQ(uint8_t{read().csw.status}, usbms::kCswPhaseError);
    EXPECT_TRUE(read().good());
    CloseHandle(h);
}

}  // namespace
