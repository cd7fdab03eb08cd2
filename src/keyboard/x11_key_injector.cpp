#include "keyboard/x11_key_injector.h"

#include <QCoreApplication>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <array>
#include <bitset>
#include <optional>
#include <thread>

namespace qz {

namespace {

// Keys that are found by what their first level types, and their virtual key.
struct NamedKey {
    KeySym keysym;
    std::uint8_t vk;
};
constexpr NamedKey kNamedKeys[] = {
    {XK_BackSpace, VirtualKey::kBackspace},
    {XK_Tab, VirtualKey::kTab},
    {XK_Return, VirtualKey::kReturn},
    {XK_Shift_L, VirtualKey::kShift},
    {XK_Shift_R, VirtualKey::kShift},
    {XK_Control_L, VirtualKey::kCtrl},
    {XK_Control_R, VirtualKey::kCtrl},
    {XK_Alt_L, VirtualKey::kAlt},
    {XK_Pause, VirtualKey::kPause},
    {XK_Caps_Lock, VirtualKey::kCapsLock},
    {XK_Escape, VirtualKey::kEscape},
    {XK_space, VirtualKey::kSpace},
    {XK_Prior, VirtualKey::kPageUp},
    {XK_Next, VirtualKey::kPageDown},
    {XK_End, VirtualKey::kEnd},
    {XK_Home, VirtualKey::kHome},
    {XK_Left, VirtualKey::kLeft},
    {XK_Up, VirtualKey::kUp},
    {XK_Right, VirtualKey::kRight},
    {XK_Down, VirtualKey::kDown},
    {XK_Print, VirtualKey::kPrint},
    {XK_Insert, VirtualKey::kInsert},
    {XK_Delete, VirtualKey::kDelete},
    {XK_Super_L, VirtualKey::kSuperLeft},
    {XK_Super_R, VirtualKey::kSuperRight},
    {XK_Menu, VirtualKey::kMenu},
    {XK_KP_Multiply, VirtualKey::kMultiply},
    {XK_KP_Add, VirtualKey::kAdd},
    {XK_KP_Separator, VirtualKey::kSeparator},
    {XK_KP_Subtract, VirtualKey::kSubtract},
    {XK_KP_Decimal, VirtualKey::kDecimal},
    {XK_KP_Divide, VirtualKey::kDivide},
    {XK_Num_Lock, VirtualKey::kNumLock},
    {XK_Scroll_Lock, VirtualKey::kScrollLock},
};

// Character keys outside letters and digits get their virtual key from their
// place on the board (X keycodes of the evdev keycode set: Linux input code + 8).
struct PlacedKey {
    KeyCode keycode;
    std::uint8_t vk;
};
constexpr PlacedKey kPlacedKeys[] = {
    {49, VirtualKey::kOemGrave}, // TLDE
    {20, VirtualKey::kOemMinus}, // AE11
    {21, VirtualKey::kOemEquals}, // AE12
    {34, VirtualKey::kOemLeftBracket}, // AD11
    {35, VirtualKey::kOemRightBracket}, // AD12
    {51, VirtualKey::kOemBackslash}, // BKSL
    {47, VirtualKey::kOemSemicolon}, // AC10
    {48, VirtualKey::kOemQuote}, // AC11
    {59, VirtualKey::kOemComma}, // AB08
    {60, VirtualKey::kOemPeriod}, // AB09
    {61, VirtualKey::kOemSlash}, // AB10
    {94, VirtualKey::kOem102}, // LSGT
};

// The keysym that a Latin-1 character is typed as; NoSymbol for control
// characters without a key of their own.
KeySym KeysymForCharacter(std::uint8_t c)
{
    if ((c >= 0x20 && c <= 0x7E) || c >= 0xA0) {
        return c; // Latin-1 keysyms equal their character codes
    }
    switch (c) {
    case 0x08:
        return XK_BackSpace;
    case 0x09:
        return XK_Tab;
    case 0x0A: // a line feed is typed as Enter, as in every Linux text field
    case 0x0D:
        return XK_Return;
    case 0x1B:
        return XK_Escape;
    default:
        return NoSymbol;
    }
}

// The character a keysym types without modifiers, as MapVirtualKey-style
// callers expect: letters upper-case; 0 for keys that type none.
std::uint32_t CharacterOfKeysym(KeySym sym)
{
    if (sym >= 'a' && sym <= 'z') {
        return static_cast<std::uint32_t>(sym - 'a' + 'A');
    }
    if ((sym >= 0x20 && sym <= 0x7E) || (sym >= 0xA0 && sym <= 0xFF)) {
        return static_cast<std::uint32_t>(sym);
    }
    switch (sym) {
    case XK_BackSpace:
        return 0x08;
    case XK_Tab:
        return 0x09;
    case XK_Return:
        return 0x0D;
    case XK_Escape:
        return 0x1B;
    case XK_KP_Multiply:
        return '*';
    case XK_KP_Add:
        return '+';
    case XK_KP_Subtract:
        return '-';
    case XK_KP_Decimal:
        return '.';
    case XK_KP_Divide:
        return '/';
    default:
        return (sym >= XK_KP_0 && sym <= XK_KP_9) ? static_cast<std::uint32_t>(sym - XK_KP_0 + '0') : 0;
    }
}

bool TypesCharacter(KeySym sym)
{
    return CharacterOfKeysym(sym) != 0 || (sym >= 0x100 && sym < 0xFE00) || (sym & 0xFF000000) == 0x01000000;
}

} // namespace

struct X11KeyInjector::State {
    Display* display = nullptr;
    int xkbEventBase = 0;
    XkbDescPtr xkb = nullptr;
    bool mapStale = true;
    int group = -1; // the group the key table was built for
    std::array<KeyCode, 256> keycodeOfVk {};
    std::array<std::uint8_t, 256> vkOfKeycode {};
    std::array<std::int16_t, 256> keyOfCharacter {}; // by Latin-1 code: what KeyForCharacter answers
    std::bitset<256> heldByUs; // keys we pressed and have not released
    Atom capsIndicator = None;
    Atom numIndicator = None;
    Atom scrollIndicator = None;

