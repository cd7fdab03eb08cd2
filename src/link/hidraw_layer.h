#pragma once

#include "link/hid_layer.h"

#include <functional>
#include <map>
#include <set>
#include <string>

struct udev;

namespace qz {

// The HID layer on Linux: libudev enumerates the "hidraw" subsystem in udev's
// order, vendor and product come from the HID parent's HID_ID property, and
// the report lengths from the parent's sysfs report_descriptor.
class HidrawLayer final : public HidLayer {
public:
    // Receives each open failure that the link gives up on. The default
    // reporter writes one line per node to standard error.
    using OpenFailureReporter = std::function<void(const OpenFailure& failure)>;

    HidrawLayer();
    ~HidrawLayer() override;
    HidrawLayer(const HidrawLayer&) = delete;
    HidrawLayer& operator=(const HidrawLayer&) = delete;

    // Replaces the reporter; an empty one reports nothing. Whatever the
    // reporter, each node is reported at most once in the layer's life.
    void SetOpenFailureReporter(OpenFailureReporter reporter);

    // The line the default reporter prints for a failure (without newline).
    static std::string DescribeOpenFailure(const OpenFailure& failure);

    std::vector<Interface> Enumerate() override;
    OpenResult Open(const std::string& path, OpenMode mode) override;
    bool GetReportLengths(Handle handle, ReportLengths& lengths) override;
    ReadResult ReadReport(Handle handle, std::span<std::uint8_t> buffer) override;
    void Cancel(Handle handle) override;
    bool WriteReport(Handle handle, std::span<const std::uint8_t> report) override;
    void Close(Handle handle) override;
    void ReportOpenFailure(const OpenFailure& failure) override;

private:
    struct OpenNode {
        bool descriptorRead = false;
        bool usesReportIds = false;
        ReportLengths lengths;
    };

    struct udev* udev_ = nullptr;
    // Device node -> sysfs directory of its HID parent, from the last enumeration.
    std::map<std::string, std::string> hidParentOf_;
    std::map<Handle, OpenNode> open_;
    std::set<std::string> reported_;
    OpenFailureReporter reporter_;
};

} // namespace qz
