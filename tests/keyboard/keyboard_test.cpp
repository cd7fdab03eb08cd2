// clsKeyboard over the recording fake: the exact key events, pauses and
// event-processing requests, and the error statuses.
#include "keyboard/keyboard.h"

#include "common/error.h"
#include "fakes/fake_key_injector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace qz {
namespace {

using namespace std::chrono_literals;
using Fake = FakeKeyInjector;
using Events = std::vector<Fake::Event>;

constexpr std::uint8_t kShift = VirtualKey::kShift;
constexpr std::uint8_t kCtrl = VirtualKey::kCtrl;
constexpr std::uint8_t kAlt = VirtualKey::kAlt;
constexpr std::uint32_t kUp = KeyInjector::kKeyUp;
constexpr std::uint32_t kExt = KeyInjector::kExtendedKey;

class KeyboardTest : public ::testing::Test {
protected:
    void ExpectEvents(const Events& expected)
    {
        const Events actual = keys.TakeEvents();
        EXPECT_EQ(actual, expected) << "actual:   " << Fake::Describe(actual)
                                    << "\nexpected: " << Fake::Describe(expected);
    }

    template <typename F> int ErrorNumberOf(F&& call)
    {
        try {
            call();
        } catch (const Error& e) {
            return e.Number();
        }
        return 0;
    }

