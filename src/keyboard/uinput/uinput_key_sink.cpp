#include "keyboard/uinput/uinput_key_sink.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace qz {

namespace {

// The key codes a keymap can name: X key codes 9 to 255, less 8.
constexpr unsigned kFirstKey = KEY_ESC;
constexpr unsigned kLastKey = 255 - 8;

struct EvdevDeleter {
    void operator()(libevdev* device) const { libevdev_free(device); }
};

std::string SystemError(int error)
{
    return std::strerror(error);
}

} // namespace

std::unique_ptr<UinputKeySink> UinputKeySink::Create(std::string& why, const char* path)
{
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::string(path) + " cannot be opened (" + SystemError(errno) + ")";
        return nullptr;
    }
    const std::unique_ptr<libevdev, EvdevDeleter> description(libevdev_new());
    libevdev_set_name(description.get(), kDeviceName);
    libevdev_set_id_bustype(description.get(), BUS_VIRTUAL);
    libevdev_enable_event_type(description.get(), EV_KEY);
    for (unsigned code = kFirstKey; code <= kLastKey; ++code) {
        libevdev_enable_event_code(description.get(), EV_KEY, code, nullptr);
    }
    // Lock LEDs, so that compositors can tell us their lock state.
    libevdev_enable_event_type(description.get(), EV_LED);
    for (unsigned led : {LED_NUML, LED_CAPSL, LED_SCROLLL}) {
        libevdev_enable_event_code(description.get(), EV_LED, led, nullptr);
    }
    libevdev_uinput* device = nullptr;
    const int error = libevdev_uinput_create_from_device(description.get(), fd, &device);
    if (error != 0) {
        why = std::string("no virtual keyboard can be made through ") + path + " (" + SystemError(-error) + ")";
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<UinputKeySink>(new UinputKeySink(fd, device));
}

UinputKeySink::UinputKeySink(int fd, libevdev_uinput* device)
    : fd_(fd)
    , device_(device)
    , ready_(Clock::now() + kSettleTime)
{
}

UinputKeySink::~UinputKeySink()
{
    std::this_thread::sleep_until(lastEvent_ + kDrainTime);
    libevdev_uinput_destroy(device_);
    ::close(fd_);
}

std::string UinputKeySink::DeviceNode() const
{
    const char* node = libevdev_uinput_get_devnode(device_);
    return node != nullptr ? node : "";
}

void UinputKeySink::Send(std::uint16_t code, bool down)
{
    if (code < kFirstKey || code > kLastKey) {
        return;
    }
    std::this_thread::sleep_until(ready_);
    libevdev_uinput_write_event(device_, EV_KEY, code, down ? 1 : 0);
    libevdev_uinput_write_event(device_, EV_SYN, SYN_REPORT, 0);
    lastEvent_ = Clock::now();
    // The kernel keeps only the last few events for us to read: keep up.
    ReadLeds();
}

void UinputKeySink::Flush()
{
    // A write to uinput has reached the input device when it returns.
}

void UinputKeySink::ReadLeds()
{
    input_event events[16];
    for (;;) {
        const ssize_t n = ::read(fd_, events, sizeof events);
        if (n <= 0) {
            return;
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof(input_event); ++i) {
            const input_event& e = events[i];
            if (e.type != EV_LED) {
                continue;
            }
            const int lock = e.code == LED_CAPSL ? 0 : e.code == LED_NUML ? 1 : e.code == LED_SCROLLL ? 2 : -1;
            if (lock >= 0) {
                leds_[static_cast<std::size_t>(lock)] = e.value != 0;
                ledsWritten_ = true;
            }
        }
    }
}

std::optional<bool> UinputKeySink::LockOn(LockKey lock)
{
    ReadLeds();
    // The kernel passes on only changes: before the first one we cannot tell
    // a compositor that leaves our LEDs alone from one whose LEDs are all off.
    if (!ledsWritten_) {
        return std::nullopt;
    }
    return leds_[static_cast<std::size_t>(lock)];
}

} // namespace qz