    // Level 3 (AltGr). The lookup reports a level-3 character as needing Ctrl
    // and Alt together, the usual meaning of that pair on layouts with AltGr;
    // the key events that follow then press the key that selects level 3
    // instead of Ctrl and Alt. Only a pair announced by the lookup is turned
    // into AltGr: Ctrl and Alt sent as keys of their own stay Ctrl and Alt.
    KeyCode level3Key = 0; // the key that selects level 3 on this keymap, 0: none
    unsigned level3Mask = 0; // the modifiers that key sets
    int altGrFor = -1; // the key a lookup announced AltGr for, until its events are sent
    bool ctrlDeferred = false; // a Ctrl down held back until we know whether Alt follows
    KeyCode altGrKeyDown = 0; // the level-3 key we hold on behalf of Ctrl+Alt
    bool ctrlInAltGr = false; // ... and which of the two are still logically down
    bool altInAltGr = false;

    ~State()
    {
        if (display == nullptr) {
            return;
        }
        // Keys left down (a press with bHold and no release) would stay down
        // in the server after we are gone; let them go.
        for (std::size_t kc = 0; kc < heldByUs.size(); ++kc) {
            if (heldByUs[kc]) {
                XTestFakeKeyEvent(display, static_cast<unsigned>(kc), False, CurrentTime);
            }
        }
        XSync(display, False);
        if (xkb != nullptr) {
            XkbFreeKeyboard(xkb, 0, True);
        }
        XCloseDisplay(display);
    }

    // Reads XKB notifications already received; a changed keymap is re-read
    // at the next lookup.
    void DrainEvents()
    {
        while (XEventsQueued(display, QueuedAfterReading) > 0) {
            XEvent event;
            XNextEvent(display, &event);
            if (event.type == xkbEventBase + XkbEventCode) {
                const auto& any = reinterpret_cast<const XkbAnyEvent&>(event);
                if (any.xkb_type == XkbMapNotify || any.xkb_type == XkbNewKeyboardNotify) {
                    mapStale = true;
                }
            } else if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
                mapStale = true;
            }
        }
    }

