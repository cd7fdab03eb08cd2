#pragma once

#include "keyboard/key_table.h"

#include <xkbcommon/xkbcommon.h>

namespace qz {

// The key table of an XKB keymap with `group` as the keyboard's group (the
// active layout): the fixed virtual-key numbering on it, and for every
// Latin-1 character the key and modifiers that type it.
//
// Virtual keys: named keys by what their first level types, letters and
// digits by the key that types them, other character keys by their place on
// a 105-key board, the rest from the spare range. A character is typed with
// the fewest modifiers that reach it (none, Shift, AltGr, Shift+AltGr), on
// the lowest key code among equals (the main block before the keypad). A
// level that needs anything else (Num Lock, Caps Lock alone, a level-5
// shift) is never used, so that no other character is typed instead.
KeyTable BuildKeyTable(xkb_keymap* keymap, xkb_layout_index_t group);

} // namespace qz
