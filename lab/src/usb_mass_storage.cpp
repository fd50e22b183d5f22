#include "usb_mass_storage.h"

#include <algorithm>
#include <cstring>

#include <winsim/usb.h>

namespace lab {

void UsbMassStorageBridge::finish(const ScsiOutcome& outcome) {
    csw_ = {};
    csw_.signature = usbms::kCswSignature;
    csw_.tag = cbw_.tag;
    const uint32_t expected = cbw_.dataTransferLength;  // packed: by value
    const uint32_t moved = std::min(outcome.transferred, expected);
    csw_.dataResidue = cbw_.dataTransferLength - moved;
    timedOut_ = outcome.kind == ScsiOutcome::Kind::TimedOut;
    wrapper_ = outcome.wrapper;
    if (wrapper_ == Fault::Wrapper::BadTag) csw_.tag = ~cbw_.tag;
    csw_.status = outcome.kind == ScsiOutcome::Kind::PhaseError ? usbms::kCswPhaseError
                  : outcome.status == kStatusGood                ? usbms::kCswPassed
                                                                 : usbms::kCswFailed;
}

// Runs the wrapped command, with the collected data-out (or a buffer for data-in).
bool UsbMassStorageBridge::run(const uint8_t* out) {
    ScsiCommand command;
    command.cdb = cbw_.command;
    command.cdbLength = cbw_.commandLength;
    command.lun = cbw_.lun;
    command.dataLength = cbw_.dataTransferLength;
    const bool in = cbw_.flags & usbms::kCbwFlagIn;
    command.direction = cbw_.dataTransferLength == 0 ? DataDirection::None : in ? DataDirection::In : DataDirection::Out;
    if (in) data_.assign(cbw_.dataTransferLength, 0);
    command.data = in ? data_.data() : const_cast<uint8_t*>(out);
    const ScsiOutcome outcome = target_.execute(command);
    finish(outcome);
    if (in) {
        data_.resize(std::min<size_t>(data_.size(), outcome.transferred));
        delivered_ = 0;
        phase_ = Phase::DataIn;
    } else {
        phase_ = Phase::Status;
    }
    return outcome.kind != ScsiOutcome::Kind::NoDevice;
}

// The device left while the transfer that ran its command was under way: the transfer fails.
UsbOutcome UsbMassStorageBridge::gone() { return UsbOutcome{UsbOutcome::Kind::NoDevice, 0}; }

UsbOutcome UsbMassStorageBridge::bulkOut(const uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (phase_) {
    case Phase::Command: {
        if (length != usbms::kCbwLength || !data) {
            phase_ = Phase::Stalled;
            return UsbOutcome::stalled();
        }
        std::memcpy(&cbw_, data, sizeof cbw_);
        if (cbw_.signature != usbms::kCbwSignature || cbw_.commandLength == 0 ||
            cbw_.commandLength > usbms::kMaxCommandLength) {
            phase_ = Phase::Stalled;
            return UsbOutcome::stalled();
        }
        if (cbw_.dataTransferLength && !(cbw_.flags & usbms::kCbwFlagIn)) {
            data_.clear();
            phase_ = Phase::DataOut;
        } else if (!run(nullptr)) {
            return gone();
        }
        return UsbOutcome::done(length);
    }
    case Phase::DataOut: {
        const uint32_t room = cbw_.dataTransferLength - static_cast<uint32_t>(data_.size());
        const uint32_t take = std::min(room, length);
        if (take && data) data_.insert(data_.end(), data, data + take);
        if (data_.size() == cbw_.dataTransferLength && !run(data_.data())) return gone();
        return UsbOutcome::done(take);
    }
    default:
        // Data the device does not expect now: it stalls the pipe, as the transport says.
        phase_ = Phase::Stalled;
        return UsbOutcome::stalled();
    }
}

UsbOutcome UsbMassStorageBridge::bulkIn(uint8_t* data, uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    switch (phase_) {
    case Phase::DataIn: {
        const uint32_t n = std::min<uint32_t>(length, static_cast<uint32_t>(data_.size()) - delivered_);
        if (n && data) std::memcpy(data, data_.data() + delivered_, n);
        delivered_ += n;
        // A short transfer ends the data phase, as does the last byte.
        if (delivered_ >= data_.size() || n < length) phase_ = Phase::Status;
        return UsbOutcome::done(n);
    }
    case Phase::Status: {
        if (timedOut_) {
            // The command never finished: the host's wait for the status runs out, and its
            // next command starts afresh.
            timedOut_ = false;
            phase_ = Phase::Command;
            return UsbOutcome{UsbOutcome::Kind::TimedOut, 0};
        }
        if (!data) return UsbOutcome::stalled();
        if (wrapper_ == Fault::Wrapper::Short12) {
            // A short packet; the device sends its wrapper whole on the next read.
            wrapper_.reset();
            const uint32_t n = std::min<uint32_t>(length, usbms::kCswLength - 1);
            std::memcpy(data, &csw_, n);
            return UsbOutcome::done(n);
        }
        if (wrapper_ == Fault::Wrapper::Long14) {
            // One byte too many: a read of the wrapper's own length overflows.
            wrapper_.reset();
            phase_ = Phase::Command;
            uint8_t longer[usbms::kCswLength + 1] = {};
            std::memcpy(longer, &csw_, sizeof csw_);
            const uint32_t n = std::min<uint32_t>(length, sizeof longer);
            std::memcpy(data, longer, n);
            if (n < sizeof longer) return UsbOutcome::error(USBD_STATUS_BABBLE_DETECTED, n);
            return UsbOutcome::done(n);
        }
        if (length < usbms::kCswLength) return UsbOutcome::stalled();
        std::memcpy(data, &csw_, sizeof csw_);
        phase_ = Phase::Command;
        return UsbOutcome::done(usbms::kCswLength);
    }
    default:
        return UsbOutcome::stalled();
    }
}

void UsbMassStorageBridge::clearHalt(bool in) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (in && phase_ == Phase::DataIn) phase_ = Phase::Status;
}

std::optional<UsbOutcome> UsbMassStorageBridge::control(const UsbSetup& setup, uint8_t* data) {
    if (setup.requestType == usbms::kResetRequestType && setup.request == usbms::kReset) {
        std::lock_guard<std::mutex> lock(mutex_);
        phase_ = Phase::Command;
        data_.clear();
        return UsbOutcome::done(0);
    }
    if (setup.requestType == usbms::kGetMaxLunRequestType && setup.request == usbms::kGetMaxLun) {
        if (setup.length < 1 || !data) return UsbOutcome::stalled();
        data[0] = static_cast<uint8_t>(target_.lun());
        return UsbOutcome::done(1);
    }
    return std::nullopt;
}

}  // namespace lab
