#pragma once

#include "keyboard/key_sink.h"
#include "keyboard/layout_key_injector.h"
#include "keyboard/xkb/x11_layout.h"

#include <functional>
#include <memory>

namespace qz {

// The key-injection layer the tester types through: the X server's keyboard
// layout, and the sink the session calls for (XTest on X11; on Wayland the
// uinput virtual keyboard when /dev/uinput opens; QZ470_KEY_SINK forces
// one). Made once, at start, so that a compositor has added the virtual
// keyboard long before the first key; when the sink the session calls for
// cannot be had, one line on standard error says so and names the fix.
class TesterKeys {
public:
    explicit TesterKeys(std::function<void()> processPendingEvents);

    KeyInjector& Injector() { return injector_; }

private:
    X11Layout layout_;
    std::unique_ptr<KeySink> sink_;
    LayoutKeyInjector injector_;
};

} // namespace qz
