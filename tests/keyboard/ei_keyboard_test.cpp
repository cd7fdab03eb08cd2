// The ei sink and its layout against an EIS server of the tests' own
// (tests/support/eis_server.h), which reads what arrives through xkbcommon
// as a compositor does: the text of every layout, a new keymap and the
// server's modifiers between presses, a pause, a server without a keymap,
// and nothing lost or held at the start and the end.
#include "keyboard/ei/ei_keyboard.h"
#include "keyboard/keyboard.h"
#include "keyboard/layout_key_injector.h"
#include "keyboard/xkb/xkb_names_layout.h"

#include "eis_server.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace qz {
namespace {

using namespace std::chrono_literals;
using test::EisServer;

std::unique_ptr<XkbNamesLayout> Names(const char* layout)
{
    auto names = XkbNamesLayout::Compile(layout);
    if (names == nullptr) {
        std::printf("SKIPPED: the keymap \"%s\" does not compile (is xkb-data installed?)\n", layout);
        std::exit(77);
    }
    return names;
}

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
        fallback_ = Names(fallback);
        ei = EiKeyboard::Connect(server->NewClient(), *fallback_, why);
        ASSERT_TRUE(ei) << why;
        ASSERT_TRUE(WaitUntil(EiKeyboard::State::kResumed));
        keys = std::make_unique<LayoutKeyInjector>(*ei, *ei);
        kbd = std::make_unique<clsKeyboard>(*keys);
    }

    bool WaitUntil(EiKeyboard::State state)
    {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (ei->Current() != state && std::chrono::steady_clock::now() < deadline) {
            pollfd wait {ei->Fd(), POLLIN, 0};
            poll(&wait, 1, 50);
            ei->Dispatch();
        }
        return ei->Current() == state;
    }

    // Ends the client as the program does: the typing logic first (it lets
    // go of held keys), then the keyboard.
    void Disconnect()
    {
        kbd.reset();
        keys.reset();
        ei.reset();
    }

    bool CapsLock()
    {
        bool caps = false;
        bool num = false;
        bool scroll = false;
        kbd->GetLockStatus(caps, num, scroll);
        return caps;
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
        const auto names = Names(layout);
        const KeyTable& table = *names->Keys(true);
        std::string expected;
        for (int c = 0x20; c <= 0xFF; ++c) {
            if (c != 0x7F && table.keyOfCharacter[static_cast<std::size_t>(c)] != KeyInjector::kNoKey) {
                const std::string one = c < 0x80
                    ? std::string(1, static_cast<char>(c))
                    : std::string {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
                kbd->PressKey(one);
                expected += one;
            }
        }
        keys->Pause(0ms); // the round trip the pause after a character makes
        EXPECT_GT(expected.size(), 90u);
        EXPECT_EQ(server->WaitForText(expected.size(), 5s), expected);
        EXPECT_FALSE(server->AnyKeyDown());
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
    EXPECT_EQ(server->WaitForText(6, 5s), "7BUZZ@");
    EXPECT_FALSE(server->AnyKeyDown());
    EXPECT_EQ(server->KeysOutsideEmulation(), 0);
    EXPECT_EQ(server->Sequences().size(), 1u);
}

TEST_F(EiKeyboardTest, FollowsANewKeymapAndTheServersModifiersBetweenPresses)
{
    Connect({"us,de"});
    kbd->PressString("zy");
    EXPECT_EQ(server->WaitForText(2, 5s), "zy");
    EXPECT_EQ(server->TakePressedCodes(), (std::vector<std::uint16_t> {KEY_Z, KEY_Y}));

    // The second group (German): Z and Y change places.
    server->SendModifiers(0, 1);
    kbd->PressString("zy");
    EXPECT_EQ(server->WaitForText(2, 5s), "zy");
    EXPECT_EQ(server->TakePressedCodes(), (std::vector<std::uint16_t> {KEY_Y, KEY_Z}));

    // Caps Lock locked on the server's keyboard: the keys act as on a real
    // one, and the lock reads as on.
    server->ReplaceKeyboard({"us"});
    server->SendModifiers(server->ModMask("Lock"), 0);
    kbd->PressString("BUZZ");
    EXPECT_EQ(server->WaitForText(4, 5s), "buzz");
    server->TakePressedCodes();
    EXPECT_TRUE(CapsLock());
    server->SendModifiers(0, 0);
    EXPECT_FALSE(CapsLock());

    // A French keymap in place of the US one: the digits need Shift now.
    server->ReplaceKeyboard({"fr"});
    kbd->PressString("7a");
    EXPECT_EQ(server->WaitForText(2, 5s), "7a");
    EXPECT_EQ(server->TakePressedCodes(), (std::vector<std::uint16_t> {KEY_LEFTSHIFT, KEY_7, KEY_Q}));
    EXPECT_EQ(server->KeysOutsideEmulation(), 0);
    // Each keyboard was started once. (libeis 1.3 reports every sequence
    // number as 0, so their rise cannot be seen here.)
    EXPECT_EQ(server->Sequences().size(), 3u);
}

TEST_F(EiKeyboardTest, NothingIsSentWhileTheKeyboardIsPaused)
{
    Connect({"us"});
    server->Pause();
    kbd->PressString("b");
    server->Resume();
    kbd->PressString("c");
    EXPECT_EQ(server->WaitForText(1, 5s), "c");
    EXPECT_EQ(server->KeysOutsideEmulation(), 0);
}

TEST_F(EiKeyboardTest, AKeyboardWithoutKeymapIsTypedOnTheFallbackLayout)
{
    // The server reads the keys as German without telling the client.
    Connect({"de", false}, "de");
    kbd->PressString("zy");
    EXPECT_EQ(server->WaitForText(2, 5s), "zy");
    EXPECT_EQ(server->TakePressedCodes(), (std::vector<std::uint16_t> {KEY_Y, KEY_Z}));
}

TEST_F(EiKeyboardTest, AServerThatGoesAwayTakesNoMoreKeys)
{
    Connect({"us"});
    server->DisconnectClients();
    EXPECT_TRUE(WaitUntil(EiKeyboard::State::kGone));
    kbd->PressString("a"); // neither blocks nor fails
    Disconnect();
    EXPECT_EQ(server->TakeText(), "");
}

} // namespace
} // namespace qz
