// The ei sink and its layout against an EIS server of the tests' own
// (tests/support/eis_server.h), which reads what arrives through xkbcommon
// as a compositor does: the text of every layout, a new keymap (or none)
// and the server's modifiers between presses, a pause and a server gone, and
// nothing lost or held at the start and the end.
#include "eis_server.h"
#include "keyboard/keyboard.h"
#include "keyboard/layout_key_injector.h"
#include "xkb_decoder.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;
using test::EisServer;
using Codes = std::vector<std::uint16_t>;

class EiKeyboardTest : public ::testing::Test {
protected:
    // The server, a client on it with `fallback` as the layout for a
    // keyboard without keymap, and the typing logic on top; returns once
    // the keyboard takes keys.
    void Connect(const EisServer::Keyboard& keyboard, const char* fallback = "us")
    {
        std::string why;
        server = EisServer::Start(keyboard, why);
        ASSERT_TRUE(server) << why;
        fallback_ = test::CompileOrSkip(fallback);
        ei = test::ConnectEiKeyboard(server->NewClient(), *fallback_, why);
        ASSERT_TRUE(ei) << why;
        keys = std::make_unique<LayoutKeyInjector>(*ei, *ei);
        kbd = std::make_unique<clsKeyboard>(*keys);
    }

    // Ends the client as the program does: the typing logic first (it lets
    // go of held keys), then the keyboard.
    void Disconnect()
    {
        kbd.reset();
        keys.reset();
        ei.reset();
    }

    // Types `text`; what the server read of it.
    EisServer::Received Type(const std::string& text, std::size_t length)
    {
        kbd->PressString(text);
        return server->Take(length, 5s);
    }

    std::unique_ptr<EisServer> server;
    std::unique_ptr<XkbNamesLayout> fallback_;
    std::unique_ptr<EiKeyboard> ei;
    std::unique_ptr<LayoutKeyInjector> keys;
    std::unique_ptr<clsKeyboard> kbd;
};

TEST_F(EiKeyboardTest, EveryCharacterOfTheServersLayoutArrivesExactly)
{
    for (const char* layout : {"us", "fr", "de"}) {
        SCOPED_TRACE(layout);
        // The fallback is never used: the server's keymap is the one.
        Connect({layout}, layout[0] == 'u' ? "de" : "us");
        // Every Latin-1 character that the layout types, each as one press.
        const std::shared_ptr<const KeyTable> table = test::CompileOrSkip(layout)->Keys(true);
        std::string expected;
        for (int c = 0x20; c <= 0xFF; ++c) {
            if (c != 0x7F && table->keyOfCharacter[static_cast<std::size_t>(c)] != KeyInjector::kNoKey) {
                kbd->PressKey(test::Latin1ToUtf8(static_cast<std::uint8_t>(c)));
                expected += test::Latin1ToUtf8(static_cast<std::uint8_t>(c));
            }
        }
        keys->Pause(0ms); // the round trip the pause after a character makes
        EXPECT_GT(expected.size(), 90u);
        const EisServer::Received got = server->Take(expected.size(), 5s);
        EXPECT_EQ(got.text, expected);
        EXPECT_FALSE(got.keyDown);
        Disconnect();
    }
}

TEST_F(EiKeyboardTest, TheFirstKeyAndTheLastPressArriveAndHeldKeysAreLetGo)
{
    Connect({"us"});
    // At once after the device is resumed, and gone at once after.
    kbd->PressString("7");
    kbd->PressString("BUZZ");
    kbd->PressKey("@", true);
    Disconnect();
    const EisServer::Received got = server->Take(6, 5s);
    EXPECT_EQ(got.text, "7BUZZ@");
    EXPECT_FALSE(got.keyDown);
    EXPECT_EQ(got.outside, 0);
    EXPECT_EQ(got.starts, 1);
}

TEST_F(EiKeyboardTest, FollowsANewKeymapAndTheServersModifiersBetweenPresses)
{
    // German is the layout for a keyboard without keymap, which comes last.
    Connect({"us,de"}, "de");
    EisServer::Received got = Type("zy", 2);
    EXPECT_EQ(got.text, "zy");
    EXPECT_EQ(got.pressed, (Codes {KEY_Z, KEY_Y}));

    // The second group (German): Z and Y trade places.
    server->SendModifiers(0, 1);
    got = Type("zy", 2);
    EXPECT_EQ(got.text, "zy");
    EXPECT_EQ(got.pressed, (Codes {KEY_Y, KEY_Z}));
    // Back to US without a word from the server, as on KWin: the desktop's
    // word on the group counts, until the server's next modifiers event.
    server->SendModifiers(0, 0, false);
    ei->SetDesktopGroup(0);
    EXPECT_EQ(Type("z", 1).pressed, (Codes {KEY_Z}));
    server->SendModifiers(0, 1);
    EXPECT_EQ(Type("z", 1).pressed, (Codes {KEY_Y}));

    // Caps Lock locked on the server's keyboard: the keys act as on a real
    // one, and the lock reads as on.
    server->ReplaceKeyboard({"us"});
    server->SendModifiers(EisServer::kCapsLockMask, 0);
    EXPECT_EQ(Type("BUZZ", 4).text, "buzz");
    EXPECT_TRUE(test::CapsLockOn(*kbd));
    server->SendModifiers(0, 0);
    EXPECT_FALSE(test::CapsLockOn(*kbd));

    // A French keymap in place of the US one: the digits need Shift now.
    server->ReplaceKeyboard({"fr"});
    got = Type("7a", 2);
    EXPECT_EQ(got.text, "7a");
    EXPECT_EQ(got.pressed, (Codes {KEY_LEFTSHIFT, KEY_7, KEY_Q}));

    // A keyboard without keymap in its place (the server reads it as
    // German): the French keymap is forgotten, the fallback layout types.
    server->ReplaceKeyboard({"de", false});
    got = Type("zy", 2);
    EXPECT_EQ(got.text, "zy");
    EXPECT_EQ(got.pressed, (Codes {KEY_Y, KEY_Z}));
    EXPECT_EQ(got.outside, 0);
    // Each keyboard was started once.
    EXPECT_EQ(got.starts, 4);
}

TEST_F(EiKeyboardTest, KeysGoOnlyWhileTheKeyboardIsResumedAndNoneOnceTheServerIsGone)
{
    Connect({"us"});
    server->Pause();
    kbd->PressString("b");
    server->Resume();
    EisServer::Received got = Type("c", 1);
    EXPECT_EQ(got.text, "c");
    EXPECT_EQ(got.outside, 0);

    server->DisconnectClients();
    EXPECT_TRUE(test::DispatchUntil(*ei, EiKeyboard::State::kGone, 5s));
    kbd->PressString("a"); // neither blocks nor fails
    Disconnect();
    EXPECT_EQ(server->Take().text, "");
}

} // namespace
} // namespace qz
