#pragma once

#include <functional>
#include <optional>
#include <string>

namespace qz {

// The two ways typed keys leave the program: XTest through the X server, which
// reaches X clients only, or a virtual keyboard of the kernel's (uinput),
// which the compositor or X server reads like a real one.
enum class KeySinkKind { kXTest, kUinput };

// What the environment asks for.
struct KeySinkRequest {
    std::optional<KeySinkKind> forced; // QZ470_KEY_SINK=xtest or uinput
    std::string notUnderstood; // any other value of QZ470_KEY_SINK
    bool waylandSession = false;
};

// Reads QZ470_KEY_SINK, XDG_SESSION_TYPE and WAYLAND_DISPLAY (each may be
// null: not set). An empty value counts as not set.
KeySinkRequest ReadKeySinkRequest(const char* keySink, const char* sessionType, const char* waylandDisplay);

struct KeySinkChoice {
    std::optional<KeySinkKind> sink; // nullopt: no keys are typed
    std::string message; // one line for standard error, empty when all is well
};

// Picks the sink: the forced one, or on a Wayland session uinput and else
// XTest, on an X11 session XTest. `open` makes a sink and returns an empty
// text, or the reason it cannot be had; it is asked only for sinks that may
// be used, in the order of preference. `program` starts the message.
KeySinkChoice ChooseKeySink(
    const KeySinkRequest& request, const std::string& program, const std::function<std::string(KeySinkKind)>& open);

} // namespace qz
