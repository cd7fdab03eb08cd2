#pragma once

// The real windows over the scripted HID bus, the test clock and the
// recording key injector, on Qt's offscreen platform.
#include "common/error.h"
#include "fakes/fake_hid_bus.h"
#include "fakes/fake_key_injector.h"
#include "fakes/fake_timer_layer.h"
#include "link/transceiver.h"
#include "ui/frm_main.h"

#include "reports.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qz::test {

// What the labels of both windows showed at one moment.
struct Shown {
    QString pad, button, secondaryPad, secondaryButton;
    bool hasSecondary = false;
};

// The text a run of key events types on the fake's US-like layout.
std::string TypedText(const std::vector<FakeKeyInjector::Event>& events);
// True when every key that went down also came up.
bool AllKeysReleased(const std::vector<FakeKeyInjector::Event>& events);

// How many screens Qt's platform has in this run.
int ScreenCount();

// The windows' tests. Each ctest entry runs all of them on one screen set:
// one, two or three screens, from the offscreen platform's configuration file.
// A fixture names the screen counts its tests are meant for; on any other
// count they skip and say why, so that no test leaves a run unseen.
//
// FormsTest itself: what a second monitor does not change, tested once, on
// one screen.
class FormsTest : public ::testing::Test {
protected:
    explicit FormsTest(std::vector<int> screenCounts = {1});
    ~FormsTest() override;
    void SetUp() override;

    // Builds and shows the main window (its load step runs in the constructor).
    frmMain& Start();
    // Queues one report and lets the next poll tick take it.
    void Press(int pad, FrameKey key);
    // The LED frames written so far.
    const std::vector<ByteArray>& Writes() const { return device->Writes(); }
    Shown Now() const;
    // Clicks a button through Qt's event delivery.
    static void Click(QAbstractButton* button);
    // Queues a click: it runs at the next yield of the event loop.
    static void QueueClick(QAbstractButton* button);

    FakeHidBus bus;
    FakeHidDevice* device = nullptr;
    FakeTimerLayer timers;
    FakeKeyInjector keys;
    std::unique_ptr<frmMain> form;

    // What the hooks saw.
    std::vector<Shown> atSleep; // the labels when the 100 ms pause began
    int yields = 0; // yields after the blank, before the pause
    std::function<void()> atYield; // runs once, inside the next such yield
    std::vector<Error> reported; // errors that ended the program
    std::vector<int> exitStatuses; // statuses the program ended with
    frmMain::Hooks hooks;

private:
    std::vector<int> screenCounts_;
};

// What a second monitor changes (the audience window shown, or loaded hidden
// by the first press): tested on one screen and on two.
class OneOrTwoScreens : public FormsTest {
protected:
    OneOrTwoScreens()
        : FormsTest({1, 2})
    {
    }
};

// The audience window on a monitor of its own: tested on two screens and on
// three, where it must stand just the same.
class TwoScreens : public FormsTest {
protected:
    TwoScreens()
        : FormsTest({2, 3})
    {
    }
};

} // namespace qz::test
