// The layer between the typing logic and a sink, on keymaps compiled from
// names: what a sink receives for held keys, layout switches, lock states and
// pauses.
#include "fakes/fake_key_sink.h"
#include "keyboard/keyboard.h"
#include "keyboard/layout_key_injector.h"
#include "keyboard/switchable_key_injector.h"
#include "keyboard/xkb/xkb_names_layout.h"
#include "xkb_decoder.h"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <memory>
#include <optional>
#include <utility>

namespace qz {
namespace {

using Sink = FakeKeySink;
using Events = std::vector<Sink::Event>;

using test::CompileOrSkip;

// A layout whose keymap is replaced right after the first lookup, as a new
// keymap from the X server or the compositor can be at any moment.
class SwappedLayout final : public KeyLayout {
public:
    SwappedLayout(std::shared_ptr<const KeyTable> first, std::shared_ptr<const KeyTable> then)
        : first_(std::move(first))
        , then_(std::move(then))
    {
    }
    std::shared_ptr<const KeyTable> Keys(bool /*sync*/) override { return calls_++ == 0 ? first_ : then_; }
    std::optional<bool> LockOn(LockKey /*lock*/) override { return std::nullopt; }
    bool KeyDown(std::uint16_t /*code*/) override { return false; }

private:
    std::shared_ptr<const KeyTable> first_;
    std::shared_ptr<const KeyTable> then_;
    int calls_ = 0;
};

class LayoutKeyInjectorTest : public ::testing::Test {
protected:
    void Use(const char* names)
    {
        kbd_.reset();
        keys_.reset();
        layout_ = CompileOrSkip(names);
        keys_ = std::make_unique<LayoutKeyInjector>(*layout_, sink_);
        kbd_ = std::make_unique<clsKeyboard>(*keys_);
    }

    void ExpectEvents(const Events& expected)
    {
        const Events actual = sink_.TakeEvents();
        EXPECT_EQ(actual, expected) << "actual:   " << Sink::Describe(actual)
                                    << "\nexpected: " << Sink::Describe(expected);
    }

    Sink sink_;
    std::unique_ptr<XkbNamesLayout> layout_;
    std::unique_ptr<LayoutKeyInjector> keys_;
    std::unique_ptr<clsKeyboard> kbd_;
};

TEST_F(LayoutKeyInjectorTest, EveryCharacterReachesTheSinkBeforeItsPause)
{
    Use("us");
    kbd_->PressString("aB", false);
    ExpectEvents({Sink::Down(KEY_A), Sink::Up(KEY_A), Sink::Flushed(), Sink::Down(KEY_LEFTSHIFT), Sink::Down(KEY_B),
        Sink::Up(KEY_B), Sink::Up(KEY_LEFTSHIFT), Sink::Flushed()});
}

TEST_F(LayoutKeyInjectorTest, KeysStillHeldAreReleasedWhenTheLayerGoes)
{
    Use("de");
    kbd_->PressKey("@", true);
    kbd_->PressKeyVK(VirtualKey::kShift, true);
    ExpectEvents({Sink::Down(KEY_RIGHTALT), Sink::Down(KEY_Q), Sink::Down(KEY_LEFTSHIFT)});
    kbd_.reset();
    keys_.reset();
    ExpectEvents({Sink::Up(KEY_Q), Sink::Up(KEY_LEFTSHIFT), Sink::Up(KEY_RIGHTALT), Sink::Flushed()});

    // Nothing held: nothing to send.
    Use("de");
    kbd_->PressKey("@");
    sink_.TakeEvents();
    kbd_.reset();
    keys_.reset();
    ExpectEvents({});
}

TEST_F(LayoutKeyInjectorTest, AKeyHeldAcrossALayoutSwitchIsReleasedWhereItWentDown)
{
    Use("us,de");
    kbd_->PressKey("z", true); // US: the Z key
    layout_->SetGroup(1); // German: Z is on the Y key now
    kbd_->PressKey("z", false, true);
    ExpectEvents({Sink::Down(KEY_Z), Sink::Up(KEY_Z)});
    kbd_->PressKey("z");
    ExpectEvents({Sink::Down(KEY_Y), Sink::Up(KEY_Y)});
}

TEST_F(LayoutKeyInjectorTest, ACharacterIsTypedWhollyFromTheTableItsKeyWasFoundIn)
{
    // @ is AltGr+Q on the German keymap; right after its lookup the keymap
    // becomes a US one without a level-3 key.
    auto us = std::make_shared<KeyTable>(*CompileOrSkip("us")->Keys(true));
    us->level3Code = 0;
    SwappedLayout layout(CompileOrSkip("de")->Keys(true), us);
    LayoutKeyInjector keys(layout, sink_);
    clsKeyboard kbd(keys);
    kbd.PressString("@z", false);
    // No Ctrl+Alt and no key code 0 for @; z, looked up after the pause, on the US keys.
    ExpectEvents({Sink::Down(KEY_RIGHTALT), Sink::Down(KEY_Q), Sink::Up(KEY_Q), Sink::Up(KEY_RIGHTALT), Sink::Flushed(),
        Sink::Down(KEY_Z), Sink::Up(KEY_Z), Sink::Flushed()});
}

TEST_F(LayoutKeyInjectorTest, LockStatesComeFromTheSinksLedsFirst)
{
    Use("us");
    EXPECT_FALSE(test::CapsLockOn(*kbd_)); // neither the sink nor a keymap from names can tell: off
    sink_.SetLed(LockKey::kCaps, true);
    EXPECT_TRUE(test::CapsLockOn(*kbd_));
    sink_.SetLed(LockKey::kCaps, false);
    EXPECT_FALSE(test::CapsLockOn(*kbd_));
    // Held down reads as on, whatever the lock.
    kbd_->PressKeyVK(VirtualKey::kCapsLock, true);
    EXPECT_TRUE(test::CapsLockOn(*kbd_));
    kbd_->PressKeyVK(VirtualKey::kCapsLock, false, true);
    EXPECT_FALSE(test::CapsLockOn(*kbd_));
}

TEST_F(LayoutKeyInjectorTest, ASinkSwitchedBetweenTwoCharactersTakesTheRestAndTheOldOneLetsGo)
{
    Use("us");
    Sink later;
    int yields = 0;
    SwitchableKeyInjector switchable(*layout_, sink_, [&] {
        // The desktop's answer arrives while the first character's events run.
        if (++yields == 1) {
            switchable.Switch(*layout_, later);
        }
    });
    clsKeyboard kbd(switchable);
    kbd.PressKey("@", true); // held on the first sink
    kbd.PressString("ab");
    ExpectEvents({Sink::Down(KEY_LEFTSHIFT), Sink::Down(KEY_2), Sink::Down(KEY_A), Sink::Up(KEY_A), Sink::Flushed(),
        Sink::Up(KEY_2), Sink::Up(KEY_LEFTSHIFT), Sink::Flushed()});
    EXPECT_EQ(later.TakeEvents(), (Events {Sink::Down(KEY_B), Sink::Up(KEY_B), Sink::Flushed()}));
}

} // namespace
} // namespace qz
