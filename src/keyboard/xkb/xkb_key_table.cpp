#include "keyboard/xkb/xkb_key_table.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <memory>
#include <optional>

namespace qz {

namespace {

// XKB key codes of the evdev key names are Linux input codes plus 8. An X
// server's key codes end at 255, and so do the keys we type.
constexpr xkb_keycode_t kEvdevOffset = 8;
constexpr xkb_keycode_t kMaxKeycode = 255;

// Keys that are found by what their first level types, and their virtual key.
struct NamedKey {
    xkb_keysym_t keysym;
    std::uint8_t vk;
};
constexpr NamedKey kNamedKeys[] = {
    {XKB_KEY_BackSpace, VirtualKey::kBackspace},
    {XKB_KEY_Tab, VirtualKey::kTab},
    {XKB_KEY_Return, VirtualKey::kReturn},
    {XKB_KEY_Shift_L, VirtualKey::kShift},
    {XKB_KEY_Shift_R, VirtualKey::kShift},
    {XKB_KEY_Control_L, VirtualKey::kCtrl},
    {XKB_KEY_Control_R, VirtualKey::kCtrl},
    {XKB_KEY_Alt_L, VirtualKey::kAlt},
    {XKB_KEY_Pause, VirtualKey::kPause},
    {XKB_KEY_Caps_Lock, VirtualKey::kCapsLock},
    {XKB_KEY_Escape, VirtualKey::kEscape},
    {XKB_KEY_space, VirtualKey::kSpace},
    {XKB_KEY_Prior, VirtualKey::kPageUp},
    {XKB_KEY_Next, VirtualKey::kPageDown},
    {XKB_KEY_End, VirtualKey::kEnd},
    {XKB_KEY_Home, VirtualKey::kHome},
    {XKB_KEY_Left, VirtualKey::kLeft},
    {XKB_KEY_Up, VirtualKey::kUp},
    {XKB_KEY_Right, VirtualKey::kRight},
    {XKB_KEY_Down, VirtualKey::kDown},
    {XKB_KEY_Print, VirtualKey::kPrint},
    {XKB_KEY_Insert, VirtualKey::kInsert},
    {XKB_KEY_Delete, VirtualKey::kDelete},
    {XKB_KEY_Super_L, VirtualKey::kSuperLeft},
    {XKB_KEY_Super_R, VirtualKey::kSuperRight},
    {XKB_KEY_Menu, VirtualKey::kMenu},
    {XKB_KEY_KP_Multiply, VirtualKey::kMultiply},
    {XKB_KEY_KP_Add, VirtualKey::kAdd},
    {XKB_KEY_KP_Separator, VirtualKey::kSeparator},
    {XKB_KEY_KP_Subtract, VirtualKey::kSubtract},
    {XKB_KEY_KP_Decimal, VirtualKey::kDecimal},
    {XKB_KEY_KP_Divide, VirtualKey::kDivide},
    {XKB_KEY_Num_Lock, VirtualKey::kNumLock},
    {XKB_KEY_Scroll_Lock, VirtualKey::kScrollLock},
};

// Character keys outside letters and digits get their virtual key from their
// place on the board.
struct PlacedKey {
    std::uint16_t code;
    std::uint8_t vk;
};
constexpr PlacedKey kPlacedKeys[] = {
    {KEY_GRAVE, VirtualKey::kOemGrave}, // TLDE
    {KEY_MINUS, VirtualKey::kOemMinus}, // AE11
    {KEY_EQUAL, VirtualKey::kOemEquals}, // AE12
    {KEY_LEFTBRACE, VirtualKey::kOemLeftBracket}, // AD11
    {KEY_RIGHTBRACE, VirtualKey::kOemRightBracket}, // AD12
    {KEY_BACKSLASH, VirtualKey::kOemBackslash}, // BKSL
    {KEY_SEMICOLON, VirtualKey::kOemSemicolon}, // AC10
    {KEY_APOSTROPHE, VirtualKey::kOemQuote}, // AC11
    {KEY_COMMA, VirtualKey::kOemComma}, // AB08
    {KEY_DOT, VirtualKey::kOemPeriod}, // AB09
    {KEY_SLASH, VirtualKey::kOemSlash}, // AB10
    {KEY_102ND, VirtualKey::kOem102}, // LSGT
};

// The keysym that a Latin-1 character is typed as; XKB_KEY_NoSymbol for
// control characters without a key of their own.
xkb_keysym_t KeysymForCharacter(std::uint8_t c)
{
    if ((c >= 0x20 && c <= 0x7E) || c >= 0xA0) {
        return c; // Latin-1 keysyms equal their character codes
    }
    switch (c) {
    case 0x08:
        return XKB_KEY_BackSpace;
    case 0x09:
        return XKB_KEY_Tab;
    case 0x0A: // a line feed is typed as Enter, as in every Linux text field
    case 0x0D:
        return XKB_KEY_Return;
    case 0x1B:
        return XKB_KEY_Escape;
    default:
        return XKB_KEY_NoSymbol;
    }
}

// The character a keysym types without modifiers, as MapVirtualKey-style
// callers expect: letters upper-case; 0 for keys that type none.
std::uint32_t CharacterOfKeysym(xkb_keysym_t sym)
{
    if (sym >= XKB_KEY_a && sym <= XKB_KEY_z) {
        return sym - XKB_KEY_a + 'A';
    }
    if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF)) {
        return sym;
    }
    switch (sym) {
    case XKB_KEY_BackSpace:
        return 0x08;
    case XKB_KEY_Tab:
        return 0x09;
    case XKB_KEY_Return:
        return 0x0D;
    case XKB_KEY_Escape:
        return 0x1B;
    case XKB_KEY_KP_Multiply:
        return '*';
    case XKB_KEY_KP_Add:
        return '+';
    case XKB_KEY_KP_Subtract:
        return '-';
    case XKB_KEY_KP_Decimal:
        return '.';
    case XKB_KEY_KP_Divide:
        return '/';
    default:
        return (sym >= XKB_KEY_KP_0 && sym <= XKB_KEY_KP_9) ? sym - XKB_KEY_KP_0 + '0' : 0;
    }
}

