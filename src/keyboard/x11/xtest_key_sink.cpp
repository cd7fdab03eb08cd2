#include "keyboard/x11/xtest_key_sink.h"

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <cstdlib>

namespace qz {

XTestKeySink::XTestKeySink(xcb_connection_t* connection)
{
    if (connection == nullptr) {
        return;
    }
    const xcb_query_extension_reply_t* xtest = xcb_get_extension_data(connection, &xcb_test_id);
    if (xtest != nullptr && xtest->present != 0) {
        connection_ = connection;
    }
}

void XTestKeySink::Send(std::uint16_t code, bool down)
{
    // X key codes of the evdev key names are Linux input codes plus 8.
    const unsigned keycode = code + 8u;
    if (connection_ == nullptr || keycode > 255) {
        return;
    }
    xcb_test_fake_input(connection_, down ? XCB_KEY_PRESS : XCB_KEY_RELEASE, static_cast<std::uint8_t>(keycode),
        XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    xcb_flush(connection_);
}

void XTestKeySink::Flush()
{
    if (connection_ != nullptr) {
        std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
}

} // namespace qz