    // Brings the keymap and key table up to date with the server. With
    // `roundTrip`, also asks the server for its current group: the reply comes
    // after every notification sent before it, so a layout switch that
    // finished before this call is always seen.
    void Refresh(bool roundTrip)
    {
        int currentGroup = group < 0 ? 0 : group;
        if (roundTrip) {
            XkbStateRec state {};
            if (XkbGetState(display, XkbUseCoreKbd, &state) == Success) {
                currentGroup = state.group;
            }
        }
        DrainEvents();
        if (mapStale) {
            if (xkb != nullptr) {
                XkbFreeKeyboard(xkb, 0, True);
            }
            xkb = XkbGetMap(display, XkbAllMapComponentsMask, XkbUseCoreKbd);
            mapStale = false;
            group = -1;
        }
        if (currentGroup != group) {
            group = currentGroup;
            BuildKeyTable();
        }
    }

    // The group a key uses when the keyboard is in `group`; -1 when the key
    // has no symbols.
    int EffectiveGroup(KeyCode kc) const
    {
        const int count = XkbKeyNumGroups(xkb, kc);
        if (count <= 0) {
            return -1;
        }
        if (group < count) {
            return group;
        }
        const unsigned char info = XkbKeyGroupInfo(xkb, kc);
        switch (XkbOutOfRangeGroupAction(info)) {
        case XkbRedirectIntoRange: {
            const int target = XkbOutOfRangeGroupNumber(info);
            return target < count ? target : 0;
        }
        case XkbClampIntoRange:
            return count - 1;
        default:
            return group % count;
        }
    }

    KeySym SymAt(KeyCode kc, int level) const
    {
        const int g = EffectiveGroup(kc);
        if (g < 0 || level >= XkbKeyGroupWidth(xkb, kc, g)) {
            return NoSymbol;
        }
        return XkbKeySymEntry(xkb, kc, level, g);
    }

    void Assign(KeyCode kc, std::uint8_t vk)
    {
        if (keycodeOfVk[vk] == 0 && vkOfKeycode[kc] == 0) {
            keycodeOfVk[vk] = kc;
            vkOfKeycode[kc] = vk;
        }
    }

    // The fixed virtual-key numbering on this keymap and group: named keys by
    // their first level, letters and digits by the key that types them, other
    // character keys by their place, then from the spare range.
    void BuildKeyTable()
    {
        keycodeOfVk.fill(0);
        vkOfKeycode.fill(0);
        keyOfCharacter.fill(kNoKey);
        if (xkb == nullptr) {
            return;
        }
        const int minKc = xkb->min_key_code;
        const int maxKc = xkb->max_key_code;
        for (int kc = minKc; kc <= maxKc; ++kc) {
            const KeySym first = SymAt(static_cast<KeyCode>(kc), 0);
            for (const NamedKey& named : kNamedKeys) {
                if (first == named.keysym) {
                    Assign(static_cast<KeyCode>(kc), named.vk);
                }
            }
            for (int level = 0; level < 2; ++level) {
                const KeySym sym = SymAt(static_cast<KeyCode>(kc), level);
                if (sym >= XK_KP_0 && sym <= XK_KP_9) {
                    Assign(static_cast<KeyCode>(kc), static_cast<std::uint8_t>(VirtualKey::kNumpad0 + sym - XK_KP_0));
                }
            }
            if (first >= XK_F1 && first <= XK_F24) {
                Assign(static_cast<KeyCode>(kc), static_cast<std::uint8_t>(VirtualKey::kF1 + first - XK_F1));
            }
        }
        for (int kc = minKc; kc <= maxKc; ++kc) {
            for (int level = 0; level < 2; ++level) {
                const KeySym sym = SymAt(static_cast<KeyCode>(kc), level);
                if (sym >= 'a' && sym <= 'z') {
                    Assign(static_cast<KeyCode>(kc), static_cast<std::uint8_t>(sym - 'a' + 'A'));
                } else if ((sym >= 'A' && sym <= 'Z') || (sym >= '0' && sym <= '9')) {
                    Assign(static_cast<KeyCode>(kc), static_cast<std::uint8_t>(sym));
                }
            }
        }
        for (const PlacedKey& placed : kPlacedKeys) {
            if (placed.keycode >= minKc && placed.keycode <= maxKc && TypesCharacter(SymAt(placed.keycode, 0))) {
                Assign(placed.keycode, placed.vk);
            }
        }
        FindLevel3Key();
        std::uint8_t spare = VirtualKey::kFirstExtraKey;
        for (int kc = minKc; kc <= maxKc && spare <= VirtualKey::kLastExtraKey; ++kc) {
            const auto code = static_cast<KeyCode>(kc);
            if (vkOfKeycode[code] == 0 && (TypesCharacter(SymAt(code, 0)) || TypesCharacter(SymAt(code, 1)))) {
                Assign(code, spare++);
            }
        }
        for (int c = 0; c < 256; ++c) {
            keyOfCharacter[static_cast<std::size_t>(c)] = FindKeyFor(KeysymForCharacter(static_cast<std::uint8_t>(c)));
        }
    }

