// clsKeyboard with the X11 layer against a private Xvfb: what arrives in a
// focused window of the test's own, on several layouts switched while the
// program runs, with the lock keys in different states.
#include "keyboard/keyboard.h"
#include "x11_keys.h"
#include "x_server.h"
#include "xkb_decoder.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// After gtest: Xlib defines macros (None, Bool) that gtest's names collide with.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace qz {
namespace {

// A plain window that takes the keyboard focus and collects what the key
// presses it receives type, the way any Xlib client reads them.
class TargetWindow {
public:
    explicit TargetWindow(Display* display)
        : display_(display)
    {
        const int screen = DefaultScreen(display_);
        window_ = XCreateSimpleWindow(display_, RootWindow(display_, screen), 0, 0, 300, 100, 0,
            BlackPixel(display_, screen), WhitePixel(display_, screen));
        XSelectInput(display_, window_, KeyPressMask | StructureNotifyMask);
        XMapWindow(display_, window_);
        XEvent event;
        do {
            XNextEvent(display_, &event);
        } while (event.type != MapNotify);
        XSetInputFocus(display_, window_, RevertToPointerRoot, CurrentTime);
        XSync(display_, False);
    }
    ~TargetWindow()
    {
        XDestroyWindow(display_, window_);
        XCloseDisplay(display_);
    }

    // Everything typed since the last call. The injector has synchronised
    // with the server before its pause, so every key event it sent has been
    // delivered once this connection's round trip returns.
    std::string TakeText()
    {
        XSync(display_, False);
        std::string text;
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == KeyPress) {
                char buffer[16];
                KeySym sym = NoSymbol;
                const int n = XLookupString(&event.xkey, buffer, sizeof buffer, &sym, nullptr);
                text.append(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
            } else if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);
            }
        }
        return text;
    }

    // Whether the server holds a key down whose first level is this keysym
    // (a keymap may have several, as ISO_Level3_Shift on RALT and LVL3).
    bool KeyDown(KeySym sym)
    {
        char keys[32] = {};
        XQueryKeymap(display_, keys);
        for (int kc = 8; kc < 256; ++kc) {
            if (((keys[kc / 8] >> (kc % 8)) & 1) != 0
                && XkbKeycodeToKeysym(display_, static_cast<KeyCode>(kc), 0, 0) == sym) {
                return true;
            }
        }
        return false;
    }

    Display* Connection() const { return display_; }

private:
    Display* display_;
    Window window_;
};

class X11KeyboardTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::string why;
        server_ = test::XServer::StartXvfb(640, 480, why).release();
        if (server_ == nullptr) {
            std::printf("SKIPPED: cannot start a private X server: %s\n", why.c_str());
            std::exit(77);
        }
        if (!server_->SetLayout("us")) {
            std::printf("SKIPPED: setxkbmap cannot set a keyboard layout (is x11-xkb-utils installed?)\n");
            std::exit(77);
        }
    }
    static void TearDownTestSuite()
    {
        delete server_;
        server_ = nullptr;
    }

    void SetUp() override
    {
        ASSERT_TRUE(server_->SetLayout("us"));
        // Other programs on a shared machine may start X servers of their own
        // at the same moment, which can refuse a connection for an instant.
        Display* display = nullptr;
        for (int attempt = 0; attempt < 20 && display == nullptr; ++attempt) {
            display = XOpenDisplay(server_->Display().c_str());
            if (display == nullptr) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        std::string how;
        ASSERT_NE(display, nullptr) << "cannot connect to " << server_->Display()
                                    << (server_->Alive(how) ? " (the server runs)" : ", the server " + how);
        target_ = std::make_unique<TargetWindow>(display);
        for (int attempt = 0; attempt < 20 && (x11_ == nullptr || !x11_->Connected()); ++attempt) {
            x11_ = std::make_unique<test::X11Keys>(server_->Display().c_str(), [] {
                if (QCoreApplication::instance() != nullptr) {
                    QCoreApplication::processEvents();
                }
            });
        }
        ASSERT_TRUE(x11_->Connected());
        injector_ = &x11_->keys;
        kbd_ = std::make_unique<clsKeyboard>(*injector_);
    }

    void TearDown() override
    {
        if (target_ == nullptr) {
            return;
        }
        // Leave Caps Lock off for the next test whatever happened here.
        XkbLockModifiers(target_->Connection(), XkbUseCoreKbd, LockMask, 0);
        XSync(target_->Connection(), False);
    }

    std::string Type(const std::string& text)
    {
        kbd_->PressString(text);
        return target_->TakeText();
    }

    static test::XServer* server_;
    std::unique_ptr<TargetWindow> target_;
    std::unique_ptr<test::X11Keys> x11_;
    KeyInjector* injector_ = nullptr;
    std::unique_ptr<clsKeyboard> kbd_;
};

