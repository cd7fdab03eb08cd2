#pragma once

#include "keyboard/key_table.h"

#include <cstdint>
#include <functional>

namespace qz {

// Turns the Ctrl and Alt that the lookup reports for a level-3 character into
// the key that selects level 3 (AltGr).
//
// The typing logic knows only Shift, Ctrl and Alt; a character on level 3 of
// its key is reported as needing Ctrl and Alt together, the usual meaning of
// that pair on layouts with AltGr. Pressing Ctrl and Alt would not select
// level 3 on an XKB keymap, so the key events that follow such a lookup press
// the level-3 key instead. Only a pair announced by the lookup is turned into
// AltGr: Ctrl and Alt sent as keys of their own stay Ctrl and Alt.
//
// The Ctrl down that opens a pair is held back until the next event shows
// whether Alt follows; Settle() sends it when something else must see it
// first (a pause, a question about the keyboard's state).
class AltGrSequencer {
public:
    // Receives the events to send, as Linux input key codes.
    using Emit = std::function<void(std::uint16_t code, bool down)>;

    // A lookup found `vk`'s character on level 3: the Ctrl and Alt downs that
    // come next belong to it.
    void Announce(std::uint8_t vk) { announcedVk_ = vk; }
    // A lookup found a character that needs no AltGr.
    void Clear() { announcedVk_ = -1; }
    // A question about another key than the announced one: a lone key press
    // (PressKeyVK), not the character's events, comes next.
    void ForgetUnlessFor(std::int32_t vk)
    {
        if (vk != announcedVk_) {
            announcedVk_ = -1;
        }
    }

    // One key event of the typing logic, by virtual key. True when it was
    // taken care of here (held back, or sent as the level-3 key); false when
    // the caller sends it as it is, after what Settle() had to send.
    bool Key(const KeyTable& keys, std::uint8_t vk, bool down, const Emit& emit);

    // Sends a Ctrl down held back for a pair that has not come.
    void Settle(const KeyTable& keys, const Emit& emit);

private:
    std::int32_t announcedVk_ = -1;
    bool ctrlDeferred_ = false;
    std::uint16_t level3Down_ = 0; // the level-3 key held for Ctrl+Alt, 0 if none
    bool ctrlInPair_ = false; // which halves of that pair are still logically down
    bool altInPair_ = false;
};

} // namespace qz
