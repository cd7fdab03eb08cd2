#pragma once

// The real windows over the scripted HID bus, the test clock and the
// recording key injector, on Qt's offscreen platform.
#include "common/error.h"
#include "keyboard/fake_key_injector.h"
#include "link/fake_hid_bus.h"
#include "link/transceiver.h"
#include "timer/fake_timer_layer.h"
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

class FormsTest : public ::testing::Test {
protected:
    FormsTest();
    ~FormsTest() override;

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
    int yields = 0; // step-4 yields
    std::function<void()> atYield; // runs once, inside the next step-4 yield
    std::vector<Error> reported; // errors that ended the program
    std::vector<int> exitStatuses; // statuses the program ended with
    frmMain::Hooks hooks;
};

} // namespace qz::test
