#include "fakes/fake_key_injector.h"

#include <utility>

namespace qz {

FakeKeyInjector::FakeKeyInjector()
{
    // A US-like layout: lower-case letters on their key, upper-case with
    // Shift, digits on the number row, and a few common signs.
    for (char c = 'a'; c <= 'z'; ++c) {
        const auto vk = static_cast<std::int16_t>(c - 'a' + 'A');
        layout_[static_cast<std::uint8_t>(c)] = vk;
        layout_[static_cast<std::uint8_t>(vk)] = static_cast<std::int16_t>(kShiftBit | vk);
    }
    for (char c = '0'; c <= '9'; ++c) {
        layout_[static_cast<std::uint8_t>(c)] = c;
    }
    layout_[' '] = VirtualKey::kSpace;
    layout_['!'] = kShiftBit | '1';
    layout_['@'] = kShiftBit | '2';
    layout_['-'] = VirtualKey::kOemMinus;
    layout_['_'] = kShiftBit | VirtualKey::kOemMinus;
    layout_['\t'] = VirtualKey::kTab;
    layout_['\r'] = VirtualKey::kReturn;
}

std::vector<FakeKeyInjector::Event> FakeKeyInjector::TakeEvents()
{
    return std::exchange(events_, {});
}

std::string FakeKeyInjector::Describe(const std::vector<Event>& events)
{
    std::string text;
    for (const Event& e : events) {
        if (!text.empty()) {
            text += ' ';
        }
        switch (e.kind) {
        case Event::Kind::KeyDown:
        case Event::Kind::KeyUp:
            text += e.kind == Event::Kind::KeyDown ? 'v' : '^';
            text += std::to_string(e.virtualKey);
            if (e.scanCode != 0) {
                text += "s" + std::to_string(e.scanCode);
            }
            text += "f" + std::to_string(e.flags);
            break;
        case Event::Kind::Pause:
            text += "p" + std::to_string(e.duration.count());
            break;
        case Event::Kind::ProcessEvents:
            text += 'e';
            break;
        }
    }
    return text;
}

std::int16_t FakeKeyInjector::KeyForCharacter(std::uint8_t character)
{
    const auto it = layout_.find(character);
    return it == layout_.end() ? kNoKey : it->second;
}

std::uint32_t FakeKeyInjector::ScanCode(std::int32_t virtualKey)
{
    const auto it = scanCodes_.find(virtualKey);
    return it == scanCodes_.end() ? 0 : it->second;
}

std::uint32_t FakeKeyInjector::KeyCharacter(std::int32_t virtualKey)
{
    const auto it = keyCharacters_.find(virtualKey);
    if (it != keyCharacters_.end()) {
        return it->second;
    }
    // Letter and digit keys and the space bar type their own code by default.
    const bool typesItself = (virtualKey >= '0' && virtualKey <= '9') || (virtualKey >= 'A' && virtualKey <= 'Z')
        || virtualKey == VirtualKey::kSpace;
    return typesItself ? static_cast<std::uint32_t>(virtualKey) : 0;
}

void FakeKeyInjector::SendKeyEvent(std::uint8_t virtualKey, std::uint8_t scanCode, std::uint32_t flags)
{
    const auto kind = (flags & kKeyUp) != 0 ? Event::Kind::KeyUp : Event::Kind::KeyDown;
    events_.push_back({kind, virtualKey, scanCode, flags, {}});
}

std::int16_t FakeKeyInjector::KeyState(std::int32_t virtualKey)
{
    stateQueries_.push_back(virtualKey);
    const auto it = keyStates_.find(virtualKey);
    return it == keyStates_.end() ? 0 : it->second;
}

void FakeKeyInjector::Pause(std::chrono::milliseconds duration)
{
    events_.push_back(PauseOf(duration));
}

void FakeKeyInjector::ProcessPendingEvents()
{
    events_.push_back(ProcessEvents());
    if (onProcessEvents) {
        onProcessEvents();
    }
}

} // namespace qz
