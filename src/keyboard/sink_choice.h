#pragma once

#include <functional>
#include <optional>
#include <string>

namespace qz {

// The ways typed keys leave the program: XTest through the X server, which
// reaches X clients only; a virtual keyboard of the kernel's (uinput), which
// the compositor or X server reads like a real one; or the compositor's own
// emulated-input server (ei), which the desktop's RemoteDesktop portal
// connects to with the person's consent.
enum class KeySinkKind { kXTest, kUinput, kEi };

// What the environment asks for.
struct KeySinkRequest {
    std::optional<KeySinkKind> forced; // QZ470_KEY_SINK=xtest, uinput or ei
    std::string notUnderstood; // any other value of QZ470_KEY_SINK
    bool waylandSession = false;
    // The program can type through a compositor's emulated-input server
    // (it was built with libei).
    bool eiBuilt = false;
};

// Reads QZ470_KEY_SINK, XDG_SESSION_TYPE and WAYLAND_DISPLAY (each may be
// null: not set). An empty value counts as not set; "ei" is understood only
// where `eiBuilt`.
KeySinkRequest ReadKeySinkRequest(
    const char* keySink, const char* sessionType, const char* waylandDisplay, bool eiBuilt = false);

struct KeySinkChoice {
    std::optional<KeySinkKind> sink; // nullopt: no keys are typed
    std::string message; // one line for standard error, empty when all is well
};

// Picks the sink: the forced one, or on a Wayland session ei (where built),
// else uinput, else XTest; on an X11 session XTest. `open` makes a sink and
// returns an empty text, or the reason it cannot be had; it is asked only
// for sinks that may be used, in the order of preference (for ei, the
// caller knows the portal's answer by then). `program` starts the message.
KeySinkChoice ChooseKeySink(
    const KeySinkRequest& request, const std::string& program, const std::function<std::string(KeySinkKind)>& open);

// Whether the ei sink is the one to try first: forced, or on a Wayland
// session where nothing else is forced.
bool WantsEi(const KeySinkRequest& request);

// The one line for standard error when the person refused to let the
// program type (`closedLater`: the desktop ended the permission it had
// given), which also names how to allow it later.
std::string DescribeTypingRefused(const std::string& program, bool closedLater);

} // namespace qz
