#pragma once

#include "decode/transceiver_data.h"
#include "probe/emulate/emulated_model.h"

#include <chrono>
#include <string>

namespace qz::probe {

// The transceiver that `emulate` makes, as its steps use it: plugged in and
// out, and sending input reports. Realised on the kernel's /dev/uhid
// (uhid/uhid_transceiver.h).
class VirtualTransceiver {
public:
    virtual ~VirtualTransceiver() = default;

    // Plugs a transceiver of `model` in and waits (up to `patience`) until the
    // host has started it. false when it was refused; ErrorCode() then says
    // why: ETIMEDOUT when no driver started it in time.
    virtual bool Plug(const EmulatedModel& model, std::chrono::milliseconds patience) = 0;
    // Unplugs it; nothing when it is not plugged in.
    virtual void Unplug() = 0;
    virtual bool Plugged() const = 0;
    // The node the host made for it; empty when none appeared in time.
    virtual const std::string& Node() const = 0;
    // Sends one input report (its data bytes). false when it was refused.
    virtual bool Send(const ByteArray& data) = 0;
    // The error number of the last refusal.
    virtual int ErrorCode() const = 0;
};

} // namespace qz::probe
