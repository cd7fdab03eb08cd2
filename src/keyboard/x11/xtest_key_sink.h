#pragma once

#include "keyboard/key_sink.h"

struct xcb_connection_t;

namespace qz {

// Sends key events to an X server with the XTest extension, on a connection
// it borrows (an X11Layout's, so that lookups and key events are seen by the
// server in the order they were made). The server passes them on as if they
// came from its keyboard: on an X11 session to every window, on a Wayland
// session (Xwayland) to X clients only.
class XTestKeySink final : public KeySink {
public:
    // `connection` may be null: then nothing is sent.
    explicit XTestKeySink(xcb_connection_t* connection);

    // True when the server has XTest.
    bool Available() const { return connection_ != nullptr; }

    void Send(std::uint16_t code, bool down) override;
    // A round trip: the server has processed every event once it returns.
    void Flush() override;

private:
    xcb_connection_t* connection_ = nullptr;
};

} // namespace qz
