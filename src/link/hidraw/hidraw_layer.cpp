#include "link/hidraw/hidraw_layer.h"

#include "link/report_descriptor.h"

#include <libudev.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

namespace qz {

namespace {

// The kernel refuses report descriptors longer than this (HID_MAX_DESCRIPTOR_SIZE).
constexpr std::size_t kMaxDescriptorSize = 4096;

struct UdevDeviceUnref {
    void operator()(udev_device* device) const { udev_device_unref(device); }
};
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeviceUnref>;

struct UdevEnumerateUnref {
    void operator()(udev_enumerate* enumerate) const { udev_enumerate_unref(enumerate); }
};

HidLayer::OpenStatus StatusOf(int error)
{
    switch (error) {
    case EACCES:
    case EPERM:
        return HidLayer::OpenStatus::PermissionDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return HidLayer::OpenStatus::Gone;
    default:
        return HidLayer::OpenStatus::Failed;
    }
}

// HID_ID of the HID parent: "bus:vendor:product" in hexadecimal, for example
// 0003:00000003:00001003.
bool ParseHidId(const char* text, std::uint16_t& vendorId, std::uint16_t& productId)
{
    unsigned bus = 0;
    unsigned vendor = 0;
    unsigned product = 0;
    if (text == nullptr || std::sscanf(text, "%x:%x:%x", &bus, &vendor, &product) != 3 || vendor > 0xFFFF
        || product > 0xFFFF) {
        return false;
    }
    vendorId = static_cast<std::uint16_t>(vendor);
    productId = static_cast<std::uint16_t>(product);
    return true;
}

// The descriptor holds zero bytes, so it is read from the sysfs file itself
// (udev's attribute values are strings and stop at the first zero).
bool ReadDescriptorFile(const std::string& hidSysPath, std::vector<std::uint8_t>& bytes)
{
    std::ifstream file(hidSysPath + "/report_descriptor", std::ios::binary);
    if (!file) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (bytes.size() > kMaxDescriptorSize) {
        bytes.resize(kMaxDescriptorSize);
    }
    return !file.bad() && !bytes.empty();
}

} // namespace

HidrawLayer::HidrawLayer()
    : udev_(udev_new())
{
}

HidrawLayer::~HidrawLayer()
{
    for (const auto& [fd, node] : open_) {
        ::close(fd);
    }
    if (udev_ != nullptr) {
        udev_unref(udev_);
    }
}

std::vector<HidLayer::Interface> HidrawLayer::Enumerate()
{
    std::vector<Interface> found;
    hidParentOf_.clear();
    if (udev_ == nullptr) {
        return found;
    }
    std::unique_ptr<udev_enumerate, UdevEnumerateUnref> enumerate(udev_enumerate_new(udev_));
    if (!enumerate || udev_enumerate_add_match_subsystem(enumerate.get(), "hidraw") < 0
        || udev_enumerate_scan_devices(enumerate.get()) < 0) {
        return found;
    }
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get()))
    {
        const UdevDevicePtr device(udev_device_new_from_syspath(udev_, udev_list_entry_get_name(entry)));
        if (!device) {
            continue;
        }
        const char* node = udev_device_get_devnode(device.get());
        if (node == nullptr) {
            continue;
        }
        Interface candidate;
        candidate.path = node;
        // The parent belongs to the child: not unreferenced separately.
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device.get(), "hid", nullptr);
        if (hid != nullptr) {
            candidate.idsKnown
                = ParseHidId(udev_device_get_property_value(hid, "HID_ID"), candidate.vendorId, candidate.productId);
            hidParentOf_[candidate.path] = udev_device_get_syspath(hid);
        }
        found.push_back(std::move(candidate));
    }
    return found;
}

HidLayer::OpenResult HidrawLayer::Open(const std::string& path)
{
    // O_NONBLOCK makes a read that finds nothing return at once; hidraw
    // writes are synchronous either way. O_CLOEXEC: the transceiver's handle
    // never leaks into child processes.
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        return {kNoHandle, StatusOf(error), error};
    }

    OpenNode node;
    std::string hidSysPath;
    if (const auto it = hidParentOf_.find(path); it != hidParentOf_.end()) {
        hidSysPath = it->second;
    } else if (struct stat st {}; udev_ != nullptr && ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
        // Not from our enumeration: find the HID parent by device number.
        const UdevDevicePtr device(udev_device_new_from_devnum(udev_, 'c', st.st_rdev));
        udev_device* hid
            = device ? udev_device_get_parent_with_subsystem_devtype(device.get(), "hid", nullptr) : nullptr;
        if (hid != nullptr) {
            hidSysPath = udev_device_get_syspath(hid);
        }
    }
    std::vector<std::uint8_t> descriptor;
    if (!hidSysPath.empty() && ReadDescriptorFile(hidSysPath, descriptor)) {
        if (const auto info = ParseReportDescriptor(descriptor)) {
            node.descriptorRead = true;
            node.usesReportIds = info->usesReportIds;
            node.lengths = {info->inputReportLength, info->outputReportLength};
        }
    }
    open_[fd] = node;
    return {fd, OpenStatus::Opened, 0};
}

