#include "xkb_decoder.h"

#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qz::test {

std::unique_ptr<XkbNamesLayout> CompileOrSkip(const std::string& names)
{
    auto layout = XkbNamesLayout::Compile(names);
    if (layout == nullptr) {
        std::printf("SKIPPED: the keymap \"%s\" does not compile (is xkb-data installed?)\n", names.c_str());
        std::fflush(stdout);
        std::exit(77);
    }
    return layout;
}

bool CapsLockOn(clsKeyboard& kbd)
{
    bool caps = false;
    bool num = false;
    bool scroll = false;
    kbd.GetLockStatus(caps, num, scroll);
    return caps;
}

std::string Latin1ToUtf8(std::uint8_t c)
{
    if (c < 0x80) {
        return std::string(1, static_cast<char>(c));
    }
    return {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
}

XkbDecoder::XkbDecoder(xkb_keymap* keymap, std::uint32_t group)
    : state_(xkb_state_new(keymap))
{
    xkb_state_update_mask(state_, 0, 0, 0, 0, 0, group);
}

XkbDecoder::~XkbDecoder()
{
    xkb_state_unref(state_);
}

void XkbDecoder::Key(std::uint16_t code, bool down)
{
    const xkb_keycode_t keycode = code + 8u; // evdev key names: Linux code + 8
    if (down) {
        char utf8[16];
        if (xkb_state_key_get_utf8(state_, keycode, utf8, sizeof utf8) > 0) {
            text_ += utf8;
        }
    }
    down_ += down ? 1 : -1;
    xkb_state_update_key(state_, keycode, down ? XKB_KEY_DOWN : XKB_KEY_UP);
}

void XkbDecoder::SetLockedAndGroup(std::uint32_t locked, std::uint32_t group)
{
    const xkb_mod_mask_t depressed = xkb_state_serialize_mods(state_, XKB_STATE_MODS_DEPRESSED);
    const xkb_mod_mask_t latched = xkb_state_serialize_mods(state_, XKB_STATE_MODS_LATCHED);
    xkb_state_update_mask(state_, depressed, latched, locked, 0, 0, group);
}

std::string XkbDecoder::TakeText()
{
    return std::exchange(text_, {});
}

bool XkbDecoder::CapsLocked() const
{
    return xkb_state_mod_name_is_active(state_, XKB_MOD_NAME_CAPS, XKB_STATE_MODS_LOCKED) > 0;
}

} // namespace qz::test
