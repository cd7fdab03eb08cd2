#pragma once

#include "link/hid_layer.h"

#include <map>
#include <string>

struct udev;

namespace qz {

// The HID layer on Linux: libudev enumerates the "hidraw" subsystem in udev's
// order, vendor and product come from the HID parent's HID_ID property, and
// the report lengths from the parent's sysfs report_descriptor. A node is
// opened once, read and written through the same descriptor: reads look with
// poll() and a zero timeout and never wait, and a hidraw write returns when
// the driver has taken the report.
class HidrawLayer final : public HidLayer {
public:
    HidrawLayer();
    ~HidrawLayer() override;
    HidrawLayer(const HidrawLayer&) = delete;
    HidrawLayer& operator=(const HidrawLayer&) = delete;

    std::vector<Interface> Enumerate() override;
    OpenResult Open(const std::string& path) override;
    bool GetReportLengths(Handle handle, ReportLengths& lengths) override;
    ReadResult ReadReport(Handle handle, std::span<std::uint8_t> buffer) override;
    bool WriteReport(Handle handle, std::span<const std::uint8_t> report) override;
    void Close(Handle handle) override;

    // For programs that wait for reports instead of polling on a timer: the
    // file descriptor of an open handle, to block on in poll() beside other
    // descriptors. POLLIN: a report is waiting (ReadReport takes it);
    // POLLHUP or POLLERR alone: the device is gone. -1 when not open.
    int PollDescriptor(Handle handle) const;

    // The report lengths of an interface of the last enumeration, from its
    // sysfs report_descriptor, without opening the node: anyone may read the
    // descriptor, also of a node this user may not open. false when the
    // interface has no readable, valid descriptor.
    bool DescriptorReportLengths(const std::string& path, ReportLengths& lengths) const;

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
};

} // namespace qz
