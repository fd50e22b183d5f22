// The readers built on the KV7 controller. In functional mode such a reader is a Tarn reader
// running the image in its programmable area, which also answers the D4h read of its own flash,
// the ACh read of it through its storage unit, and D3h, which takes it to its boot ROM. There
// (upgrade mode) it shows the identifiers of its controller type and is programmed block by block:
// by vendor control requests (types 7 and 8) or by vendor SCSI commands in bulk-only wrappers
// (types 9 and 10). Its flash only clears bits and must be erased; it boots its firmware again
// only once the header block at 0xC0 is written. A configuration EEPROM of 128 words keeps the
// records the system writes there.
//
// What goes wrong, besides the faults every device takes: bad blocks (bad:block+HEX), a
// transaction error or babble that leaves the controller answering every request with the same
// error until its port is reset (a usbstatus fault of C0000011 or C0000012), and, when its entry
// asks for it, a chip erase that takes long: answered with a stall, the controller busy for a
// while after it.
#pragma once
#include <cstdint>
#include <optional>

#include "tarn_reader.h"

namespace lab {

class Kv7Reader : public TarnReader {
public:
    Kv7Reader(Hardware& hw, const nlohmann::json& entry, const std::filesystem::path& folder);

    UsbAppearance appearance() override;
    std::vector<uint8_t> configurationDescriptor() const override;
    UsbOutcome control(const UsbSetup& setup, uint8_t* data) override;
    std::optional<uint32_t> imageOffset(const UsbSetup& setup) const override;
    UsbOutcome bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
    UsbOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
    void busReset() override;
    void transferFailed(uint32_t usbd) override;

protected:
    ScsiOutcome handle(const ScsiCommand& command) override;
    std::optional<uint32_t> imageOffset(const ScsiCommand& command) const override;
    void leaving(LeaveKind why, const std::optional<Fault>& fault) override;
    void booted() override;

private:
    // What a programming step gives: done, refused (a request the controller does not take), or
    // failed (a bad block).
    enum class Step { Done, Refused, Failed };

    bool scsiInUpgradeMode() const;
    // An error that holds the controller, or a busy chip erase; nullopt when it answers.
    std::optional<UsbOutcome> held();
    UsbOutcome vendorRequest(const UsbSetup& setup, uint8_t* data);
    std::optional<uint16_t> readWord(uint32_t index) const;
    bool writeWord(uint32_t index, uint16_t word);
    bool readFlash(uint32_t address, uint8_t* out, uint32_t length) const;
    Step writeBlock(uint32_t address, const uint8_t* data, uint32_t length);
    Step eraseSector(uint32_t address);
    void eraseChip();
    void erase(uint32_t from, uint32_t length);
    bool inArea(uint32_t address, uint32_t length) const;

    uint32_t eraseBusyMs_;  // a chip erase answered with a stall keeps it busy this long; 0: never
    std::mutex stateMutex_;
    uint32_t wedged_ = 0;          // the USBD status it answers with until a port reset; 0: none
    int64_t busyUntilNs_ = 0;      // lab time the busy chip erase ends
    bool forgetStatus_ = false;    // a status wrapper left unread while busy is dropped afterwards
    bool leaveAfterStatus_ = false;  // E6h: back to functional mode once its status is read
};

void registerKv7DeviceKind();

}  // namespace lab
