#pragma once

#include "keyboard/key_layout.h"

#include <memory>
#include <string>

struct xkb_context;
struct xkb_keymap;

namespace qz {

// A keyboard layout compiled from its names (a layout such as "de", or
// "us,de" for two groups, with a variant and options) out of the
// xkeyboard-config data, with no server: for tests, and wherever no X server
// tells the keymap. It knows no lock or key state.
class XkbNamesLayout final : public KeyLayout {
public:
    // nullptr when the names do not compile (unknown layout, no xkb data).
    static std::unique_ptr<XkbNamesLayout> Compile(
        const std::string& layout, const std::string& variant = {}, const std::string& options = {});
    ~XkbNamesLayout() override;

    XkbNamesLayout(const XkbNamesLayout&) = delete;
    XkbNamesLayout& operator=(const XkbNamesLayout&) = delete;

    // The keyboard's group (0 for the first layout of the names).
    void SetGroup(std::uint32_t group);
    // The compiled keymap, for decoding what was typed with it.
    xkb_keymap* Keymap() const { return keymap_; }

    std::shared_ptr<const KeyTable> Keys(bool sync) override;
    std::optional<bool> LockOn(LockKey /*lock*/) override { return std::nullopt; }
    bool KeyDown(std::uint16_t /*code*/) override { return false; }

private:
    XkbNamesLayout(xkb_context* context, xkb_keymap* keymap);

    xkb_context* context_;
    xkb_keymap* keymap_;
    std::uint32_t group_ = 0;
    std::shared_ptr<const KeyTable> table_;
};

} // namespace qz
