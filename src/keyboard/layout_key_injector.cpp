#include "keyboard/layout_key_injector.h"

#include <thread>
#include <utility>

namespace qz {

LayoutKeyInjector::LayoutKeyInjector(KeyLayout& layout, KeySink& sink, std::function<void()> processPendingEvents)
    : layout_(layout)
    , sink_(sink)
    , processPendingEvents_(std::move(processPendingEvents))
    , emit_([this](std::uint16_t code, bool down) { Send(code, down); })
{
}

LayoutKeyInjector::~LayoutKeyInjector()
{
    if (held_.none()) {
        return;
    }
    for (std::size_t code = 0; code < held_.size(); ++code) {
        if (held_[code]) {
            sink_.Send(static_cast<std::uint16_t>(code), false);
        }
    }
    sink_.Flush();
}

void LayoutKeyInjector::Send(std::uint16_t code, bool down)
{
    if (code >= held_.size()) {
        return;
    }
    held_[code] = down;
    sink_.Send(code, down);
}

std::int16_t LayoutKeyInjector::KeyForCharacter(std::uint8_t character)
{
    const std::int16_t key = layout_.Keys(true).keyOfCharacter[character];
    constexpr std::int16_t kAltGr = kCtrlBit | kAltBit;
    if (key != kNoKey && (key & kAltGr) == kAltGr) {
        altGr_.Announce(static_cast<std::uint8_t>(key & 0xFF));
    } else {
        altGr_.Clear();
    }
    return key;
}

std::uint32_t LayoutKeyInjector::ScanCode(std::int32_t virtualKey)
{
    altGr_.ForgetUnlessFor(virtualKey);
    if (virtualKey < 0 || virtualKey > 0xFF) {
        return 0;
    }
    // The Linux input code, which for the main block is the PC set-1 scan code.
    return layout_.Keys(false).codeOfVk[static_cast<std::size_t>(virtualKey)];
}

std::uint32_t LayoutKeyInjector::KeyCharacter(std::int32_t virtualKey)
{
    altGr_.ForgetUnlessFor(virtualKey);
    if (virtualKey < 0 || virtualKey > 0xFF) {
        return 0;
    }
    return layout_.Keys(false).characterOfVk[static_cast<std::size_t>(virtualKey)];
}

void LayoutKeyInjector::SendKeyEvent(std::uint8_t virtualKey, std::uint8_t /*scanCode*/, std::uint32_t flags)
{
    // The scan code and the extended-key flag mean nothing to either sink:
    // the key code says everything. A key this layout lacks is not sent.
    const bool down = (flags & kKeyUp) == 0;
    const KeyTable& keys = layout_.Keys(false);
    if (altGr_.Key(keys, virtualKey, down, emit_)) {
        return;
    }
    std::uint16_t code = keys.codeOfVk[virtualKey];
    if (!down && downCodeOfVk_[virtualKey] != 0) {
        code = downCodeOfVk_[virtualKey];
    }
    downCodeOfVk_[virtualKey] = down ? code : 0;
    if (code != 0) {
        Send(code, down);
    }
}

std::int16_t LayoutKeyInjector::KeyState(std::int32_t virtualKey)
{
    const KeyTable& keys = layout_.Keys(true);
    altGr_.Settle(keys, emit_);
    if (virtualKey < 0 || virtualKey > 0xFF) {
        return 0;
    }
    std::int16_t state = 0;
    std::optional<LockKey> lock;
    if (virtualKey == VirtualKey::kCapsLock) {
        lock = LockKey::kCaps;
    } else if (virtualKey == VirtualKey::kNumLock) {
        lock = LockKey::kNum;
    } else if (virtualKey == VirtualKey::kScrollLock) {
        lock = LockKey::kScroll;
    }
    if (lock) {
        // The sink's word first: a compositor's lock LEDs are current even
        // when the X server has not heard of a change yet.
        std::optional<bool> on = sink_.LockOn(*lock);
        if (!on) {
            on = layout_.LockOn(*lock);
        }
        state = on.value_or(false) ? 1 : 0;
    }
    const std::uint16_t code = keys.codeOfVk[static_cast<std::size_t>(virtualKey)];
    if (code != 0 && (held_[code] || layout_.KeyDown(code))) {
        state = static_cast<std::int16_t>(state | 0x8000);
    }
    return state;
}

void LayoutKeyInjector::Pause(std::chrono::milliseconds duration)
{
    // Every event has been taken in before the pause begins.
    altGr_.Settle(layout_.Keys(false), emit_);
    sink_.Flush();
    PreciseSleep(duration);
}

void LayoutKeyInjector::ProcessPendingEvents()
{
    if (processPendingEvents_) {
        processPendingEvents_();
    }
}

void PreciseSleep(std::chrono::milliseconds duration)
{
    // Sleep to just before the end, then yield until it has passed.
    using Clock = std::chrono::steady_clock;
    constexpr auto kWakeMargin = std::chrono::microseconds(300);
    const Clock::time_point end = Clock::now() + duration;
    if (duration > kWakeMargin) {
        std::this_thread::sleep_until(end - kWakeMargin);
    }
    while (Clock::now() < end) {
        std::this_thread::yield();
    }
}

} // namespace qz