bool TypesCharacter(xkb_keysym_t sym)
{
    return CharacterOfKeysym(sym) != 0 || (sym >= 0x100 && sym < 0xFE00) || (sym & 0xFF000000) == 0x01000000;
}

struct StateDeleter {
    void operator()(xkb_state* state) const { xkb_state_unref(state); }
};

class Builder {
public:
    Builder(xkb_keymap* keymap, xkb_layout_index_t group)
        : keymap_(keymap)
        , state_(xkb_state_new(keymap))
        , group_(group)
    {
        xkb_state_update_mask(state_.get(), 0, 0, 0, 0, 0, group);
        shiftMask_ = MaskOf(XKB_MOD_NAME_SHIFT);
        ctrlMask_ = MaskOf(XKB_MOD_NAME_CTRL);
        altMask_ = MaskOf(XKB_MOD_NAME_ALT);
        minKc_ = std::max(xkb_keymap_min_keycode(keymap), kEvdevOffset + 1);
        maxKc_ = std::min(xkb_keymap_max_keycode(keymap), kMaxKeycode);
    }

    KeyTable Build()
    {
        AssignNamedKeys();
        AssignLettersAndDigits();
        for (const PlacedKey& placed : kPlacedKeys) {
            const xkb_keycode_t kc = placed.code + kEvdevOffset;
            if (kc >= minKc_ && kc <= maxKc_ && TypesCharacter(SymAt(kc, 0))) {
                Assign(kc, placed.vk);
            }
        }
        FindLevel3Key();
        std::uint8_t spare = VirtualKey::kFirstExtraKey;
        for (xkb_keycode_t kc = minKc_; kc <= maxKc_ && spare <= VirtualKey::kLastExtraKey; ++kc) {
            if (vkOfKeycode_[kc] == 0 && (TypesCharacter(SymAt(kc, 0)) || TypesCharacter(SymAt(kc, 1)))) {
                Assign(kc, spare++);
            }
        }
        for (std::size_t vk = 0; vk < table_.codeOfVk.size(); ++vk) {
            const std::uint16_t code = table_.codeOfVk[vk];
            table_.characterOfVk[vk] = code == 0 ? 0 : CharacterOfKeysym(SymAt(code + kEvdevOffset, 0));
        }
        for (int c = 0; c < 256; ++c) {
            table_.keyOfCharacter[static_cast<std::size_t>(c)]
                = FindKeyFor(KeysymForCharacter(static_cast<std::uint8_t>(c)));
        }
        return table_;
    }

private:
    xkb_mod_mask_t MaskOf(const char* name) const
    {
        const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap_, name);
        return index == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t {1} << index;
    }

    // The group a key uses when the keyboard is in the table's group, as the
    // key's own rule for groups it lacks says; XKB_LAYOUT_INVALID when the
    // key has no symbols.
    xkb_layout_index_t LayoutOf(xkb_keycode_t kc) const { return xkb_state_key_get_layout(state_.get(), kc); }

    // The one keysym at a level; NoSymbol for none or several.
    xkb_keysym_t SymAt(xkb_keycode_t kc, xkb_level_index_t level) const
    {
        const xkb_layout_index_t layout = LayoutOf(kc);
        if (layout == XKB_LAYOUT_INVALID) {
            return XKB_KEY_NoSymbol;
        }
        const xkb_keysym_t* syms = nullptr;
        return xkb_keymap_key_get_syms_by_level(keymap_, kc, layout, level, &syms) == 1 ? syms[0] : XKB_KEY_NoSymbol;
    }

    void Assign(xkb_keycode_t kc, std::uint8_t vk)
    {
        if (table_.codeOfVk[vk] == 0 && vkOfKeycode_[kc] == 0) {
            table_.codeOfVk[vk] = static_cast<std::uint16_t>(kc - kEvdevOffset);
            vkOfKeycode_[kc] = vk;
        }
    }

    void AssignNamedKeys()
    {
        for (xkb_keycode_t kc = minKc_; kc <= maxKc_; ++kc) {
            const xkb_keysym_t first = SymAt(kc, 0);
            for (const NamedKey& named : kNamedKeys) {
                if (first == named.keysym) {
                    Assign(kc, named.vk);
                }
            }
            for (xkb_level_index_t level = 0; level < 2; ++level) {
                const xkb_keysym_t sym = SymAt(kc, level);
                if (sym >= XKB_KEY_KP_0 && sym <= XKB_KEY_KP_9) {
                    Assign(kc, static_cast<std::uint8_t>(VirtualKey::kNumpad0 + sym - XKB_KEY_KP_0));
                }
            }
            if (first >= XKB_KEY_F1 && first <= XKB_KEY_F24) {
                Assign(kc, static_cast<std::uint8_t>(VirtualKey::kF1 + first - XKB_KEY_F1));
            }
        }
    }

    void AssignLettersAndDigits()
    {
        for (xkb_keycode_t kc = minKc_; kc <= maxKc_; ++kc) {
            for (xkb_level_index_t level = 0; level < 2; ++level) {
                const xkb_keysym_t sym = SymAt(kc, level);
                if (sym >= XKB_KEY_a && sym <= XKB_KEY_z) {
                    Assign(kc, static_cast<std::uint8_t>(sym - XKB_KEY_a + 'A'));
                } else if ((sym >= XKB_KEY_A && sym <= XKB_KEY_Z) || (sym >= XKB_KEY_0 && sym <= XKB_KEY_9)) {
                    Assign(kc, static_cast<std::uint8_t>(sym));
                }
            }
        }
    }

    // The modifiers a key sets while held down.
    xkb_mod_mask_t ModsSetBy(xkb_keycode_t kc) const
    {
        const std::unique_ptr<xkb_state, StateDeleter> scratch(xkb_state_new(keymap_));
        xkb_state_update_mask(scratch.get(), 0, 0, 0, 0, 0, group_);
        xkb_state_update_key(scratch.get(), kc, XKB_KEY_DOWN);
        return xkb_state_serialize_mods(scratch.get(), XKB_STATE_MODS_DEPRESSED);
    }

    // The key that selects level 3: its first level is ISO_Level3_Shift and
    // it sets a modifier other than Shift, Ctrl and Alt. The right Alt key
    // where it is one, as on a real keyboard; else the lowest key code.
    void FindLevel3Key()
    {
        const auto candidate = [this](xkb_keycode_t kc) {
            if (kc < minKc_ || kc > maxKc_ || SymAt(kc, 0) != XKB_KEY_ISO_Level3_Shift) {
                return false;
            }
            const xkb_mod_mask_t mods = ModsSetBy(kc);
            if (mods == 0 || (mods & (shiftMask_ | ctrlMask_ | altMask_)) != 0) {
                return false;
            }
            table_.level3Code = static_cast<std::uint16_t>(kc - kEvdevOffset);
            level3Mask_ = mods;
            return true;
        };
        if (candidate(KEY_RIGHTALT + kEvdevOffset)) {
            return;
        }
        for (xkb_keycode_t kc = minKc_; kc <= maxKc_; ++kc) {
            if (candidate(kc)) {
                return;
            }
        }
    }

    // The modifier bits (kShiftBit, kCtrlBit | kAltBit for AltGr) that select
    // `level` of the key; nullopt when the level needs a modifier we cannot
    // press for a character.
    std::optional<std::int16_t> ModifiersForLevel(
        xkb_keycode_t kc, xkb_layout_index_t layout, xkb_level_index_t level) const
    {
        if (level == 0) {
            return 0;
        }
        xkb_mod_mask_t masks[16];
        const std::size_t count
            = xkb_keymap_key_get_mods_for_level(keymap_, kc, layout, level, masks, std::size(masks));
        const bool haveShiftKey = table_.codeOfVk[VirtualKey::kShift] != 0;
        std::optional<std::int16_t> best;
        for (std::size_t i = 0; i < count; ++i) {
            const xkb_mod_mask_t mask = masks[i];
            if ((mask & shiftMask_) != 0 && !haveShiftKey) {
                continue; // no Shift key to press: the level would come out as another
            }
            std::optional<std::int16_t> bits;
            if (mask == shiftMask_) {
                bits = KeyInjector::kShiftBit;
            } else if (level3Mask_ != 0 && mask == level3Mask_) {
                bits = static_cast<std::int16_t>(KeyInjector::kCtrlBit | KeyInjector::kAltBit);
            } else if (level3Mask_ != 0 && mask == (level3Mask_ | shiftMask_)) {
                bits = static_cast<std::int16_t>(KeyInjector::kShiftBit | KeyInjector::kCtrlBit | KeyInjector::kAltBit);
            }
            if (bits && (!best || *bits < *best)) {
                best = bits;
            }
        }
        return best;
    }

    std::int16_t FindKeyFor(xkb_keysym_t wanted) const
    {
        std::int16_t best = KeyInjector::kNoKey;
        if (wanted == XKB_KEY_NoSymbol) {
            return best;
        }
        for (xkb_keycode_t kc = minKc_; kc <= maxKc_; ++kc) {
            const std::uint8_t vk = vkOfKeycode_[kc];
            const xkb_layout_index_t layout = LayoutOf(kc);
            if (vk == 0 || layout == XKB_LAYOUT_INVALID) {
                continue;
            }
            const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap_, kc, layout);
            for (xkb_level_index_t level = 0; level < levels; ++level) {
                const xkb_keysym_t* syms = nullptr;
                if (xkb_keymap_key_get_syms_by_level(keymap_, kc, layout, level, &syms) != 1 || syms[0] != wanted) {
                    continue;
                }
                const std::optional<std::int16_t> modifiers = ModifiersForLevel(kc, layout, level);
                if (modifiers && (best == KeyInjector::kNoKey || *modifiers < (best & 0xFF00))) {
                    best = static_cast<std::int16_t>(*modifiers | vk);
                }
            }
        }
        return best;
    }

    xkb_keymap* keymap_;
    std::unique_ptr<xkb_state, StateDeleter> state_;
    xkb_layout_index_t group_;
    xkb_mod_mask_t shiftMask_ = 0;
    xkb_mod_mask_t ctrlMask_ = 0;
    xkb_mod_mask_t altMask_ = 0;
    xkb_mod_mask_t level3Mask_ = 0;
    xkb_keycode_t minKc_ = 0;
    xkb_keycode_t maxKc_ = 0;
    std::array<std::uint8_t, kMaxKeycode + 1> vkOfKeycode_ {};
    KeyTable table_;
};

} // namespace

KeyTable BuildKeyTable(xkb_keymap* keymap, xkb_layout_index_t group)
{
    if (keymap == nullptr) {
        return {};
    }
    return Builder(keymap, group).Build();
}

} // namespace qz