test::XServer* X11KeyboardTest::server_ = nullptr;

TEST_F(X11KeyboardTest, PadNumberThenButtonTextArriveExactly)
{
    kbd_->PressString("12");
    kbd_->PressString("BUZZ");
    EXPECT_EQ(target_->TakeText(), "12BUZZ");
    EXPECT_EQ(Type("Aa 0-9 B"), "Aa 0-9 B");
}

TEST_F(X11KeyboardTest, FollowsLayoutSwitchesMadeWhileRunning)
{
    // French: digits need Shift and A/Q, Z/W trade places; German: Y and Z
    // trade places. One injector for all of them, as in the running program.
    for (const char* layout : {"fr", "de", "us", "de", "fr"}) {
        SCOPED_TRACE(layout);
        ASSERT_TRUE(server_->SetLayout(layout));
        kbd_->PressString("12");
        kbd_->PressString("BUZZ");
        EXPECT_EQ(target_->TakeText(), "12BUZZ");
        EXPECT_EQ(Type("azqwy 7890"), "azqwy 7890");
    }
}

TEST_F(X11KeyboardTest, AltGrCharactersArriveRight)
{
    // German: @ and backslash on level 3 (AltGr+Q, AltGr+sharp s); French:
    // @ and braces on level 3 of the number row. The pair Ctrl+Alt that
    // announces AltGr must never reach the window as Ctrl and Alt.
    ASSERT_TRUE(server_->SetLayout("de"));
    EXPECT_EQ(Type("a@b\\c"), "a@b\\c");
    ASSERT_TRUE(server_->SetLayout("fr"));
    EXPECT_EQ(Type("{1@2}"), "{1@2}");
    ASSERT_TRUE(server_->SetLayout("de"));
    // Latin-1 letters with a key of their own arrive as themselves; level 4
    // (Shift+AltGr) too.
    EXPECT_EQ(Type("\u00E4\u00D6\u00DF\u00A5"), "\xE4\xD6\xDF\xA5");
}

TEST_F(X11KeyboardTest, AltGrCharacterHeldAndReleasedLaterTypesOnceAndLetsGo)
{
    ASSERT_TRUE(server_->SetLayout("de"));
    kbd_->PressKey("@", true);
    injector_->Pause(std::chrono::milliseconds(0));
    EXPECT_TRUE(target_->KeyDown(XK_ISO_Level3_Shift));
    EXPECT_FALSE(target_->KeyDown(XK_Control_L));
    EXPECT_FALSE(target_->KeyDown(XK_Alt_L));
    kbd_->PressKey("@", false, true);
    injector_->Pause(std::chrono::milliseconds(0));
    EXPECT_FALSE(target_->KeyDown(XK_ISO_Level3_Shift));
    EXPECT_EQ(target_->TakeText(), "@");

    // Ctrl and Alt pressed as keys of their own stay Ctrl and Alt.
    kbd_->PressKeyVK(VirtualKey::kCtrl, true);
    kbd_->PressKeyVK(VirtualKey::kAlt, true);
    injector_->Pause(std::chrono::milliseconds(0));
    EXPECT_TRUE(target_->KeyDown(XK_Control_L));
    EXPECT_TRUE(target_->KeyDown(XK_Alt_L));
    EXPECT_FALSE(target_->KeyDown(XK_ISO_Level3_Shift));
    kbd_->PressKeyVK(VirtualKey::kCtrl, false, true);
    kbd_->PressKeyVK(VirtualKey::kAlt, false, true);
    injector_->Pause(std::chrono::milliseconds(0));
    EXPECT_FALSE(target_->KeyDown(XK_Control_L));
    EXPECT_FALSE(target_->KeyDown(XK_Alt_L));
}

