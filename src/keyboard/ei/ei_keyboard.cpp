#include "keyboard/ei/ei_keyboard.h"

#include "keyboard/xkb/xkb_key_table.h"

#include <libei.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace qz {

namespace {

// The keymap a keyboard device carries: XKB text in a file the server shares
// with us, to be mapped privately.
xkb_keymap* ReadKeymap(xkb_context* xkb, ei_device* device)
{
    ei_keymap* keymap = ei_device_keyboard_get_keymap(device);
    if (keymap == nullptr || ei_keymap_get_type(keymap) != EI_KEYMAP_TYPE_XKB) {
        return nullptr;
    }
    const std::size_t size = ei_keymap_get_size(keymap);
    void* text = size == 0 ? MAP_FAILED : mmap(nullptr, size, PROT_READ, MAP_PRIVATE, ei_keymap_get_fd(keymap), 0);
    if (text == MAP_FAILED) {
        return nullptr;
    }
    // The text may or may not end with a zero byte within the size.
    const std::size_t length = strnlen(static_cast<const char*>(text), size);
    xkb_keymap* compiled = xkb_keymap_new_from_buffer(
        xkb, static_cast<const char*>(text), length, XKB_KEYMAP_FORMAT_TEXT_V1, XKB_KEYMAP_COMPILE_NO_FLAGS);
    munmap(text, size);
    return compiled;
}

} // namespace

std::unique_ptr<EiKeyboard> EiKeyboard::Connect(int fd, KeyLayout& fallback, std::string& why)
{
    struct ei* context = ei_new_sender(nullptr);
    if (context == nullptr) {
        ::close(fd);
        why = "libei could not make a client";
        return nullptr;
    }
    // libei's own warnings would reach standard error, where the program
    // says what matters in a line of its own.
    ei_log_set_priority(context, EI_LOG_PRIORITY_ERROR);
    ei_configure_name(context, "QZ470 Tester");
    const int error = ei_setup_backend_fd(context, fd);
    if (error != 0) {
        ei_unref(context);
        why = std::string("libei refused the connection (") + std::strerror(-error) + ")";
        return nullptr;
    }
    return std::unique_ptr<EiKeyboard>(new EiKeyboard(context, fallback));
}

EiKeyboard::EiKeyboard(struct ei* context, KeyLayout& fallback)
    : ei_(context)
    , fallback_(fallback)
    , xkb_(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES))
{
}

EiKeyboard::~EiKeyboard()
{
    // The last keys reach the server before emulation stops, and emulation
    // stops before the connection goes.
    StopEmulating();
    DropDevice();
    ei_unref(ei_);
    xkb_keymap_unref(pendingKeymap_);
    xkb_keymap_unref(keymap_);
    xkb_context_unref(xkb_);
}

int EiKeyboard::Fd() const
{
    return ei_get_fd(ei_);
}

void EiKeyboard::Dispatch()
{
    if (state_ == State::kGone) {
        return;
    }
    ei_dispatch(ei_);
    while (ei_event* event = ei_get_event(ei_)) {
        Handle(event);
        ei_event_unref(event);
    }
}

void EiKeyboard::Handle(ei_event* event)
{
    ei_device* device = ei_event_get_device(event);
    switch (ei_event_get_type(event)) {
    case EI_EVENT_SEAT_ADDED:
        ei_seat_bind_capabilities(ei_event_get_seat(event), EI_DEVICE_CAP_KEYBOARD, nullptr);
        break;
    case EI_EVENT_DEVICE_ADDED:
        if (device_ == nullptr && ei_device_has_capability(device, EI_DEVICE_CAP_KEYBOARD)) {
            DeviceAdded(device);
        }
        break;
    case EI_EVENT_DEVICE_REMOVED:
        if (device == device_) {
            DropDevice();
        }
        break;
    case EI_EVENT_DEVICE_PAUSED:
        if (device == device_) {
            // The server ends the emulation it paused: a resume needs a new start.
            state_ = State::kPaused;
            emulating_ = false;
        }
        break;
    case EI_EVENT_DEVICE_RESUMED:
        if (device == device_) {
            state_ = State::kResumed;
            waitedInVain_ = false;
        }
        break;
    case EI_EVENT_KEYBOARD_MODIFIERS:
        if (device == device_) {
            group_ = ei_event_keyboard_get_xkb_group(event);
            lockedMods_ = ei_event_keyboard_get_xkb_mods_locked(event);
        }
        break;
    case EI_EVENT_PONG:
        if (ei_event_pong_get_ping(event) == ping_) {
            pongSeen_ = true;
        }
        break;
    case EI_EVENT_DISCONNECT:
        DropDevice();
        state_ = State::kGone;
        break;
    default:
        break;
    }
}

