// The keymap lookup on keymaps compiled from their names (xkeyboard-config),
// no server: every character the lookup offers, typed through the whole
// layer and read back by xkbcommon as a compositor reads it, is exactly that
// character; and the virtual keys keep their fixed numbering.
#include "fakes/fake_key_sink.h"
#include "keyboard/keyboard.h"
#include "keyboard/layout_key_injector.h"
#include "keyboard/xkb/xkb_names_layout.h"
#include "xkb_decoder.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <memory>
#include <ostream>
#include <string>

namespace qz {
namespace {

using test::CompileOrSkip;
using test::Latin1ToUtf8;

// A Latin-1 character as xkbcommon reads back the key that types it.
std::string TypedAs(std::uint8_t c)
{
    return c == '\n' ? "\r" : Latin1ToUtf8(c); // a line feed is typed as Enter
}

struct LayoutCase {
    const char* names;
    std::uint32_t group;
    const char* mustType; // characters this layout has a key for
};

void PrintTo(const LayoutCase& c, std::ostream* os)
{
    *os << c.names << " group " << c.group;
}

class EveryCharacter : public ::testing::TestWithParam<LayoutCase> { };

TEST_P(EveryCharacter, TypesExactlyItselfOrNothing)
{
    const LayoutCase& param = GetParam();
    auto layout = CompileOrSkip(param.names);
    layout->SetGroup(param.group);
    FakeKeySink sink;
    LayoutKeyInjector keys(*layout, sink);
    clsKeyboard kbd(keys);
    test::XkbDecoder decoder(layout->Keymap(), param.group);
    std::string typeable;
    for (int c = 1; c < 256; ++c) {
        const auto character = static_cast<std::uint8_t>(c);
        kbd.PressKey(Latin1ToUtf8(character));
        const auto events = sink.TakeEvents();
        for (const FakeKeySink::Event& e : events) {
            decoder.Key(e.code, e.down);
        }
        const std::string typed = decoder.TakeText();
        ASSERT_FALSE(decoder.AnyKeyDown()) << "after character " << c << ": " << FakeKeySink::Describe(events);
        if (keys.KeyForCharacter(character) == KeyInjector::kNoKey) {
            EXPECT_TRUE(events.empty()) << "character " << c << " has no key, yet: " << FakeKeySink::Describe(events);
            continue;
        }
        EXPECT_EQ(typed, TypedAs(character)) << "character " << c << ": " << FakeKeySink::Describe(events);
        typeable += Latin1ToUtf8(character);
    }
    for (const char* p = param.mustType; *p != '\0'; ++p) {
        EXPECT_NE(typeable.find(*p), std::string::npos) << "no key for '" << *p << "'";
    }
}

constexpr const char* kAscii = " !\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`"
                               "abcdefghijklmnopqrstuvwxyz{|}~\t\r\b\x1b";
INSTANTIATE_TEST_SUITE_P(Layouts, EveryCharacter,
    ::testing::Values(LayoutCase {"us", 0, kAscii}, LayoutCase {"fr", 0, "0123456789azqwyAZQWY@{}[]#~\\|"},
        LayoutCase {"de", 0, "0123456789yzYZ@{}[]\\|~\xC3\xA4\xC3\xB6\xC3\xBC\xC3\x9F"},
        LayoutCase {"us,de", 1, "yzYZ@\xC3\xA4"}, LayoutCase {"us,de", 0, kAscii}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) {
        std::string name = info.param.names;
        for (char& c : name) {
            c = c == ',' ? '_' : c;
        }
        return name + "_group" + std::to_string(info.param.group);
    });

TEST(XkbLookup, VirtualKeysKeepTheFixedNumberingOnEveryLayout)
{
    constexpr std::int16_t kShift = KeyInjector::kShiftBit;
    constexpr std::int16_t kAltGr = KeyInjector::kCtrlBit | KeyInjector::kAltBit;
    struct Case {
        const char* names;
        std::uint32_t group;
        std::uint8_t character;
        std::int16_t key; // virtual key and modifiers
        std::uint16_t code; // the Linux key the virtual key stands for
    };
    const Case cases[] = {
        {"us", 0, 'z', 'Z', KEY_Z},
        {"us", 0, 'Z', kShift | 'Z', KEY_Z},
        {"us", 0, '7', '7', KEY_7},
        {"us", 0, ' ', VirtualKey::kSpace, KEY_SPACE},
        {"us", 0, '\r', VirtualKey::kReturn, KEY_ENTER},
        {"us", 0, '-', VirtualKey::kOemMinus, KEY_MINUS},
        {"de", 0, 'z', 'Z', KEY_Y}, // Y and Z trade places
        {"de", 0, '@', kAltGr | 'Q', KEY_Q},
        {"de", 0, '{', kAltGr | '7', KEY_7},
        {"fr", 0, '1', kShift | '1', KEY_1}, // digits need Shift
        {"fr", 0, 'a', 'A', KEY_Q},
        {"fr", 0, '{', kAltGr | '4', KEY_4},
        {"us,de", 1, 'z', 'Z', KEY_Y},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.names) + " '" + static_cast<char>(c.character) + "'");
        auto layout = CompileOrSkip(c.names);
        layout->SetGroup(c.group);
        const KeyTable& table = *layout->Keys(true);
        EXPECT_EQ(table.keyOfCharacter[c.character], c.key);
        EXPECT_EQ(table.codeOfVk[static_cast<std::size_t>(c.key & 0xFF)], c.code);
    }
    auto de = CompileOrSkip("de");
    const KeyTable& table = *de->Keys(true);
    EXPECT_EQ(table.level3Code, KEY_RIGHTALT); // AltGr is where a real keyboard has it
    EXPECT_EQ(table.characterOfVk['A'], static_cast<std::uint32_t>('A'));
    EXPECT_EQ(table.characterOfVk[VirtualKey::kHome], 0U); // sent as an extended key
    EXPECT_EQ(table.codeOfVk[VirtualKey::kShift], KEY_LEFTSHIFT);
    EXPECT_EQ(table.keyOfCharacter[0xE4], static_cast<std::int16_t>(table.keyOfCharacter[0xE4] & 0xFF)); // a-umlaut
    EXPECT_EQ(CompileOrSkip("us")->Keys(true)->keyOfCharacter[0xE4], KeyInjector::kNoKey);
}

} // namespace
} // namespace qz
