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
    switch (kind) {
    case KeySinkKind::kXTest:
        return "xtest";
    case KeySinkKind::kUinput:
        return "uinput";
    case KeySinkKind::kEi:
        break;
    }
    return "ei";
}

} // namespace

KeySinkRequest ReadKeySinkRequest(
    const char* keySink, const char* sessionType, const char* waylandDisplay, bool eiBuilt)
{
    KeySinkRequest request;
    request.eiBuilt = eiBuilt;
    if (Set(keySink)) {
        const std::string_view value = keySink;
        if (value == "xtest") {
            request.forced = KeySinkKind::kXTest;
        } else if (value == "uinput") {
            request.forced = KeySinkKind::kUinput;
        } else if (value == "ei" && eiBuilt) {
            request.forced = KeySinkKind::kEi;
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
            program + ": QZ470_KEY_SINK=" + request.notUnderstood + " is not understood (use "
                + (request.eiBuilt ? "ei, " : "") + "xtest or uinput)" + noKeys};
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
        // manual page says so, not every start.
        if (open(KeySinkKind::kXTest).empty()) {
            return {KeySinkKind::kXTest, {}};
        }
        return {};
    }
    // A desktop without the portal is no refusal: the choice goes on.
    std::string eiWhy;
    if (request.eiBuilt) {
        eiWhy = open(KeySinkKind::kEi);
        if (eiWhy.empty()) {
            return {KeySinkKind::kEi, {}};
        }
    }
    const std::string uinputWhy = open(KeySinkKind::kUinput);
    if (uinputWhy.empty()) {
        return {KeySinkKind::kUinput, {}};
    }
    const std::string why = request.eiBuilt ? eiWhy + ", and " + uinputWhy : uinputWhy;
    const std::string fix = std::string(". To type into every window of this Wayland session, ")
        + (request.eiBuilt ? "use a desktop whose RemoteDesktop portal offers a keyboard (GNOME 46, KDE Plasma 6.1 "
                             "or later), or "
                           : "")
        + "install the package qz470-tester-wayland-keys (or copy its udev rule 60-qz470-tester-wayland-keys.rules "
          "to /etc/udev/rules.d/), then log in again.";
    const std::string xtestWhy = open(KeySinkKind::kXTest);
    if (xtestWhy.empty()) {
        return {KeySinkKind::kXTest, program + ": keystrokes will reach X11 programs only: " + why + fix};
    }
    return {std::nullopt, program + ": no keystrokes will be typed: " + why + ", and " + xtestWhy + fix};
}

bool WantsEi(const KeySinkRequest& request)
{
    if (!request.eiBuilt || !request.notUnderstood.empty()) {
        return false;
    }
    return request.forced ? *request.forced == KeySinkKind::kEi : request.waylandSession;
}

std::string DescribeTypingRefused(const std::string& program, bool closedLater)
{
    return program + (closedLater ? ": the desktop ended the permission to type" : ": typing was not allowed")
        + "; no keystrokes will be typed until " + program + " is started again. To allow it, start it again, tick "
        + "\"Enable Keypress Events\" and allow it in the desktop's dialog, or allow it in the desktop's privacy "
        + "settings.";
}

} // namespace qz
