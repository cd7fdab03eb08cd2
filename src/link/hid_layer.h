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
// report, close. One handle serves reads and writes alike. The Linux
// realisation is HidrawLayer (link/hidraw); tests use FakeHidBus.
//
// The layer only says what happened; the link decides what to tell the user
// (link/open_failure.h).
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

    virtual ~HidLayer() = default;

    // The HID interfaces present, in the platform's enumeration order.
    virtual std::vector<Interface> Enumerate() = 0;

    // Opens an interface by path, for reads that never wait and for writes
    // that return once the platform has taken the report. Handles never leak
    // into child processes.
    virtual OpenResult Open(const std::string& path) = 0;

    // The report lengths of an open interface; false when they cannot be read.
    virtual bool GetReportLengths(Handle handle, ReportLengths& lengths) = 0;

    // Looks once, without waiting, for an input report and reads at most
    // buffer.size() bytes of it into the buffer from index 0. Index 0 always
    // receives the report ID (0 on a device without report IDs). Bytes past
    // what was delivered keep their values.
    virtual ReadResult ReadReport(Handle handle, std::span<std::uint8_t> buffer) = 0;

    // Writes one output report, report ID at index 0, and returns when the
    // platform has taken it. false when the write failed.
    virtual bool WriteReport(Handle handle, std::span<const std::uint8_t> report) = 0;

    virtual void Close(Handle handle) = 0;
};

} // namespace qz