void EiKeyboard::DeviceAdded(ei_device* device)
{
    device_ = ei_device_ref(device);
    added_ = std::chrono::steady_clock::now();
    state_ = State::kPaused; // until the server resumes it
    emulating_ = false;
    // Taken at the next synchronised lookup, not before: a character looked
    // up on the old table keeps it for its key events.
    xkb_keymap_unref(pendingKeymap_);
    pendingKeymap_ = ReadKeymap(xkb_, device);
    keymapChanged_ = true;
}

void EiKeyboard::DropDevice()
{
    if (device_ != nullptr) {
        ei_device_unref(device_);
        device_ = nullptr;
    }
    emulating_ = false;
    if (state_ != State::kGone) {
        state_ = State::kConnecting;
    }
}

void EiKeyboard::Send(std::uint16_t code, bool down)
{
    if (state_ != State::kResumed || code == 0) {
        return;
    }
    if (!emulating_) {
        std::this_thread::sleep_until(added_ + kSettleTime);
        ei_device_start_emulating(device_, ++sequence_);
        emulating_ = true;
    }
    ei_device_keyboard_key(device_, code, down);
    ei_device_frame(device_, ei_now(ei_));
    unflushed_ = true;
}

void EiKeyboard::Flush()
{
    if (unflushed_) {
        RoundTrip();
    }
}

template <typename Done> void EiKeyboard::DispatchUntil(Done done, std::chrono::milliseconds within)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + within;
    while (!done() && state_ != State::kGone) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return;
        }
        pollfd wait {Fd(), POLLIN, 0};
        if (poll(&wait, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) {
            return;
        }
        Dispatch();
    }
}

void EiKeyboard::RoundTrip()
{
    unflushed_ = false;
    if (state_ == State::kGone) {
        return;
    }
    ping_ = ei_new_ping(ei_);
    if (ping_ == nullptr) {
        return;
    }
    pongSeen_ = false;
    ei_ping(ping_);
    DispatchUntil([this] { return pongSeen_; }, kRoundTripTimeout);
    ei_ping_unref(ping_);
    ping_ = nullptr;
}

void EiKeyboard::StopEmulating()
{
    if (!emulating_ || state_ != State::kResumed) {
        return;
    }
    RoundTrip();
    if (emulating_ && state_ == State::kResumed) {
        ei_device_stop_emulating(device_);
        emulating_ = false;
        RoundTrip();
    }
}

std::optional<bool> EiKeyboard::LockOn(LockKey lock)
{
    if (!lockedMods_ || lock == LockKey::kScroll) {
        return std::nullopt;
    }
    // The core modifiers have fixed places in every XKB keymap; Num Lock is
    // Mod2 by convention.
    const char* name = lock == LockKey::kCaps ? XKB_MOD_NAME_CAPS : XKB_MOD_NAME_NUM;
    xkb_mod_index_t index = keymap_ != nullptr ? xkb_keymap_mod_get_index(keymap_, name) : XKB_MOD_INVALID;
    if (index == XKB_MOD_INVALID) {
        index = lock == LockKey::kCaps ? 1 : 4;
    }
    return index < 32 && (*lockedMods_ & (std::uint32_t {1} << index)) != 0;
}

std::shared_ptr<const KeyTable> EiKeyboard::Keys(bool sync)
{
    if (sync) {
        Dispatch();
        if (state_ != State::kResumed && state_ != State::kGone && !waitedInVain_) {
            DispatchUntil([this] { return state_ == State::kResumed; }, kResumeWait);
            waitedInVain_ = state_ != State::kResumed;
        }
        if (keymapChanged_) {
            keymapChanged_ = false;
            xkb_keymap_unref(keymap_);
            keymap_ = pendingKeymap_;
            pendingKeymap_ = nullptr;
            table_.reset();
        }
        if (keymap_ != nullptr && (!table_ || group_ != tableGroup_)) {
            table_ = std::make_shared<const KeyTable>(BuildKeyTable(keymap_, group_));
            tableGroup_ = group_;
        }
    }
    // A keyboard without a keymap of its own: the server's choice is not
    // ours to know, so the fallback's layout is the best guess.
    return table_ ? table_ : fallback_.Keys(sync);
}

} // namespace qz