    Fake keys;
    clsKeyboard kbd {keys};
};

TEST_F(KeyboardTest, PressStringTypesEachCharacterThenPausesAndProcessesEvents)
{
    keys.SetScanCode('1', 2);
    keys.SetScanCode('2', 3);
    keys.SetScanCode('B', 48);
    kbd.PressString("12B");
    ExpectEvents({Fake::Down('1', 2), Fake::Up('1', 2), Fake::PauseOf(20ms), Fake::ProcessEvents(), //
        Fake::Down('2', 3), Fake::Up('2', 3), Fake::PauseOf(20ms), Fake::ProcessEvents(), //
        Fake::Down(kShift), Fake::Down('B', 48), Fake::Up('B', 48), Fake::Up(kShift), Fake::PauseOf(20ms),
        Fake::ProcessEvents()});
}

TEST_F(KeyboardTest, PressStringWithoutDoEventsStillPausesAfterEveryCharacter)
{
    kbd.PressString("ab", false);
    ExpectEvents(
        {Fake::Down('A'), Fake::Up('A'), Fake::PauseOf(20ms), Fake::Down('B'), Fake::Up('B'), Fake::PauseOf(20ms)});
}

TEST_F(KeyboardTest, EmptyTextAndUntypeableCharacters)
{
    kbd.PressString("");
    ExpectEvents({});

    // No key on the layout: nothing is sent, no error, and the string goes on
    // with its pause as for any other character.
    keys.RemoveKey('x');
    kbd.PressKey("x");
    ExpectEvents({});
    kbd.PressString("x1");
    ExpectEvents({Fake::PauseOf(20ms), Fake::ProcessEvents(), Fake::Down('1'), Fake::Up('1'), Fake::PauseOf(20ms),
        Fake::ProcessEvents()});
}

TEST_F(KeyboardTest, PressKeyUsesOnlyTheFirstCharacter)
{
    const std::string text = "AB";
    kbd.PressKey(text);
    ExpectEvents({Fake::Down(kShift), Fake::Down('A'), Fake::Up('A'), Fake::Up(kShift)});
    EXPECT_EQ(text, "AB");
}

TEST_F(KeyboardTest, HoldThenReleaseSplitsThePressAndReleasesModifiersInPressOrder)
{
    kbd.PressKey("A", true, false);
    ExpectEvents({Fake::Down(kShift), Fake::Down('A')});
    kbd.PressKey("A", false, true);
    ExpectEvents({Fake::Up('A'), Fake::Up(kShift)});
    kbd.PressKey("A", true, true);
    ExpectEvents({});

    // Ctrl and Alt together (an AltGr character on some layouts): released in
    // the order pressed, not reversed. Bits outside Shift/Ctrl/Alt are ignored.
    keys.SetKey('@', static_cast<std::int16_t>(0x0800 | KeyInjector::kCtrlBit | KeyInjector::kAltBit | 'Q'));
    kbd.PressKey("@");
    ExpectEvents(
        {Fake::Down(kCtrl), Fake::Down(kAlt), Fake::Down('Q'), Fake::Up('Q'), Fake::Up(kCtrl), Fake::Up(kAlt)});

    keys.SetKey('~',
        static_cast<std::int16_t>(
            KeyInjector::kShiftBit | KeyInjector::kCtrlBit | KeyInjector::kAltBit | VirtualKey::kOemGrave));
    kbd.PressKey("~");
    ExpectEvents({Fake::Down(kShift), Fake::Down(kCtrl), Fake::Down(kAlt), Fake::Down(VirtualKey::kOemGrave, 0, kExt),
        Fake::Up(VirtualKey::kOemGrave, 0, kExt | kUp), Fake::Up(kShift), Fake::Up(kCtrl), Fake::Up(kAlt)});
}

TEST_F(KeyboardTest, ExtendedFlagOnlyForKeysThatTypeNoCharacter)
{
    keys.SetScanCode(VirtualKey::kHome, 71);
    kbd.PressKeyVK(VirtualKey::kHome);
    ExpectEvents({Fake::Down(VirtualKey::kHome, 71, kExt), Fake::Up(VirtualKey::kHome, 71, kExt | kUp)});

    kbd.PressKeyVK(VirtualKey::kHome, false, false, true);
    ExpectEvents({Fake::Down(VirtualKey::kHome, 71, 0), Fake::Up(VirtualKey::kHome, 71, kUp)});

    kbd.PressKeyVK('Q');
    ExpectEvents({Fake::Down('Q'), Fake::Up('Q')});

    kbd.PressKeyVK(kShift, true);
    kbd.PressKeyVK(kShift, false, true);
    kbd.PressKeyVK(kShift, true, true);
    ExpectEvents({Fake::Down(kShift, 0, kExt), Fake::Up(kShift, 0, kExt | kUp)});
}

TEST_F(KeyboardTest, ErrorsSendNothingFromTheFailingEventOn)
{
    EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKey(""); }), 5);
    EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKey("\u20AC"); }), 6); // euro sign: not Latin-1
    EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKeyVK(256); }), 6);
    EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKeyVK(-1, false, true); }), 6);
    ExpectEvents({});
    // Nothing would be sent, so nothing fails.
    EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKeyVK(300, true, true); }), 0);

    // A failing character ends the string; what was typed stays typed.
    EXPECT_EQ(ErrorNumberOf([&] {
        kbd.PressString("1\u0100"
                        "2");
    }),
        6);
    ExpectEvents({Fake::Down('1'), Fake::Up('1'), Fake::PauseOf(20ms), Fake::ProcessEvents()});
}

TEST_F(KeyboardTest, Utf8TextsAreTypedByCodePoint)
{
    keys.SetKey(0xE4, 0xE9); // a-umlaut on its own key
    keys.SetKey(0xC4, KeyInjector::kShiftBit | 0xE9);
    kbd.PressString("\u00E4\u00C4");
    ExpectEvents({Fake::Down(0xE9, 0, kExt), Fake::Up(0xE9, 0, kExt | kUp), Fake::PauseOf(20ms), Fake::ProcessEvents(),
        Fake::Down(kShift), Fake::Down(0xE9, 0, kExt), Fake::Up(0xE9, 0, kExt | kUp), Fake::Up(kShift),
        Fake::PauseOf(20ms), Fake::ProcessEvents()});

    kbd.PressKey("\u00E4xyz");
    EXPECT_EQ(keys.TakeEvents().size(), 2U);
}

