// The Tarn readers: USB card readers whose flash holds a Tarn firmware image and which answer
// from it. In functional mode the reader shows the USB identity its image describes (device
// descriptor from "CSED", strings from "DESC", its serial number) and a mass-storage unit; the
// DFU detach request makes it leave and come back in upgrade mode, where its boot loader takes
// whole images up and down and a second detach brings it back running what its flash now holds.
// A flash that is not a complete image keeps it in upgrade mode. The Plex monitor is a reader
// with slots for Plex modules, which are readers themselves. The reader of product type 16
// carries a second, external firmware in its storage unit, the Quoll unit.
#pragma once
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "firmware_images.h"
#include "lab/device_entry.h"
#include "lab/physical_device.h"
#include "usb_mass_storage.h"
#include "usb_port.h"

namespace lab {

class TarnReader : public ScsiDevice, public UsbPort, public UsbFunction {
public:
    // How the PC binds the reader in functional mode.
    enum class Binding { Own, UsbStor, Composite, PlexMonitor };

    TarnReader(Hardware& hw, const nlohmann::json& entry, const std::filesystem::path& folder);

    ScsiTarget* scsi() override { return this; }
    UsbFunction* usb() override { return this; }
    UsbPort* usbPort() override { return this; }
    nlohmann::json state() const override;

    bool upgradeMode() const;
    uint8_t dfuType() const { return dfuType_; }
    Binding binding() const { return binding_; }
    bool isPlexMonitor() const { return binding_ == Binding::PlexMonitor; }
    bool isPlexModule() const { return module_; }
    int slots() const { return slots_; }
    // Its storage is reported by its own function driver (a Plex module's is the monitor's).
    bool reportsOwnStorage() const { return !module_ && !isPlexMonitor(); }
    // The firmware it runs, for "zelfin-lab show": version, product type, identifiers.
    nlohmann::json firmware() const;

    // ---- USB ----
    UsbAppearance appearance() override;
    std::vector<uint8_t> deviceDescriptor() const override;
    std::vector<uint8_t> configurationDescriptor() const override;
    std::optional<std::u16string> stringDescriptor(uint8_t index) const override;
    UsbOutcome control(const UsbSetup& setup, uint8_t* data) override;
    std::optional<uint32_t> imageOffset(const UsbSetup& setup) const override;
    UsbOutcome bulkOut(uint8_t endpoint, const uint8_t* data, uint32_t length) override;
    UsbOutcome bulkIn(uint8_t endpoint, uint8_t* data, uint32_t length) override;
    void busReset() override;
    void clearHalt(uint8_t endpoint) override { bridge_.clearHalt(endpoint & 0x80); }

protected:
    ScsiOutcome handle(const ScsiCommand& command) override;
    void interrupted(const ScsiCommand& command) override;
    void leaving(LeaveKind why, const std::optional<Fault>& fault) override;
    void returning(LeaveKind why, const std::optional<Fault>& fault) override;
    void poweredOn() override;
    void booted() override;
    void plugChanged(bool plugged) override {
        if (plugged) pluggedIn();
    }
    void updateState(const nlohmann::json& state) override;

    struct Mode {
        bool upgrade = false;
        // The driver the PC binds in functional mode this time; in upgrade mode UsbStor when the
        // boot loader came back on the generic mass-storage driver, Own otherwise.
        Binding as;
        std::optional<std::pair<uint16_t, uint16_t>> ids;  // identifiers shown instead of the usual
    };
    // The programmable area: capacity_ bytes from base_ of the "flash" memory.
    std::vector<uint8_t> flash() const;
    // Whether the controller boots the firmware in its flash: a complete image (for a KV7
    // controller, one whose header block is written).
    bool bootable() const;
    Mode bootMode() const;
    UsbOutcome vendor(const UsbSetup& setup, uint8_t* data);
    // The bulk-only engine back at waiting for a command; freshBridge() does so once per arrival.
    void resetBridge();
    void freshBridge();
    UsbOutcome dfu(const UsbSetup& setup, uint8_t* data);

    uint8_t dfuType_;
    uint32_t base_ = 0;
    uint32_t capacity_;
    mutable std::mutex mutex_;
    Mode mode_;
    UsbMassStorageBridge bridge_;
    std::atomic<uint64_t> bridgeArrival_{0};

private:
    // As attached: the mode its entry asks for, upgrade mode whatever it asks when its flash
    // holds no complete image.
    Mode initialMode() const;
    std::pair<uint16_t, uint16_t> upgradeIds() const;

    bool attachedInUpgradeMode_;
    Binding binding_;
    bool module_ = false;
    bool quoll_ = false;  // its storage unit is the Quoll unit with the external firmware
    int slots_ = 0;
    std::optional<Mode> heading_;  // where a leave under way takes it
    uint8_t dfuState_ = 2;         // dfuIDLE
    bool erased_ = false;          // the flash was erased for the download under way
};

void registerTarnDeviceKinds();
// For the kinds of Tarn reader: the options they all take, and the entry keys and factory flash
// they share (the image's parameters are returned, for a kind that builds more from them).
std::vector<std::pair<std::string, std::string>> tarnCommonOptions();
TarnImageParams prepareTarnCommon(const nlohmann::json& request, PreparedDevice& out, const char* inquiry,
                                  uint16_t defaultProduct, int lowestType = 0, int highestType = 6, int defaultType = 0);
bool isTarnKind(const std::string& kind);
// The identifiers a reader's boot loader shows in upgrade mode.
std::pair<uint16_t, uint16_t> tarnLoaderIds(uint8_t dfuType);
// What the programmable area of a reader of `dfuType` holds, for "zelfin-lab show": {"complete",
// "version", "productType", "feature", "ids", "serial"}.
nlohmann::json tarnFirmwareSummary(const uint8_t* flash, size_t length, uint8_t dfuType);

}  // namespace lab
