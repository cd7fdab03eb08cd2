#include "keyboard/keyboard.h"

#include "common/error.h"
#include "keyboard/utf8.h"

#include <chrono>
#include <string>
#include <string_view>

namespace qz {

namespace {

constexpr std::chrono::milliseconds kPauseAfterCharacter {20};

// The first character of a text as its Latin-1 code, which is what the layout
// lookup takes. Throws InvalidArgument for an empty or malformed text and
// Overflow for a character outside Latin-1.
std::uint8_t FirstCharacter(std::string_view text, std::size_t* length = nullptr)
{
    if (text.empty()) {
        throw Error::InvalidArgument("no character to type");
    }
    const auto first = DecodeFirstCodePoint(text);
    if (!first) {
        throw Error::InvalidArgument("the text is not valid UTF-8");
    }
    if (first->value > 0xFF) {
        throw Error::Overflow("the character is not in Latin-1");
    }
    if (length != nullptr) {
        *length = first->length;
    }
    return static_cast<std::uint8_t>(first->value);
}

// The whole typing logic works on the injector alone, never on the
// clsKeyboard object, which may be gone once pending events have run.
void TypeCharacter(KeyInjector& keys, std::uint8_t character, bool bHold, bool bRelease)
{
    const std::int16_t mapped = keys.KeyForCharacter(character);
    if (mapped == KeyInjector::kNoKey) {
        return;
    }
    const auto vk = static_cast<std::uint8_t>(mapped & 0xFF);
    // Only these three bits of the high byte count; the others are ignored.
    const bool shift = (mapped & KeyInjector::kShiftBit) != 0;
    const bool ctrl = (mapped & KeyInjector::kCtrlBit) != 0;
    const bool alt = (mapped & KeyInjector::kAltBit) != 0;

    const auto scan = static_cast<std::uint8_t>(keys.ScanCode(vk));
    const std::uint32_t extended = keys.KeyCharacter(vk) == 0 ? KeyInjector::kExtendedKey : 0;

    if (!bRelease) {
        if (shift) {
            keys.SendKeyEvent(VirtualKey::kShift, 0, 0);
        }
        if (ctrl) {
            keys.SendKeyEvent(VirtualKey::kCtrl, 0, 0);
        }
        if (alt) {
            keys.SendKeyEvent(VirtualKey::kAlt, 0, 0);
        }
        keys.SendKeyEvent(vk, scan, extended);
    }
    if (!bHold) {
        keys.SendKeyEvent(vk, scan, extended | KeyInjector::kKeyUp);
        // Released in the order they were pressed, not in reverse.
        if (shift) {
            keys.SendKeyEvent(VirtualKey::kShift, 0, KeyInjector::kKeyUp);
        }
        if (ctrl) {
            keys.SendKeyEvent(VirtualKey::kCtrl, 0, KeyInjector::kKeyUp);
        }
        if (alt) {
            keys.SendKeyEvent(VirtualKey::kAlt, 0, KeyInjector::kKeyUp);
        }
    }
}

std::uint8_t KeyByte(std::int32_t keyPress)
{
    if (keyPress < 0 || keyPress > 0xFF) {
        throw Error::Overflow("virtual-key code " + std::to_string(keyPress) + " is outside 0..255");
    }
    return static_cast<std::uint8_t>(keyPress);
}

} // namespace

void clsKeyboard::PressKey(const std::string& sKey, bool bHold, bool bRelease)
{
    TypeCharacter(injector_, FirstCharacter(sKey), bHold, bRelease);
}

void clsKeyboard::PressString(std::string sString, bool bDoEvents)
{
    // Pending events may destroy this object: keep only what the loop needs.
    KeyInjector& keys = injector_;
    std::string_view rest = sString;
    while (!rest.empty()) {
        std::size_t length = 0;
        const std::uint8_t character = FirstCharacter(rest, &length);
        TypeCharacter(keys, character, false, false);
        keys.Pause(kPauseAfterCharacter);
        if (bDoEvents) {
            keys.ProcessPendingEvents();
        }
        rest.remove_prefix(length);
    }
}

void clsKeyboard::PressKeyVK(std::int32_t keyPress, bool bHold, bool bRelease, bool bCompatible)
{
    const bool producesCharacter = injector_.KeyCharacter(keyPress) != 0;
    const auto scan = static_cast<std::uint8_t>(injector_.ScanCode(keyPress));
    const std::uint32_t extended = (producesCharacter || bCompatible) ? 0 : KeyInjector::kExtendedKey;
    // An out-of-range code fails at the first event it would be sent with.
    if (!bRelease) {
        injector_.SendKeyEvent(KeyByte(keyPress), scan, extended);
    }
    if (!bHold) {
        injector_.SendKeyEvent(KeyByte(keyPress), scan, extended | KeyInjector::kKeyUp);
    }
}

void clsKeyboard::GetLockStatus(bool& bCapsLock, bool& bNumLock, bool& bScrollLock)
{
    bCapsLock = injector_.KeyState(VirtualKey::kCapsLock) != 0;
    bNumLock = injector_.KeyState(VirtualKey::kNumLock) != 0;
    bScrollLock = injector_.KeyState(VirtualKey::kScrollLock) != 0;
}

} // namespace qz
