#pragma once

#include "keyboard/key_layout.h"

#include <cstdint>
#include <memory>

struct xcb_connection_t;
struct xkb_context;
struct xkb_keymap;

namespace qz {

// The keyboard layout of an X server, read with xkbcommon-x11: its keymap,
// its current group, its lock indicators and which keys are down. On a
// Wayland session the server is Xwayland, which compiles the compositor's
// keymap. Keymap changes (setxkbmap, a desktop's layout settings) are
// followed as the server announces them; the group is asked for on every
// synchronised lookup.
//
// Opens its own connection to the display (DISPLAY when `displayName` is
// null). Without a display, or without the XKB extension, it knows no keys.
class X11Layout final : public KeyLayout {
public:
    explicit X11Layout(const char* displayName = nullptr);
    ~X11Layout() override;

    X11Layout(const X11Layout&) = delete;
    X11Layout& operator=(const X11Layout&) = delete;

    // True while connected to a server with XKB.
    bool Connected() const;
    // The connection, for an XTest sink on the same server; null when not connected.
    xcb_connection_t* Connection() const;

    std::shared_ptr<const KeyTable> Keys(bool sync) override;
    std::optional<bool> LockOn(LockKey lock) override;
    bool KeyDown(std::uint16_t code) override;

private:
    void LoadKeymap();
    void ReadEvents();
    bool Broken();

    xcb_connection_t* connection_ = nullptr;
    bool connected_ = false;
    std::int32_t deviceId_ = -1;
    std::uint8_t firstXkbEvent_ = 0;
    xkb_context* context_ = nullptr;
    xkb_keymap* keymap_ = nullptr;
    bool keymapStale_ = true;
    std::uint32_t group_ = 0; // the server's group at the last synchronised lookup
    std::int64_t tableGroup_ = -1; // the group the table was built for, -1: none
    std::uint8_t lockedMods_ = 0;
    std::shared_ptr<const KeyTable> table_ = std::make_shared<const KeyTable>();
};

} // namespace qz
