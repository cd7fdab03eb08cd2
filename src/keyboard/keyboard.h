#pragma once

#include "keyboard/key_injector.h"

#include <cstdint>
#include <string>

namespace qz {

// Types text and single keys into whatever window has the keyboard focus, as
// key-down and key-up events of the keys that produce each character on the
// current layout. What arrives therefore follows the layout and the lock keys
// (with Caps Lock on, letters arrive in the other case).
//
// Texts are UTF-8; a character is one code point and must be Latin-1
// (U+0000..U+00FF). Errors are thrown as qz::Error:
//  - InvalidArgument: an empty sKey, or a text that is not valid UTF-8;
//  - Overflow: a character above U+00FF, or a keyPress outside 0..255.
// Keys already sent before an error stay sent.
//
// Keeps no state: the object may be destroyed while PressString lets pending
// events run; the injector must outlive the call.
class clsKeyboard {
public:
    explicit clsKeyboard(KeyInjector& injector)
        : injector_(injector)
    {
    }

    // Types the first character of sKey. bHold: press and leave the keys down;
    // bRelease: only release them; both: send nothing. A character the layout
    // has no key for sends nothing and is not an error.
    void PressKey(const std::string& sKey, bool bHold = false, bool bRelease = false);

    // Types sString character by character, pausing 20 ms after each (the last
    // included) and, when bDoEvents is true, letting pending UI events run.
    // bDoEvents is read again after pending events have run, and those events
    // may destroy whoever called: like bHold and bRelease, it is taken by
    // value, never by reference.
    void PressString(std::string sString, bool bDoEvents = true);

    // Presses and releases one key by virtual-key code, without modifiers.
    // bCompatible: never set the extended-key flag.
    void PressKeyVK(std::int32_t keyPress, bool bHold = false, bool bRelease = false, bool bCompatible = false);

    // Caps Lock, Num Lock, Scroll Lock: true when toggled on or held down.
    void GetLockStatus(bool& bCapsLock, bool& bNumLock, bool& bScrollLock);

private:
    KeyInjector& injector_;
};

} // namespace qz
