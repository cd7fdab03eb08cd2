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
    // Key code 0 is no key (KeyTable): never sent.
    if (code == 0 || code >= held_.size()) {
        return;
    }
    held_[code] = down;
    sink_.Send(code, down);
}

std::shared_ptr<const KeyTable> LayoutKeyInjector::Table()
{
    return table_ ? table_ : layout_.Keys(false);
}

std::int16_t LayoutKeyInjector::KeyForCharacter(std::uint8_t character)
{
    table_ = layout_.Keys(true);
    const std::int16_t key = table_->keyOfCharacter[character];
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
    return Table()->codeOfVk[static_cast<std::size_t>(virtualKey)];
}

std::uint32_t LayoutKeyInjector::KeyCharacter(std::int32_t virtualKey)
{
    altGr_.ForgetUnlessFor(virtualKey);
    if (virtualKey < 0 || virtualKey > 0xFF) {
        return 0;
    }
    return Table()->characterOfVk[static_cast<std::size_t>(virtualKey)];
}

void LayoutKeyInjector::SendKeyEvent(std::uint8_t virtualKey, std::uint8_t /*scanCode*/, std::uint32_t flags)
{
    // The scan code and the extended-key flag mean nothing to either sink:
    // the key code says everything. A key this layout lacks is not sent.
    const bool down = (flags & kKeyUp) == 0;
    const std::shared_ptr<const KeyTable> table = Table();
    const KeyTable& keys = *table;
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
    // A Ctrl held back belongs to the lookup's table; the key asked about is
    // found in the table in use now.
    altGr_.Settle(*Table(), emit_);
    if (virtualKey < 0 || virtualKey > 0xFF) {
        return 0;
    }
    const std::shared_ptr<const KeyTable> table = layout_.Keys(true);
    const KeyTable& keys = *table;
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
    // Every event has been taken in before the pause begins; the character
    // is done, and the next lookup takes the table in use then.
    altGr_.Settle(*Table(), emit_);
    table_.reset();
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