    // The key and modifiers that type `wanted` in the current group. Prefers
    // the fewest modifiers (none, Shift, AltGr, Shift+AltGr); among equals the
    // lowest keycode (the main block before the keypad).
    std::int16_t FindKeyFor(KeySym wanted) const
    {
        std::int16_t best = kNoKey;
        if (wanted == NoSymbol) {
            return best;
        }
        for (int kc = xkb->min_key_code; kc <= xkb->max_key_code; ++kc) {
            const auto code = static_cast<KeyCode>(kc);
            const std::uint8_t vk = vkOfKeycode[code];
            const int g = EffectiveGroup(code);
            if (vk == 0 || g < 0) {
                continue;
            }
            const int width = XkbKeyGroupWidth(xkb, code, g);
            for (int level = 0; level < width; ++level) {
                if (XkbKeySymEntry(xkb, code, level, g) != wanted) {
                    continue;
                }
                const std::optional<std::int16_t> modifiers = ModifiersForLevel(code, level);
                if (modifiers && (best == kNoKey || *modifiers < (best & 0xFF00))) {
                    best = static_cast<std::int16_t>(*modifiers | vk);
                }
            }
        }
        return best;
    }

    // The modifiers a key sets while held, when its action sets modifiers.
    unsigned ModsSetBy(KeyCode kc) const
    {
        const int g = EffectiveGroup(kc);
        if (g < 0 || !XkbKeyHasActions(xkb, kc)) {
            return 0;
        }
        const XkbAction* action = XkbKeyActionEntry(xkb, kc, 0, g);
        if (action == nullptr || action->type != XkbSA_SetMods) {
            return 0;
        }
        return (action->mods.flags & XkbSA_UseModMapMods) != 0 ? xkb->map->modmap[kc] : action->mods.mask;
    }

    // The key that selects level 3: one whose first level is
    // ISO_Level3_Shift and that sets a modifier other than Shift, Ctrl, Alt.
    void FindLevel3Key()
    {
        level3Key = 0;
        level3Mask = 0;
        for (int kc = xkb->min_key_code; kc <= xkb->max_key_code; ++kc) {
            const auto code = static_cast<KeyCode>(kc);
            const unsigned mods = ModsSetBy(code);
            if (SymAt(code, 0) == XK_ISO_Level3_Shift && mods != 0
                && (mods & (ShiftMask | ControlMask | Mod1Mask)) == 0) {
                level3Key = code;
                level3Mask = mods;
                return;
            }
        }
    }

    // The modifier bits (kShiftBit, kCtrlBit | kAltBit for AltGr) that select
    // `level` of the key's type; nullopt when the level needs a modifier we
    // cannot press for a character (Num Lock, Caps Lock alone, a level-5
    // shift...): such a level is never used, so no wrong character is typed.
    std::optional<std::int16_t> ModifiersForLevel(KeyCode kc, int level) const
    {
        if (level == 0) {
            return 0;
        }
        const XkbKeyTypePtr type = XkbKeyKeyType(xkb, kc, EffectiveGroup(kc));
        std::optional<std::int16_t> best;
        for (int i = 0; i < type->map_count; ++i) {
            const XkbKTMapEntryRec& entry = type->map[i];
            if (!entry.active || entry.level != level) {
                continue;
            }
            std::optional<std::int16_t> bits;
            if ((entry.mods.mask & ShiftMask) != 0 && keycodeOfVk[VirtualKey::kShift] == 0) {
                continue; // no Shift key to press: the level would come out as another
            }
            if (entry.mods.mask == ShiftMask) {
                bits = kShiftBit;
            } else if (level3Key != 0 && entry.mods.mask == level3Mask) {
                bits = static_cast<std::int16_t>(kCtrlBit | kAltBit);
            } else if (level3Key != 0 && entry.mods.mask == (level3Mask | ShiftMask)) {
                bits = static_cast<std::int16_t>(kShiftBit | kCtrlBit | kAltBit);
            }
            if (bits && (!best || *bits < *best)) {
                best = bits;
            }
        }
        return best;
    }

