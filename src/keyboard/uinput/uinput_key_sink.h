#pragma once

#include "keyboard/key_sink.h"

#include <bitset>
#include <chrono>
#include <memory>
#include <string>

struct libevdev_uinput;

namespace qz {

// A virtual keyboard of the kernel's, made through /dev/uinput. Compositors
// (GNOME, KDE, wlroots-based ones, weston) and X servers read it like a real
// keyboard, so its keys reach native Wayland windows and X windows alike.
// Each key event is followed by a sync report, as a real keyboard sends it.
//
// A compositor takes a moment to add a new input device: events sent before
// kSettleTime has passed since the device was made wait until it has (a
// program creates the device at start and types much later, so nothing
// waits in practice). Compositors that keep their keyboards' lock LEDs in
// step write them to this device too; LockOn() reads them from there.
class UinputKeySink final : public KeySink {
public:
    static constexpr const char* kDeviceName = "QZ470 Tester keys";
    static constexpr std::chrono::milliseconds kSettleTime {500};
    // How long the device stays after the last event before it goes, so that
    // the compositor reads the event before the device disappears.
    static constexpr std::chrono::milliseconds kDrainTime {100};

    // Makes the device. nullptr when it cannot be made; `why` then says why
    // in a few words ("/dev/uinput cannot be opened (Permission denied)").
    static std::unique_ptr<UinputKeySink> Create(std::string& why, const char* path = "/dev/uinput");
    // Destroys the device. Whoever held keys has released them before.
    ~UinputKeySink() override;

    UinputKeySink(const UinputKeySink&) = delete;
    UinputKeySink& operator=(const UinputKeySink&) = delete;

    // The device's event node (/dev/input/eventN), empty when unknown.
    std::string DeviceNode() const;

    void Send(std::uint16_t code, bool down) override;
    void Flush() override;
    std::optional<bool> LockOn(LockKey lock) override;

private:
    using Clock = std::chrono::steady_clock;
    UinputKeySink(int fd, libevdev_uinput* device);
    void ReadLeds();

    int fd_;
    libevdev_uinput* device_;
    Clock::time_point ready_;
    Clock::time_point lastEvent_ {};
    bool ledsWritten_ = false; // the compositor has set a lock LED on us
    std::bitset<3> leds_; // by LockKey
};

} // namespace qz
