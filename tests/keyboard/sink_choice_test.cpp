// Which sink types the keys, from the session and QZ470_KEY_SINK, and the one
// line that says what is missing.
#include "keyboard/sink_choice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qz {
namespace {

TEST(SinkChoice, FollowsTheSessionAndTheForcedSinkAndSaysWhatIsMissing)
{
    using Kind = KeySinkKind;
    struct Case {
        const char* what;
        const char* keySink; // the environment
        const char* sessionType;
        const char* waylandDisplay;
        const char* uinputFails; // the reason, or null when it opens
        const char* xtestFails;
        std::optional<Kind> sink; // the choice
        std::string asked; // the sinks tried, in order: e, u, x
        std::vector<std::string> said; // in the one line; none: silent
        bool eiBuilt = false;
        const char* eiFails = nullptr; // the portal's answer, when built
    };
    const char* denied = "/dev/uinput cannot be opened (Permission denied)";
    const char* noX = "no X server with the XKB extension could be reached";
    const char* noPortal = "the desktop offers no RemoteDesktop portal";
    const Case cases[] = {
        {"X11 session", nullptr, "x11", nullptr, nullptr, nullptr, Kind::kXTest, "x", {}},
        {"X11 session without an X server: silent, as ever", nullptr, "x11", "", nullptr, noX, std::nullopt, "x", {}},
        {"Wayland session", nullptr, "wayland", nullptr, nullptr, nullptr, Kind::kUinput, "u", {}},
        {"Wayland display without a session type", nullptr, nullptr, "wayland-0", nullptr, nullptr, Kind::kUinput, "u",
            {}},
        {"Wayland without access to uinput", nullptr, "wayland", "wayland-0", denied, nullptr, Kind::kXTest, "ux",
            {"X11 programs only", denied, "qz470-tester-wayland-keys", "log in again"}},
        {"Wayland with neither", nullptr, "wayland", nullptr, denied, noX, std::nullopt, "ux",
            {"no keystrokes", denied, noX, "qz470-tester-wayland-keys"}},
        {"xtest forced on Wayland", "xtest", "wayland", "wayland-0", nullptr, nullptr, Kind::kXTest, "x", {}},
        {"uinput forced on X11", "uinput", "x11", nullptr, nullptr, nullptr, Kind::kUinput, "u", {}},
        {"uinput forced and refused: no fallback", "uinput", "x11", nullptr, denied, nullptr, std::nullopt, "u",
            {"QZ470_KEY_SINK=uinput", denied, "no keystrokes"}},
        {"xtest forced and missing", "xtest", "wayland", nullptr, nullptr, noX, std::nullopt, "x",
            {"QZ470_KEY_SINK=xtest", noX, "no keystrokes"}},
        {"a value not understood", "wayland", "wayland", nullptr, nullptr, nullptr, std::nullopt, "",
            {"QZ470_KEY_SINK=wayland", "xtest or uinput", "no keystrokes"}},
        {"an empty value counts as not set", "", "x11", nullptr, nullptr, nullptr, Kind::kXTest, "x", {}},
        {"ei without libei is not understood", "ei", "wayland", nullptr, nullptr, nullptr, std::nullopt, "",
            {"QZ470_KEY_SINK=ei", "xtest or uinput", "no keystrokes"}},
        // Built with libei.
        {"Wayland, the portal grants", nullptr, "wayland", nullptr, nullptr, nullptr, Kind::kEi, "e", {}, true},
        {"Wayland without the portal: uinput, silently", nullptr, "wayland", nullptr, nullptr, nullptr, Kind::kUinput,
            "eu", {}, true, noPortal},
        {"Wayland with neither the portal nor uinput", nullptr, "wayland", nullptr, denied, nullptr, Kind::kXTest,
            "eux",
            {"X11 programs only", noPortal, denied, "RemoteDesktop portal offers a keyboard",
                "qz470-tester-wayland-keys"},
            true, noPortal},
        {"X11 session: XTest, no portal", nullptr, "x11", nullptr, nullptr, nullptr, Kind::kXTest, "x", {}, true},
        {"ei forced and failing: no fallback", "ei", "wayland", nullptr, nullptr, nullptr, std::nullopt, "e",
            {"QZ470_KEY_SINK=ei", noPortal, "no keystrokes"}, true, noPortal},
        {"a value not understood names ei", "udev", "wayland", nullptr, nullptr, nullptr, std::nullopt, "",
            {"use ei, xtest or uinput"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string asked;
        const KeySinkRequest request = ReadKeySinkRequest(c.keySink, c.sessionType, c.waylandDisplay, c.eiBuilt);
        const KeySinkChoice choice = ChooseKeySink(request, "qz470-tester", [&](Kind kind) -> std::string {
            const char* fails = kind == Kind::kEi ? c.eiFails : kind == Kind::kUinput ? c.uinputFails : c.xtestFails;
            asked += kind == Kind::kEi ? 'e' : kind == Kind::kUinput ? 'u' : 'x';
            return fails != nullptr ? fails : "";
        });
        // The portal is asked for where the choice begins with ei.
        EXPECT_EQ(WantsEi(request), !asked.empty() && asked[0] == 'e');
        EXPECT_EQ(choice.sink, c.sink);
        EXPECT_EQ(asked, c.asked);
        if (c.said.empty()) {
            EXPECT_EQ(choice.message, "");
            continue;
        }
        EXPECT_EQ(choice.message.rfind("qz470-tester: ", 0), 0U) << choice.message;
        EXPECT_EQ(choice.message.find('\n'), std::string::npos) << choice.message;
        for (const std::string& part : c.said) {
            EXPECT_NE(choice.message.find(part), std::string::npos) << choice.message << "\nlacks: " << part;
        }
    }
}

} // namespace
} // namespace qz
