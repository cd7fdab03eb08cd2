#pragma once

// The X11 key-injection layer as the tester makes it on an X11 session: the
// server's layout, and XTest on the same connection.

#include "keyboard/layout_key_injector.h"
#include "keyboard/x11/xtest_key_sink.h"
#include "keyboard/xkb/x11_layout.h"

#include <functional>
#include <utility>

namespace qz::test {

struct X11Keys {
    explicit X11Keys(const char* display, std::function<void()> processPendingEvents = {})
        : layout(display)
        , sink(layout.Connection())
        , keys(layout, sink, std::move(processPendingEvents))
    {
    }

    bool Connected() const { return layout.Connected() && sink.Available(); }

    X11Layout layout;
    XTestKeySink sink;
    LayoutKeyInjector keys;
};

} // namespace qz::test