TEST_F(X11KeyboardTest, TypesOnTheActiveGroupOfATwoLayoutKeymap)
{
    ASSERT_TRUE(server_->SetLayout("us,de"));
    EXPECT_EQ(Type("yz@-"), "yz@-");
    // Switch to the German group as a layout switcher would.
    XkbLockGroup(target_->Connection(), XkbUseCoreKbd, 1);
    XSync(target_->Connection(), False);
    EXPECT_EQ(Type("yz-\u00FC"), "yz-\xFC");
    XkbLockGroup(target_->Connection(), XkbUseCoreKbd, 0);
    XSync(target_->Connection(), False);
    EXPECT_EQ(Type("yz\u00FC"), "yz");
}

TEST_F(X11KeyboardTest, VirtualKeysKeepTheFixedNumberingOnEveryLayout)
{
    KeyInjector& keys = *injector_;
    constexpr std::int16_t kShift = KeyInjector::kShiftBit;
    constexpr std::int16_t kAltGr = KeyInjector::kCtrlBit | KeyInjector::kAltBit;
    // US: letters and digits by their upper-case ASCII code, never an X keycode.
    EXPECT_EQ(keys.KeyForCharacter('z'), 'Z');
    EXPECT_EQ(keys.KeyForCharacter('Z'), kShift | 'Z');
    EXPECT_EQ(keys.KeyForCharacter('7'), '7');
    EXPECT_EQ(keys.KeyForCharacter(' '), VirtualKey::kSpace);
    EXPECT_EQ(keys.KeyForCharacter('\r'), VirtualKey::kReturn);
    EXPECT_EQ(keys.KeyForCharacter('-'), VirtualKey::kOemMinus);
    EXPECT_EQ(keys.ScanCode('A'), 30U); // PC scan code of the A key
    EXPECT_EQ(keys.KeyCharacter('A'), static_cast<std::uint32_t>('A'));
    EXPECT_EQ(keys.KeyCharacter(VirtualKey::kHome), 0U); // sent as an extended key
    EXPECT_EQ(keys.KeyCharacter(VirtualKey::kShift), 0U);
    EXPECT_EQ(keys.KeyForCharacter(0xE4), KeyInjector::kNoKey);

    ASSERT_TRUE(server_->SetLayout("de"));
    EXPECT_EQ(keys.KeyForCharacter('z'), 'Z');
    EXPECT_EQ(keys.ScanCode('Z'), 21U); // where Y is on a US board
    EXPECT_EQ(keys.KeyForCharacter('@'), kAltGr | 'Q');
    EXPECT_NE(keys.KeyForCharacter(0xE4), KeyInjector::kNoKey);

    ASSERT_TRUE(server_->SetLayout("fr"));
    EXPECT_EQ(keys.KeyForCharacter('1'), kShift | '1');
    EXPECT_EQ(keys.KeyForCharacter('a'), 'A');
    EXPECT_EQ(keys.ScanCode('A'), 16U); // where Q is on a US board
}

TEST_F(X11KeyboardTest, CharactersTheLayoutLacksSendNothing)
{
    EXPECT_EQ(Type("1\u00E42"), "12"); // no a-umlaut on US
    EXPECT_EQ(Type("\x7F\x01"), "");
}

