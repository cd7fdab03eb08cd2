#include "keyboard/sink_choice.h"

#include <string_view>

namespace qz {

namespace {

bool Set(const char* value)
{
    return value != nullptr && *value != '\0';
}

const char* NameOf(KeySinkKind kind)
{
    return kind == KeySinkKind::kXTest ? "xtest" : "uinput";
}

} // namespace

KeySinkRequest ReadKeySinkRequest(const char* keySink, const char* sessionType, const char* waylandDisplay)
{
    KeySinkRequest request;
    if (Set(keySink)) {
        const std::string_view value = keySink;
        if (value == "xtest") {
            request.forced = KeySinkKind::kXTest;
        } else if (value == "uinput") {
            request.forced = KeySinkKind::kUinput;
        } else {
            request.notUnderstood = value;
        }
    }
    request.waylandSession = (Set(sessionType) && std::string_view(sessionType) == "wayland") || Set(waylandDisplay);
    return request;
}

KeySinkChoice ChooseKeySink(
    const KeySinkRequest& request, const std::string& program, const std::function<std::string(KeySinkKind)>& open)
{
    const std::string noKeys = "; no keystrokes will be typed";
    if (!request.notUnderstood.empty()) {
        return {std::nullopt,
            program + ": QZ470_KEY_SINK=" + request.notUnderstood + " is not understood (use xtest or uinput)"
                + noKeys};
    }
    if (request.forced) {
        const std::string why = open(*request.forced);
        if (why.empty()) {
            return {request.forced, {}};
        }
        return {std::nullopt, program + ": QZ470_KEY_SINK=" + NameOf(*request.forced) + ", but " + why + noKeys};
    }
    if (!request.waylandSession) {
        // As ever on X11: without an X server nothing can be typed, and the
        // program says so in its README, not at every start.
        if (open(KeySinkKind::kXTest).empty()) {
            return {KeySinkKind::kXTest, {}};
        }
        return {};
    }
    const std::string uinputWhy = open(KeySinkKind::kUinput);
    if (uinputWhy.empty()) {
        return {KeySinkKind::kUinput, {}};
    }
    const std::string fix = ". To type into every window of this Wayland session, install the package "
                            "qz470-tester-wayland-keys (or copy its udev rule 60-qz470-tester-wayland-keys.rules "
                            "to /etc/udev/rules.d/), then log in again.";
    const std::string xtestWhy = open(KeySinkKind::kXTest);
    if (xtestWhy.empty()) {
        return {KeySinkKind::kXTest, program + ": keystrokes will reach X11 programs only: " + uinputWhy + fix};
    }
    return {std::nullopt, program + ": no keystrokes will be typed: " + uinputWhy + ", and " + xtestWhy + fix};
}

} // namespace qz
