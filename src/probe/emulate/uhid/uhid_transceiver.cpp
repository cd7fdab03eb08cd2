#include "probe/emulate/uhid/uhid_transceiver.h"

#include "link/transceiver.h"

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

namespace qz::probe {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kUhidPath = "/dev/uhid";
constexpr std::uint16_t kBusUsb = 0x03;
constexpr const char* kDeviceName = "QZ470 virtual transceiver";

bool Write(int fd, const uhid_event& event)
{
    ssize_t written = 0;
    do {
        written = ::write(fd, &event, sizeof event);
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(sizeof event);
}

// The hidraw node whose HID device carries `phys`: uhid gives each transceiver
// we make a phys of its own, so two programs that emulate at once find their own.
std::string FindNode(const std::string& phys)
{
    const std::string wanted = "HID_PHYS=" + phys + "\n";
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw", error)) {
        std::ifstream uevent(entry.path() / "device" / "uevent");
        const std::string text((std::istreambuf_iterator<char>(uevent)), std::istreambuf_iterator<char>());
        const std::string node = "/dev/" + entry.path().filename().string();
        if (text.find(wanted) != std::string::npos && std::filesystem::exists(node, error)) {
            return node;
        }
    }
    return {};
}

} // namespace

UhidTransceiver::~UhidTransceiver()
{
    Unplug();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

UhidTransceiver::OpenStatus UhidTransceiver::Open()
{
    fd_ = ::open(kUhidPath, O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd_ >= 0) {
        phys_ = "qz470-probe/emulate/" + std::to_string(::getpid());
        return OpenStatus::Opened;
    }
    errorCode_ = errno;
    switch (errorCode_) {
    case EACCES:
    case EPERM:
        return OpenStatus::NoAccess;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return OpenStatus::Missing;
    default:
        return OpenStatus::Failed;
    }
}

bool UhidTransceiver::Plug(const EmulatedModel& model, std::chrono::milliseconds patience)
{
    Unplug();
    uhid_event event {};
    event.type = UHID_CREATE2;
    std::strncpy(reinterpret_cast<char*>(event.u.create2.name), kDeviceName, sizeof event.u.create2.name - 1);
    std::strncpy(reinterpret_cast<char*>(event.u.create2.phys), phys_.c_str(), sizeof event.u.create2.phys - 1);
    const std::size_t size = std::min(model.descriptor.size(), sizeof event.u.create2.rd_data);
    std::copy_n(model.descriptor.begin(), size, event.u.create2.rd_data);
    event.u.create2.rd_size = static_cast<std::uint16_t>(size);
    event.u.create2.bus = kBusUsb;
    event.u.create2.vendor = Transceiver::kVendorId;
    event.u.create2.product = model.productId;
    if (!Write(fd_, event)) {
        errorCode_ = errno;
        return false;
    }
    plugged_ = true;

    // The kernel adds the device in the background: a HID driver starts it,
    // then hidraw adds the node, and devtmpfs makes the file a moment later.
    const Clock::time_point until = Clock::now() + patience;
    bool started = false;
    while (!started && Clock::now() < until) {
        pollfd look {fd_, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (::poll(&look, 1, static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0) + 1)) <= 0) {
            continue;
        }
        uhid_event got {};
        if (::read(fd_, &got, sizeof got) <= 0) {
            continue;
        }
        if (got.type == UHID_START) {
            started = true;
        } else {
            // What belongs to the transceiver before this one (its last
            // output reports, its closing) still counts, in order.
            pending_.push_back(Event {});
            Event& kept = pending_.back();
            if (got.type == UHID_OUTPUT) {
                kept.kind = Event::Kind::Output;
                kept.report.assign(got.u.output.data,
                    got.u.output.data + std::min<std::size_t>(got.u.output.size, sizeof got.u.output.data));
            } else if (got.type == UHID_CLOSE) {
                kept.kind = Event::Kind::Closed;
            } else {
                pending_.pop_back();
            }
        }
    }
    if (!started) {
        errorCode_ = ETIMEDOUT;
        return false;
    }
    node_.clear();
    while (node_.empty() && Clock::now() < until) {
        node_ = FindNode(phys_);
        if (node_.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    return true;
}

void UhidTransceiver::Unplug()
{
    if (!plugged_) {
        return;
    }
    uhid_event event {};
    event.type = UHID_DESTROY;
    Write(fd_, event);
    plugged_ = false;
    node_.clear();
}

bool UhidTransceiver::Send(const ByteArray& data)
{
    if (!plugged_) {
        return false;
    }
    uhid_event event {};
    event.type = UHID_INPUT2;
    const std::size_t size = std::min(data.size(), sizeof event.u.input2.data);
    std::copy_n(data.begin(), size, event.u.input2.data);
    event.u.input2.size = static_cast<std::uint16_t>(size);
    if (!Write(fd_, event)) {
        errorCode_ = errno;
        return false;
    }
    return true;
}

UhidTransceiver::Event UhidTransceiver::Next()
{
    if (!pending_.empty()) {
        Event event = std::move(pending_.front());
        pending_.pop_front();
        return event;
    }
    for (;;) {
        uhid_event got {};
        const ssize_t n = ::read(fd_, &got, sizeof got);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                return {};
            }
            errorCode_ = errno;
            return Event {Event::Kind::Failed, {}};
        }
        if (n == 0) {
            return {};
        }
        switch (got.type) {
        case UHID_OPEN:
            return Event {Event::Kind::Opened, {}};
        case UHID_CLOSE:
            return Event {Event::Kind::Closed, {}};
        case UHID_OUTPUT: {
            const std::size_t size = std::min<std::size_t>(got.u.output.size, sizeof got.u.output.data);
            return Event {Event::Kind::Output, ByteArray(got.u.output.data, got.u.output.data + size)};
        }
        case UHID_GET_REPORT: {
            // A program asked for a feature or input report by request: the
            // transceivers answer none, and the kernel waits until told.
            uhid_event reply {};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = got.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            Write(fd_, reply);
            continue;
        }
        case UHID_SET_REPORT: {
            uhid_event reply {};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = got.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            Write(fd_, reply);
            continue;
        }
        default:
            continue; // start and stop of a transceiver: Plug and Unplug know
        }
    }
}

} // namespace qz::probe
