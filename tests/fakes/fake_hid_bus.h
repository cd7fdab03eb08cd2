#pragma once

#include "decode/transceiver_data.h"
#include "link/hid_layer.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qz {

// One scripted HID interface on a FakeHidBus.
class FakeHidDevice {
public:
    FakeHidDevice(std::string path, std::uint16_t vendorId, std::uint16_t productId, std::uint16_t inputReportLength,
        std::uint16_t outputReportLength);

    const std::string& Path() const { return path_; }
    std::uint16_t VendorId() const { return vendorId_; }
    std::uint16_t ProductId() const { return productId_; }

    // A report as read from the device: report ID at index 0. A report longer
    // than the reader asks for is cut, as hidraw does.
    void QueueReport(ByteArray report);
    // The next looks at the input queue end in these outcomes instead of a
    // report (in queue order, among the reports).
    void QueueNothing();
    void QueueGone();
    void QueueWaitFailed();
    std::size_t QueuedCount() const { return queue_.size(); }

    // Every output report written, in order, as many bytes as were written.
    const std::vector<ByteArray>& Writes() const { return writes_; }

    // Unplugs the device: it leaves the enumeration, its open handles read
    // Gone and writes to them fail. Plug() brings it back (queue emptied).
    void Unplug();
    void Plug();
    bool Present() const { return present_; }

    // Opens fail with this status while set (Opened: they succeed).
    HidLayer::OpenStatus openStatus = HidLayer::OpenStatus::Opened;
    // The next N opens fail with openStatus, then opens succeed (0: all fail).
    int failNextOpens = 0;
    // GetReportLengths fails (the capability query of a broken descriptor).
    bool lengthsUnknown = false;
    // Enumerated without vendor and product.
    bool idsUnknown = false;

    std::uint16_t inputReportLength;
    std::uint16_t outputReportLength;

    // How often Open was called for this device, and handles open right now.
    int OpenCount() const { return openCount_; }
    int OpenHandles() const { return openHandles_; }

private:
    friend class FakeHidBus;
    struct Event {
        enum class Kind { Report, Nothing, Gone, WaitFailed } kind;
        ByteArray report;
    };

    std::string path_;
    std::uint16_t vendorId_;
    std::uint16_t productId_;
    std::deque<Event> queue_;
    std::vector<ByteArray> writes_;
    bool present_ = true;
    int openCount_ = 0;
    int openHandles_ = 0;
    int generation_ = 0; // bumped by Unplug: older handles stay dead
};

// A HID layer for tests: scripted devices in enumeration order. Misuse (a
// handle that is not open) aborts the test.
class FakeHidBus final : public HidLayer {
public:
    FakeHidBus();
    ~FakeHidBus() override;

    // Lengths count the report ID byte, as the HID capabilities give them.
    FakeHidDevice& AddDevice(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t inputReportLength,
        std::uint16_t outputReportLength);

    // Handles open right now, over all devices.
    std::size_t OpenHandleCount() const { return handles_.size(); }
    std::size_t EnumerateCount() const { return enumerations_; }

    std::vector<Interface> Enumerate() override;
    OpenResult Open(const std::string& path) override;
    bool GetReportLengths(Handle handle, ReportLengths& lengths) override;
    ReadResult ReadReport(Handle handle, std::span<std::uint8_t> buffer) override;
    bool WriteReport(Handle handle, std::span<const std::uint8_t> report) override;
    void Close(Handle handle) override;

private:
    struct OpenEntry {
        FakeHidDevice* device;
        int generation;
    };
    OpenEntry& Lookup(Handle handle, const char* operation);

    std::vector<std::unique_ptr<FakeHidDevice>> devices_;
    std::map<Handle, OpenEntry> handles_;
    Handle nextHandle_ = 3;
    std::size_t enumerations_ = 0;
};

} // namespace qz