    void Send(KeyCode kc, bool down)
    {
        XTestFakeKeyEvent(display, kc, down ? True : False, CurrentTime);
        XFlush(display);
        heldByUs[kc] = down;
    }

    // A question about another key than the announced one: PressKeyVK, not
    // the character's events, comes next.
    void ForgetAltGrUnlessFor(std::int32_t vk)
    {
        if (vk != altGrFor) {
            altGrFor = -1;
        }
    }

    // A Ctrl down held back for an AltGr pair that did not come after all.
    void SendDeferredCtrl()
    {
        if (ctrlDeferred) {
            ctrlDeferred = false;
            if (keycodeOfVk[VirtualKey::kCtrl] != 0) {
                Send(keycodeOfVk[VirtualKey::kCtrl], true);
            }
        }
    }

    // Turns Ctrl and Alt announced as AltGr into the level-3 key; true when
    // the event was taken care of here.
    bool HandleAltGr(std::uint8_t vk, bool down)
    {
        if (vk == VirtualKey::kCtrl && down && altGrFor >= 0 && !ctrlDeferred && altGrKeyDown == 0) {
            ctrlDeferred = true;
            return true;
        }
        if (vk == VirtualKey::kAlt && down && ctrlDeferred) {
            ctrlDeferred = false;
            altGrKeyDown = level3Key;
            ctrlInAltGr = true;
            altInAltGr = true;
            Send(altGrKeyDown, true);
            return true;
        }
        if (vk == VirtualKey::kCtrl && !down && ctrlDeferred) {
            ctrlDeferred = false; // pressed and released without ever being sent
            return true;
        }
        const bool releasesPartOfPair = !down && altGrKeyDown != 0
            && ((vk == VirtualKey::kCtrl && ctrlInAltGr) || (vk == VirtualKey::kAlt && altInAltGr));
        if (releasesPartOfPair) {
            (vk == VirtualKey::kCtrl ? ctrlInAltGr : altInAltGr) = false;
            if (!ctrlInAltGr && !altInAltGr) {
                Send(altGrKeyDown, false);
                altGrKeyDown = 0;
            }
            return true;
        }
        return false;
    }
};

X11KeyInjector::X11KeyInjector()
    : X11KeyInjector(nullptr)
{
}

X11KeyInjector::X11KeyInjector(const char* displayName)
    : state_(std::make_unique<State>())
{
    Display* display = XOpenDisplay(displayName);
    if (display == nullptr) {
        return;
    }
    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    int opcode = 0;
    int xkbMajor = XkbMajorVersion;
    int xkbMinor = XkbMinorVersion;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor)
        || !XkbQueryExtension(display, &opcode, &state_->xkbEventBase, &errorBase, &xkbMajor, &xkbMinor)) {
        XCloseDisplay(display);
        return;
    }
    state_->display = display;
    constexpr unsigned long kMapEvents = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
    XkbSelectEvents(display, XkbUseCoreKbd, kMapEvents, kMapEvents);
    state_->capsIndicator = XInternAtom(display, "Caps Lock", False);
    state_->numIndicator = XInternAtom(display, "Num Lock", False);
    state_->scrollIndicator = XInternAtom(display, "Scroll Lock", False);
    state_->Refresh(true);
}

X11KeyInjector::~X11KeyInjector() = default;

bool X11KeyInjector::Connected() const
{
    return state_->display != nullptr;
}

std::int16_t X11KeyInjector::KeyForCharacter(std::uint8_t character)
{
    if (!Connected()) {
        return kNoKey;
    }
    State& s = *state_;
    s.Refresh(true);
    const std::int16_t best = s.keyOfCharacter[character];
    const bool altGr = best != kNoKey && (best & (kCtrlBit | kAltBit)) == (kCtrlBit | kAltBit);
    s.altGrFor = altGr ? (best & 0xFF) : -1;
    return best;
}