TEST_F(X11KeyboardTest, WithCapsLockOnLettersArriveInTheOtherCase)
{
    EXPECT_FALSE(test::CapsLockOn(*kbd_));
    kbd_->PressKeyVK(VirtualKey::kCapsLock);
    EXPECT_TRUE(test::CapsLockOn(*kbd_));
    EXPECT_EQ(Type("BUZZ"), "buzz");
    EXPECT_EQ(Type("12 buzz"), "12 BUZZ");
    kbd_->PressKeyVK(VirtualKey::kCapsLock);
    EXPECT_FALSE(test::CapsLockOn(*kbd_));
    EXPECT_EQ(Type("BUZZ"), "BUZZ");
}

TEST_F(X11KeyboardTest, LockKeysReadOnWhileHeldOrToggled)
{
    kbd_->PressKeyVK(VirtualKey::kCapsLock, true);
    injector_->Pause(std::chrono::milliseconds(0)); // the key is down in the server
    // Held down, but the lock itself switched off: still reads as on.
    XkbLockModifiers(target_->Connection(), XkbUseCoreKbd, LockMask, 0);
    XkbStateRec state {};
    XkbGetState(target_->Connection(), XkbUseCoreKbd, &state);
    ASSERT_EQ(state.locked_mods & LockMask, 0);
    ASSERT_TRUE(target_->KeyDown(XK_Caps_Lock));
    EXPECT_TRUE(test::CapsLockOn(*kbd_));
    kbd_->PressKeyVK(VirtualKey::kCapsLock, false, true);
    EXPECT_FALSE(test::CapsLockOn(*kbd_));

    bool caps = true;
    bool num = true;
    bool scroll = true;
    kbd_->GetLockStatus(caps, num, scroll);
    EXPECT_FALSE(num);
    kbd_->PressKeyVK(VirtualKey::kNumLock);
    kbd_->GetLockStatus(caps, num, scroll);
    EXPECT_TRUE(num);
    EXPECT_FALSE(caps);
    kbd_->PressKeyVK(VirtualKey::kNumLock);
    kbd_->GetLockStatus(caps, num, scroll);
    EXPECT_FALSE(num);
}

TEST_F(X11KeyboardTest, PendingQtEventsRunAfterEachCharacterHasArrived)
{
    int argc = 1;
    char name[] = "x11_keyboard_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    std::string seenInEvent;
    const auto post = [&] {
        QMetaObject::invokeMethod(
            &app, [&] { seenInEvent += "[" + target_->TakeText() + "]"; }, Qt::QueuedConnection);
    };
    post();
    kbd_->PressString("ab");
    EXPECT_EQ(seenInEvent, "[a]");
    EXPECT_EQ(target_->TakeText(), "b");

    post();
    kbd_->PressString("cd", false);
    EXPECT_EQ(seenInEvent, "[a]");
    QCoreApplication::processEvents();
    EXPECT_EQ(seenInEvent, "[a][cd]");
}

TEST_F(X11KeyboardTest, KeysLeftHeldAreReleasedWhenTheInjectorGoes)
{
    kbd_->PressKey("A", true);
    injector_->Pause(std::chrono::milliseconds(0));
    EXPECT_TRUE(target_->KeyDown(XK_Shift_L));
    EXPECT_TRUE(target_->KeyDown(XK_a));
    kbd_.reset();
    injector_ = nullptr;
    x11_.reset();
    EXPECT_FALSE(target_->KeyDown(XK_Shift_L));
    EXPECT_FALSE(target_->KeyDown(XK_a));
    EXPECT_EQ(target_->TakeText(), "A");
}

TEST(X11LayerWithoutDisplay, SendsNothingAndDoesNotCrash)
{
    test::X11Keys x11(":65000");
    EXPECT_FALSE(x11.Connected());
    clsKeyboard kbd(x11.keys);
    kbd.PressString("12BUZZ");
    kbd.PressKey("A", true);
    kbd.PressKeyVK(VirtualKey::kCapsLock);
    bool caps = true;
    bool num = true;
    bool scroll = true;
    kbd.GetLockStatus(caps, num, scroll);
    EXPECT_FALSE(caps || num || scroll);
}

} // namespace
} // namespace qz
