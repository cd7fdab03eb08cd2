#pragma once

#include "decode/transceiver_data.h"
#include "probe/emulate/emulated_model.h"
#include "probe/emulate/virtual_transceiver.h"

#include <chrono>
#include <deque>
#include <string>

namespace qz::probe {

// A transceiver made through the kernel's /dev/uhid: the kernel, and every
// program on it, sees a USB HID device with the model's IDs and report
// descriptor, with a hidraw node of its own. Closing /dev/uhid removes it.
class UhidTransceiver final : public VirtualTransceiver {
public:
    enum class OpenStatus { Opened, NoAccess, Missing, Failed };

    UhidTransceiver() = default;
    ~UhidTransceiver() override;
    UhidTransceiver(const UhidTransceiver&) = delete;
    UhidTransceiver& operator=(const UhidTransceiver&) = delete;

    // Opens /dev/uhid; errorCode() tells why not.
    OpenStatus Open();
    int ErrorCode() const override { return errorCode_; }

    // Plugs the transceiver in and waits (up to `patience`) until the kernel
    // has started it and its hidraw node exists. false when the kernel
    // refused it; ErrorCode() then says why.
    bool Plug(const EmulatedModel& model, std::chrono::milliseconds patience) override;
    // Unplugs it; nothing when it is not plugged in.
    void Unplug() override;
    bool Plugged() const override { return plugged_; }
    // The hidraw node of the transceiver plugged in; empty when it did not
    // appear in time.
    const std::string& Node() const override { return node_; }

    // Sends one input report (its data bytes). false when the kernel refused it.
    bool Send(const ByteArray& data) override;

    // The descriptor to wait on in poll() for what the kernel tells.
    int Fd() const { return fd_; }

    struct Event {
        enum class Kind { None, Opened, Closed, Output, Failed };
        Kind kind = Kind::None;
        ByteArray report; // Output: the bytes a program wrote, report ID first
    };
    // The next thing the kernel tells, without waiting: a program opened the
    // transceiver (the first one), closed it (the last one), or wrote an
    // output report. Requests for feature reports are answered here, with an
    // error: the transceivers have none.
    Event Next();

private:
    int fd_ = -1;
    int errorCode_ = 0;
    bool plugged_ = false;
    std::string node_;
    std::string phys_;
    // Events read while waiting for the kernel to start a transceiver,
    // handed out by Next() afterwards, in their order.
    std::deque<Event> pending_;
};

} // namespace qz::probe
