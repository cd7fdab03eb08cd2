#include "fakes/fake_hid_bus.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace qz {

namespace {

[[noreturn]] void Misuse(const char* operation, HidLayer::Handle handle, const char* what)
{
    std::fprintf(stderr, "FakeHidBus: %s on handle %d: %s\n", operation, handle, what);
    std::abort();
}

} // namespace

FakeHidDevice::FakeHidDevice(std::string path, std::uint16_t vendorId, std::uint16_t productId,
    std::uint16_t inputLength, std::uint16_t outputLength)
    : inputReportLength(inputLength)
    , outputReportLength(outputLength)
    , path_(std::move(path))
    , vendorId_(vendorId)
    , productId_(productId)
{
}

void FakeHidDevice::QueueReport(ByteArray report)
{
    queue_.push_back({Event::Kind::Report, std::move(report)});
}
void FakeHidDevice::QueueNothing()
{
    queue_.push_back({Event::Kind::Nothing, {}});
}
void FakeHidDevice::QueueGone()
{
    queue_.push_back({Event::Kind::Gone, {}});
}
void FakeHidDevice::QueueWaitFailed()
{
    queue_.push_back({Event::Kind::WaitFailed, {}});
}

void FakeHidDevice::Unplug()
{
    present_ = false;
    ++generation_;
    queue_.clear();
}

void FakeHidDevice::Plug()
{
    present_ = true;
    queue_.clear();
}

FakeHidBus::FakeHidBus() = default;

FakeHidBus::~FakeHidBus()
{
    // A handle still open when the bus goes is a leak in the code under test.
    if (!handles_.empty()) {
        std::fprintf(stderr, "FakeHidBus: %zu handle(s) left open\n", handles_.size());
        std::abort();
    }
}

FakeHidDevice& FakeHidBus::AddDevice(
    std::uint16_t vendorId, std::uint16_t productId, std::uint16_t inputReportLength, std::uint16_t outputReportLength)
{
    const std::string path = "/dev/hidraw" + std::to_string(devices_.size());
    devices_.push_back(
        std::make_unique<FakeHidDevice>(path, vendorId, productId, inputReportLength, outputReportLength));
    return *devices_.back();
}

std::vector<HidLayer::Interface> FakeHidBus::Enumerate()
{
    ++enumerations_;
    std::vector<Interface> found;
    for (const auto& device : devices_) {
        if (!device->present_) {
            continue;
        }
        Interface entry;
        entry.path = device->path_;
        if (!device->idsUnknown) {
            entry.vendorId = device->vendorId_;
            entry.productId = device->productId_;
            entry.idsKnown = true;
        }
        found.push_back(entry);
    }
    return found;
}

HidLayer::OpenResult FakeHidBus::Open(const std::string& path)
{
    const auto it = std::find_if(devices_.begin(), devices_.end(), [&](const auto& d) { return d->path_ == path; });
    if (it == devices_.end() || !(*it)->present_) {
        return {kNoHandle, OpenStatus::Gone, ENOENT};
    }
    FakeHidDevice& device = **it;
    ++device.openCount_;
    if (device.openStatus != OpenStatus::Opened) {
        const OpenStatus status = device.openStatus;
        if (device.failNextOpens > 0 && --device.failNextOpens == 0) {
            device.openStatus = OpenStatus::Opened;
        }
        return {kNoHandle, status, status == OpenStatus::PermissionDenied ? EACCES : EIO};
    }
    const Handle handle = nextHandle_++;
    handles_[handle] = OpenEntry {&device, device.generation_};
    ++device.openHandles_;
    return {handle, OpenStatus::Opened, 0};
}

FakeHidBus::OpenEntry& FakeHidBus::Lookup(Handle handle, const char* operation)
{
    const auto it = handles_.find(handle);
    if (it == handles_.end()) {
        Misuse(operation, handle, "not open");
    }
    return it->second;
}

bool FakeHidBus::GetReportLengths(Handle handle, ReportLengths& lengths)
{
    const OpenEntry& entry = Lookup(handle, "GetReportLengths");
    if (entry.device->lengthsUnknown) {
        return false;
    }
    lengths.input = entry.device->inputReportLength;
    lengths.output = entry.device->outputReportLength;
    return true;
}

HidLayer::ReadResult FakeHidBus::ReadReport(Handle handle, std::span<std::uint8_t> buffer)
{
    OpenEntry& entry = Lookup(handle, "ReadReport");
    FakeHidDevice& device = *entry.device;
    if (entry.generation != device.generation_) {
        return {ReadOutcome::Gone, 0};
    }
    if (device.queue_.empty()) {
        return {ReadOutcome::Nothing, 0};
    }
    FakeHidDevice::Event event = std::move(device.queue_.front());
    device.queue_.pop_front();
    switch (event.kind) {
    case FakeHidDevice::Event::Kind::Nothing:
        return {ReadOutcome::Nothing, 0};
    case FakeHidDevice::Event::Kind::Gone:
        return {ReadOutcome::Gone, 0};
    case FakeHidDevice::Event::Kind::WaitFailed:
        return {ReadOutcome::WaitFailed, 0};
    case FakeHidDevice::Event::Kind::Report:
        break;
    }
    // Like hidraw: a report longer than the read is cut, a shorter one leaves
    // the rest of the buffer alone.
    const std::size_t n = std::min(buffer.size(), event.report.size());
    std::copy_n(event.report.begin(), n, buffer.begin());
    return {ReadOutcome::Report, n};
}

bool FakeHidBus::WriteReport(Handle handle, std::span<const std::uint8_t> report)
{
    OpenEntry& entry = Lookup(handle, "WriteReport");
    if (entry.generation != entry.device->generation_) {
        return false;
    }
    entry.device->writes_.emplace_back(report.begin(), report.end());
    return true;
}

void FakeHidBus::Close(Handle handle)
{
    OpenEntry& entry = Lookup(handle, "Close");
    --entry.device->openHandles_;
    handles_.erase(handle);
}

} // namespace qz