std::uint32_t X11KeyInjector::ScanCode(std::int32_t virtualKey)
{
    if (!Connected() || virtualKey < 0 || virtualKey > 0xFF) {
        return 0;
    }
    state_->Refresh(false);
    state_->ForgetAltGrUnlessFor(virtualKey);
    const KeyCode kc = state_->keycodeOfVk[static_cast<std::size_t>(virtualKey)];
    // The Linux input code, which for the main block is the PC set-1 scan code.
    return kc > 8 ? static_cast<std::uint32_t>(kc - 8) : 0;
}

std::uint32_t X11KeyInjector::KeyCharacter(std::int32_t virtualKey)
{
    if (!Connected() || virtualKey < 0 || virtualKey > 0xFF) {
        return 0;
    }
    state_->Refresh(false);
    state_->ForgetAltGrUnlessFor(virtualKey);
    const KeyCode kc = state_->keycodeOfVk[static_cast<std::size_t>(virtualKey)];
    return kc == 0 ? 0 : CharacterOfKeysym(state_->SymAt(kc, 0));
}

void X11KeyInjector::SendKeyEvent(std::uint8_t virtualKey, std::uint8_t /*scanCode*/, std::uint32_t flags)
{
    // Scan codes and the extended-key flag have no meaning to XTest: the key
    // code says everything. A key this layout lacks is not sent.
    if (!Connected()) {
        return;
    }
    State& s = *state_;
    const bool down = (flags & kKeyUp) == 0;
    if (s.HandleAltGr(virtualKey, down)) {
        return;
    }
    s.SendDeferredCtrl();
    if (virtualKey != VirtualKey::kShift && virtualKey != VirtualKey::kCtrl && virtualKey != VirtualKey::kAlt) {
        s.altGrFor = -1; // the character's own key: its AltGr pair, if any, is down or not wanted
    }
    const KeyCode kc = s.keycodeOfVk[virtualKey];
    if (kc != 0) {
        s.Send(kc, down);
    }
}

std::int16_t X11KeyInjector::KeyState(std::int32_t virtualKey)
{
    if (!Connected() || virtualKey < 0 || virtualKey > 0xFF) {
        return 0;
    }
    State& s = *state_;
    s.SendDeferredCtrl();
    s.Refresh(true);
    std::int16_t result = 0;
    Atom indicator = None;
    if (virtualKey == VirtualKey::kCapsLock) {
        indicator = s.capsIndicator;
    } else if (virtualKey == VirtualKey::kNumLock) {
        indicator = s.numIndicator;
    } else if (virtualKey == VirtualKey::kScrollLock) {
        indicator = s.scrollIndicator;
    }
    if (indicator != None) {
        Bool on = False;
        if (XkbGetNamedIndicator(s.display, indicator, nullptr, &on, nullptr, nullptr)) {
            result = on ? 1 : 0;
        } else if (virtualKey == VirtualKey::kCapsLock) {
            // A keymap without that indicator: the locked Lock modifier is Caps Lock.
            XkbStateRec state {};
            if (XkbGetState(s.display, XkbUseCoreKbd, &state) == Success && (state.locked_mods & LockMask) != 0) {
                result = 1;
            }
        }
    }
    const KeyCode kc = s.keycodeOfVk[static_cast<std::size_t>(virtualKey)];
    if (kc != 0) {
        char keys[32] = {};
        XQueryKeymap(s.display, keys);
        if ((keys[kc / 8] >> (kc % 8)) & 1) {
            result = static_cast<std::int16_t>(result | 0x8000);
        }
    }
    return result;
}

void X11KeyInjector::Pause(std::chrono::milliseconds duration)
{
    if (Connected()) {
        // Every event has reached the server before the pause begins.
        state_->SendDeferredCtrl();
        XSync(state_->display, False);
    }
    // Never shorter than asked, and not much longer: a plain sleep wakes up
    // 0.1 to 0.3 ms late here, which adds up over a string. Sleep to just
    // before the end, then yield until it has passed.
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

void X11KeyInjector::ProcessPendingEvents()
{
    if (QCoreApplication::instance() != nullptr) {
        QCoreApplication::processEvents();
    }
}

} // namespace qz