TEST_F(KeyboardTest, MalformedUtf8IsAnInvalidArgumentAtThatCharacter)
{
    const char* const malformed[] = {
        "\x80", // continuation byte first
        "\xC3", // truncated
        "\xC3\x28", // bad continuation
        "\xC0\x81", // overlong
        "\xE0\x80\x80", // overlong
        "\xED\xA0\x80", // UTF-16 surrogate
        "\xF4\x90\x80\x80", // above U+10FFFF
        "\xFF",
    };
    for (const char* text : malformed) {
        EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKey(text); }), 5) << Fake::Describe(keys.Events());
        EXPECT_EQ(ErrorNumberOf([&] { kbd.PressString(std::string("a") + text); }), 5);
        // The 'a' before it was typed, nothing after.
        ExpectEvents({Fake::Down('A'), Fake::Up('A'), Fake::PauseOf(20ms), Fake::ProcessEvents()});
    }
    // Valid multi-byte forms at the edges decode (and then overflow).
    EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKey("\xF4\x8F\xBF\xBF"); }), 6);
    EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKey("\xEF\xBF\xBD"); }), 6);
    EXPECT_EQ(ErrorNumberOf([&] { kbd.PressKey("\xC3\xBF"); }), 0); // U+00FF
}

TEST_F(KeyboardTest, AnyTwoByteTextLeavesNoKeyDownAndPausesOncePerTypedCharacter)
{
    // Every text of two bytes: typed whole, or typed up to a character that
    // fails with 5 or 6. Either way every key that went down came up again.
    keys.SetKey(0xE9, KeyInjector::kShiftBit | KeyInjector::kCtrlBit | 'E');
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            const std::string text {static_cast<char>(first), static_cast<char>(second)};
            int error = 0;
            try {
                kbd.PressString(text);
            } catch (const Error& e) {
                error = e.Number();
            }
            ASSERT_TRUE(error == 0 || error == 5 || error == 6) << first << " " << second;
            int down = 0;
            int pauses = 0;
            for (const Fake::Event& e : keys.TakeEvents()) {
                down += e.kind == Fake::Event::Kind::KeyDown ? 1 : e.kind == Fake::Event::Kind::KeyUp ? -1 : 0;
                pauses += e.kind == Fake::Event::Kind::Pause ? 1 : 0;
                ASSERT_GE(down, 0);
            }
            ASSERT_EQ(down, 0) << first << " " << second;
            // An ASCII first byte is typed before the second can fail; a lone
            // byte of 0x80 or more is never a whole character.
            const int expected = (first < 0x80 ? 1 : 0) + (error == 0 ? 1 : 0);
            ASSERT_EQ(pauses, expected) << first << " " << second;
        }
    }
}

TEST_F(KeyboardTest, GetLockStatusReadsEachLockKeyAndOverwritesTheOutputs)
{
    bool caps = true;
    bool num = true;
    bool scroll = true;
    kbd.GetLockStatus(caps, num, scroll);
    EXPECT_FALSE(caps || num || scroll);
    EXPECT_EQ(keys.StateQueries(), (std::vector<std::int32_t> {20, 144, 145}));

    keys.SetKeyState(VirtualKey::kCapsLock, static_cast<std::int16_t>(0x8000)); // held, lock off
    keys.SetKeyState(VirtualKey::kScrollLock, 1); // toggled on
    kbd.GetLockStatus(caps, num, scroll);
    EXPECT_TRUE(caps);
    EXPECT_FALSE(num);
    EXPECT_TRUE(scroll);
}

TEST_F(KeyboardTest, KeyboardMayBeDestroyedWhileEventsRunMidString)
{
    // The window owns the keyboard and the flag it passes; both go while the
    // string yields, and the rest of the string still reads its own copy.
    struct Window {
        explicit Window(KeyInjector& injector)
            : Kbd(injector)
        {
        }
        clsKeyboard Kbd;
        bool doEvents = true;
    };
    auto owned = std::make_unique<Window>(keys);
    int yields = 0;
    keys.onProcessEvents = [&] {
        ++yields;
        owned.reset(); // the window closed during the yield
    };
    owned->Kbd.PressString("ab", owned->doEvents);
    EXPECT_EQ(yields, 2);
    ExpectEvents({Fake::Down('A'), Fake::Up('A'), Fake::PauseOf(20ms), Fake::ProcessEvents(), Fake::Down('B'),
        Fake::Up('B'), Fake::PauseOf(20ms), Fake::ProcessEvents()});
}

} // namespace
} // namespace qz
