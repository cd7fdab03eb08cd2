// The AltGr sequence on a German keymap compiled from its names (no server):
// which Ctrl and Alt events become the level-3 key, and which stay themselves.
#include "keyboard/altgr_sequencer.h"
#include "keyboard/xkb/xkb_names_layout.h"
#include "xkb_decoder.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <string>
#include <vector>

namespace qz {
namespace {

// One call the typing layer makes, in the order it makes them.
struct Op {
    enum Kind { kAnnounce, kForgetUnlessFor, kDown, kUp, kSettle } kind;
    std::uint8_t vk = 0;
};
Op Announce(std::uint8_t vk)
{
    return {Op::kAnnounce, vk};
}
Op Ask(std::uint8_t vk)
{
    return {Op::kForgetUnlessFor, vk};
}
Op Down(std::uint8_t vk)
{
    return {Op::kDown, vk};
}
Op Up(std::uint8_t vk)
{
    return {Op::kUp, vk};
}
Op Settle()
{
    return {Op::kSettle};
}

constexpr std::uint8_t kCtrl = VirtualKey::kCtrl;
constexpr std::uint8_t kAlt = VirtualKey::kAlt;
constexpr std::uint8_t kShift = VirtualKey::kShift;

// Key events as text: "+100" down, "-100" up.
std::string Sequence(const KeyTable& keys, const std::vector<Op>& ops)
{
    AltGrSequencer sequencer;
    std::string sent;
    const AltGrSequencer::Emit emit = [&](std::uint16_t code, bool down) {
        sent += (sent.empty() ? "" : " ") + std::string(down ? "+" : "-") + std::to_string(code);
    };
    for (const Op& op : ops) {
        switch (op.kind) {
        case Op::kAnnounce:
            sequencer.Announce(op.vk);
            break;
        case Op::kForgetUnlessFor:
            sequencer.ForgetUnlessFor(op.vk);
            break;
        case Op::kDown:
        case Op::kUp:
            if (!sequencer.Key(keys, op.vk, op.kind == Op::kDown, emit)) {
                emit(keys.codeOfVk[op.vk], op.kind == Op::kDown); // the caller sends it as it is
            }
            break;
        case Op::kSettle:
            sequencer.Settle(keys, emit);
            break;
        }
    }
    return sent;
}

std::string Codes(std::initializer_list<int> signedCodes)
{
    std::string text;
    for (int c : signedCodes) {
        text += (text.empty() ? "" : " ") + std::string(c > 0 ? "+" : "-") + std::to_string(c > 0 ? c : -c);
    }
    return text;
}

TEST(AltGrSequencer, TurnsOnlyTheAnnouncedPairIntoTheLevel3Key)
{
    auto de = test::CompileOrSkip("de");
    const KeyTable keys = *de->Keys(true);
    ASSERT_EQ(keys.level3Code, KEY_RIGHTALT);
    constexpr int kAltGr = KEY_RIGHTALT;
    constexpr int kLCtrl = KEY_LEFTCTRL;
    constexpr int kLAlt = KEY_LEFTALT;
    constexpr int kLShift = KEY_LEFTSHIFT;
    struct Case {
        const char* what;
        std::vector<Op> ops;
        std::string expected;
    };
    const Case cases[] = {
        {"@ (AltGr+Q) typed whole", {Announce('Q'), Down(kCtrl), Down(kAlt), Down('Q'), Up('Q'), Up(kCtrl), Up(kAlt)},
            Codes({kAltGr, KEY_Q, -KEY_Q, -kAltGr})},
        {"level 4: Shift with the pair (de: Z is on the Y key)",
            {Announce('Z'), Down(kShift), Down(kCtrl), Down(kAlt), Down('Z'), Up('Z'), Up(kShift), Up(kCtrl), Up(kAlt)},
            Codes({kLShift, kAltGr, KEY_Y, -KEY_Y, -kLShift, -kAltGr})},
        {"held, then released by a second lookup and press",
            {Announce('Q'), Down(kCtrl), Down(kAlt), Down('Q'), Announce('Q'), Up('Q'), Up(kCtrl), Up(kAlt)},
            Codes({kAltGr, KEY_Q, -KEY_Q, -kAltGr})},
        {"Ctrl and Alt pressed as keys of their own", {Down(kCtrl), Down(kAlt), Up(kCtrl), Up(kAlt)},
            Codes({kLCtrl, kLAlt, -kLCtrl, -kLAlt})},
        {"a question about Ctrl after the lookup: a lone Ctrl press comes",
            {Announce('Q'), Ask(kCtrl), Down(kCtrl), Up(kCtrl)}, Codes({kLCtrl, -kLCtrl})},
        {"a question about the announced key keeps the pair",
            {Announce('Q'), Ask('Q'), Down(kCtrl), Down(kAlt), Up(kCtrl), Up(kAlt)}, Codes({kAltGr, -kAltGr})},
        {"a pause sends the Ctrl held back", {Announce('Q'), Down(kCtrl), Settle(), Up(kCtrl)},
            Codes({kLCtrl, -kLCtrl})},
        {"a key between Ctrl and Alt sends the Ctrl held back first", {Announce('Q'), Down(kCtrl), Down('Q')},
            Codes({kLCtrl, KEY_Q})},
        {"Ctrl pressed and released alone, never sent", {Announce('Q'), Down(kCtrl), Up(kCtrl)}, ""},
        {"after the character's own key the announcement is spent",
            {Announce('Q'), Down('Q'), Up('Q'), Down(kCtrl), Down(kAlt)}, Codes({KEY_Q, -KEY_Q, kLCtrl, kLAlt})},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Sequence(keys, c.ops), c.expected) << c.what;
    }

    // A keymap without a level-3 key: the pair stays Ctrl and Alt.
    KeyTable noLevel3 = keys;
    noLevel3.level3Code = 0;
    EXPECT_EQ(Sequence(noLevel3, {Announce('Q'), Down(kCtrl), Down(kAlt), Up(kCtrl), Up(kAlt)}),
        Codes({kLCtrl, kLAlt, -kLCtrl, -kLAlt}));
}

} // namespace
} // namespace qz
