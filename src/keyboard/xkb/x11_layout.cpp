#include "keyboard/xkb/x11_layout.h"

#include "keyboard/xkb/xkb_key_table.h"

#include <xcb/xcb.h>
// The XKB protocol header names a member "explicit", a C++ keyword.
#define explicit explicit_
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <memory>

namespace qz {

namespace {

// xcb hands out replies and events in malloc'ed memory.
struct Free {
    void operator()(void* p) const { std::free(p); }
};
template <typename T> using XcbPtr = std::unique_ptr<T, Free>;

// The part every XKB event shares.
struct XkbEventHead {
    std::uint8_t responseType;
    std::uint8_t xkbType;
};

} // namespace

X11Layout::X11Layout(const char* displayName)
{
    connection_ = xcb_connect(displayName, nullptr);
    if (xcb_connection_has_error(connection_) != 0) {
        return;
    }
    if (xkb_x11_setup_xkb_extension(connection_, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
            XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &firstXkbEvent_, nullptr)
        == 0) {
        return;
    }
    deviceId_ = xkb_x11_get_core_keyboard_device_id(connection_);
    context_ = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    if (deviceId_ < 0 || context_ == nullptr) {
        return;
    }
    // A new keymap (setxkbmap) or a changed one: read it again at the next lookup.
    constexpr std::uint16_t kEvents = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY;
    constexpr std::uint16_t kMapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS
        | XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS | XCB_XKB_MAP_PART_KEY_ACTIONS
        | XCB_XKB_MAP_PART_VIRTUAL_MODS | XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
    xcb_xkb_select_events_details_t details {};
    details.affectNewKeyboard = XCB_XKB_NKN_DETAIL_KEYCODES;
    details.newKeyboardDetails = XCB_XKB_NKN_DETAIL_KEYCODES;
    xcb_xkb_select_events_aux(connection_, static_cast<xcb_xkb_device_spec_t>(deviceId_), kEvents, 0, kEvents,
        kMapParts, kMapParts, &details);
    connected_ = true;
    Keys(true);
}

X11Layout::~X11Layout()
{
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
    xcb_disconnect(connection_);
}

bool X11Layout::Connected() const
{
    return connected_;
}

xcb_connection_t* X11Layout::Connection() const
{
    return connected_ ? connection_ : nullptr;
}

// A server that went away knows no keys any more.
bool X11Layout::Broken()
{
    if (connected_ && xcb_connection_has_error(connection_) != 0) {
        connected_ = false;
        table_ = std::make_shared<const KeyTable>();
    }
    return !connected_;
}

void X11Layout::ReadEvents()
{
    while (XcbPtr<xcb_generic_event_t> event {xcb_poll_for_event(connection_)}) {
        const auto* head = reinterpret_cast<const XkbEventHead*>(event.get());
        if ((head->responseType & 0x7F) == firstXkbEvent_
            && (head->xkbType == XCB_XKB_NEW_KEYBOARD_NOTIFY || head->xkbType == XCB_XKB_MAP_NOTIFY)) {
            keymapStale_ = true;
        }
    }
}

void X11Layout::LoadKeymap()
{
    xkb_keymap* keymap = xkb_x11_keymap_new_from_device(context_, connection_, deviceId_, XKB_KEYMAP_COMPILE_NO_FLAGS);
    if (keymap != nullptr) {
        xkb_keymap_unref(keymap_);
        keymap_ = keymap;
    }
    keymapStale_ = false;
    tableGroup_ = -1;
}

std::shared_ptr<const KeyTable> X11Layout::Keys(bool sync)
{
    if (Broken()) {
        return table_;
    }
    if (sync) {
        // The reply comes after every notice the server sent before it, so a
        // layout switch that ended before this call is seen.
        const XcbPtr<xcb_xkb_get_state_reply_t> state {xcb_xkb_get_state_reply(
            connection_, xcb_xkb_get_state(connection_, static_cast<xcb_xkb_device_spec_t>(deviceId_)), nullptr)};
        if (state) {
            group_ = state->group;
            lockedMods_ = state->lockedMods;
        }
    }
    ReadEvents();
    if (Broken()) {
        return table_;
    }
    if (keymapStale_) {
        LoadKeymap();
    }
    if (static_cast<std::int64_t>(group_) != tableGroup_) {
        table_ = std::make_shared<const KeyTable>(BuildKeyTable(keymap_, group_));
        tableGroup_ = group_;
    }
    return table_;
}

std::optional<bool> X11Layout::LockOn(LockKey lock)
{
    if (Broken() || keymap_ == nullptr) {
        return std::nullopt;
    }
    const char* name = lock == LockKey::kCaps ? XKB_LED_NAME_CAPS
        : lock == LockKey::kNum               ? XKB_LED_NAME_NUM
                                              : XKB_LED_NAME_SCROLL;
    // xkbcommon-x11 numbers a keymap's indicators as the server does.
    const xkb_led_index_t led = xkb_keymap_led_get_index(keymap_, name);
    if (led != XKB_LED_INVALID && led < 32) {
        const XcbPtr<xcb_xkb_get_indicator_state_reply_t> reply {xcb_xkb_get_indicator_state_reply(connection_,
            xcb_xkb_get_indicator_state(connection_, static_cast<xcb_xkb_device_spec_t>(deviceId_)), nullptr)};
        if (reply) {
            return (reply->state & (std::uint32_t {1} << led)) != 0;
        }
        return std::nullopt;
    }
    if (lock == LockKey::kCaps) {
        // A keymap without that indicator: the locked Lock modifier is Caps Lock.
        Keys(true);
        return (lockedMods_ & XCB_MOD_MASK_LOCK) != 0;
    }
    return std::nullopt;
}

bool X11Layout::KeyDown(std::uint16_t code)
{
    if (Broken()) {
        return false;
    }
    const XcbPtr<xcb_query_keymap_reply_t> reply {
        xcb_query_keymap_reply(connection_, xcb_query_keymap(connection_), nullptr)};
    const unsigned keycode = code + 8u;
    return reply && keycode < 256 && ((reply->keys[keycode / 8] >> (keycode % 8)) & 1) != 0;
}

} // namespace qz
