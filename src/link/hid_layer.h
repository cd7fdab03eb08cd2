#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace qz {

// What the transceiver link needs of the platform's HID stack: enumerate the
// HID interfaces present in the platform's order, open one by path, learn its
// report lengths, read one input report without waiting, write one output
// report, close. The Linux realisation is HidrawLayer; tests use FakeHidBus.
class HidLayer {
public:
    // An open device node; kNoHandle when nothing is open.
    using Handle = int;
    static constexpr Handle kNoHandle = -1;

    // One HID interface as the enumeration found it. Vendor and product are
    // known without opening the interface (idsKnown false: the platform gave
    // none, so the interface matches nothing).
    struct Interface {
        std::string path;
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        bool idsKnown = false;
    };

    enum class OpenMode {
        Synchronous, // identification, capabilities and output reports
        NonBlockingInput, // input reads that never wait
    };

    enum class OpenStatus {
        Opened,
        PermissionDenied, // the node exists but this user may not open it
        Gone, // the node vanished since the enumeration
        Failed, // any other reason
    };

    struct OpenResult {
        Handle handle = kNoHandle;
        OpenStatus status = OpenStatus::Failed;
        int errorCode = 0; // the platform's error number, 0 when opened
    };

    // Report lengths as the HID capabilities give them: each counts the report
    // ID byte, also on a device that uses no report IDs. 0 when the device has
    // no report of that kind.
    struct ReportLengths {
        std::uint16_t input = 0;
        std::uint16_t output = 0;
    };

    // The four outcomes of one look at the input queue.
    enum class ReadOutcome {
        Report, // one input report was placed in the buffer
        Nothing, // no report waiting: the normal tick
        Gone, // the device has been unplugged
        WaitFailed, // the look itself failed; polling cannot go on
    };

    struct ReadResult {
        ReadOutcome outcome = ReadOutcome::Nothing;
        std::size_t bytes = 0; // bytes delivered, report ID byte included
    };

    // A matching interface that could not be opened, passed to
    // ReportOpenFailure once the caller has given up on it for now.
    struct OpenFailure {
        std::string path;
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
        OpenStatus status = OpenStatus::Failed;
        int errorCode = 0;
    };

    virtual ~HidLayer() = default;

    // The HID interfaces present, in the platform's enumeration order.
    virtual std::vector<Interface> Enumerate() = 0;

    // Opens an interface by path. Handles never leak into child processes.
    virtual OpenResult Open(const std::string& path, OpenMode mode) = 0;

    // The report lengths of an open interface; false when they cannot be read.
    virtual bool GetReportLengths(Handle handle, ReportLengths& lengths) = 0;

    // Looks once, without waiting, for an input report on a handle opened with
    // NonBlockingInput and reads at most buffer.size() bytes of it into the
    // buffer from index 0. Index 0 always receives the report ID (0 on a device
    // without report IDs). Bytes past what was delivered keep their values.
    virtual ReadResult ReadReport(Handle handle, std::span<std::uint8_t> buffer) = 0;

    // Abandons any read outstanding on the handle.
    virtual void Cancel(Handle handle) = 0;

    // Writes one output report, report ID at index 0, and returns when the
    // platform has taken it. false when the write failed.
    virtual bool WriteReport(Handle handle, std::span<const std::uint8_t> report) = 0;

    virtual void Close(Handle handle) = 0;

    // Tells the user, through whatever the layer was given for it, why a
    // matching interface cannot be opened.
    virtual void ReportOpenFailure(const OpenFailure& failure) = 0;
};

} // namespace qz