bool HidrawLayer::GetReportLengths(Handle handle, ReportLengths& lengths)
{
    const auto it = open_.find(handle);
    if (it == open_.end() || !it->second.descriptorRead) {
        return false;
    }
    lengths = it->second.lengths;
    return true;
}

HidLayer::ReadResult HidrawLayer::ReadReport(Handle handle, std::span<std::uint8_t> buffer)
{
    const auto it = open_.find(handle);
    if (it == open_.end()) {
        return {ReadOutcome::WaitFailed, 0};
    }
    pollfd look {handle, POLLIN, 0};
    const int ready = ::poll(&look, 1, 0);
    if (ready < 0) {
        return {errno == EINTR || errno == EAGAIN ? ReadOutcome::Nothing : ReadOutcome::WaitFailed, 0};
    }
    if (ready == 0) {
        return {ReadOutcome::Nothing, 0};
    }
    if ((look.revents & POLLNVAL) != 0) {
        // The descriptor is no longer ours (closed behind our back). Forget
        // it: closing the number later could close whoever reuses it.
        open_.erase(it);
        return {ReadOutcome::WaitFailed, 0};
    }
    // hidraw still hands out reports queued before an unplug: take those first.
    if ((look.revents & POLLIN) == 0) {
        return {(look.revents & (POLLHUP | POLLERR)) != 0 ? ReadOutcome::Gone : ReadOutcome::Nothing, 0};
    }

    // hidraw delivers the report ID only on devices that use report IDs; the
    // caller always gets it at index 0, a 0 in front of the data otherwise.
    const std::size_t skip = it->second.usesReportIds ? 0 : 1;
    if (buffer.size() <= skip) {
        return {ReadOutcome::Nothing, 0}; // no room for data: leave the report queued
    }
    ssize_t n;
    do {
        n = ::read(handle, buffer.data() + skip, buffer.size() - skip);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        switch (errno) {
        case EAGAIN:
            return {ReadOutcome::Nothing, 0};
        case EIO:
        case ENODEV:
            return {ReadOutcome::Gone, 0};
        default:
            return {ReadOutcome::WaitFailed, 0};
        }
    }
    if (n == 0) {
        // End of file: the node's other side has gone away.
        return {(look.revents & (POLLHUP | POLLERR)) != 0 ? ReadOutcome::Gone : ReadOutcome::Nothing, 0};
    }
    if (skip != 0) {
        buffer[0] = 0;
    }
    return {ReadOutcome::Report, static_cast<std::size_t>(n) + skip};
}

bool HidrawLayer::WriteReport(Handle handle, std::span<const std::uint8_t> report)
{
    // Only to a descriptor still ours: one forgotten after POLLNVAL may have
    // been handed to someone else since.
    if (open_.count(handle) == 0) {
        return false;
    }
    // Byte 0 is the report ID; hidraw drops a 0 there for devices without IDs.
    ssize_t n;
    do {
        n = ::write(handle, report.data(), report.size());
    } while (n < 0 && errno == EINTR);
    return n >= 0 && static_cast<std::size_t>(n) == report.size();
}

int HidrawLayer::PollDescriptor(Handle handle) const
{
    return open_.count(handle) != 0 ? handle : -1;
}

bool HidrawLayer::DescriptorReportLengths(const std::string& path, ReportLengths& lengths) const
{
    const auto it = hidParentOf_.find(path);
    std::vector<std::uint8_t> descriptor;
    if (it == hidParentOf_.end() || !ReadDescriptorFile(it->second, descriptor)) {
        return false;
    }
    const auto info = ParseReportDescriptor(descriptor);
    if (!info) {
        return false;
    }
    lengths = {info->inputReportLength, info->outputReportLength};
    return true;
}

void HidrawLayer::Close(Handle handle)
{
    if (open_.erase(handle) != 0) {
        ::close(handle);
    }
}

} // namespace qz
