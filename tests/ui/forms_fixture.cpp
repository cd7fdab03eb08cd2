#include "forms_fixture.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMetaObject>
#include <QTest>

#include <algorithm>
#include <string>
#include <utility>

namespace qz::test {

std::string TypedText(const std::vector<FakeKeyInjector::Event>& events)
{
    std::string text;
    bool shift = false;
    for (const auto& e : events) {
        if (e.kind != FakeKeyInjector::Event::Kind::KeyDown && e.kind != FakeKeyInjector::Event::Kind::KeyUp) {
            continue;
        }
        const bool down = e.kind == FakeKeyInjector::Event::Kind::KeyDown;
        if (e.virtualKey == VirtualKey::kShift) {
            shift = down;
        } else if (down && e.virtualKey >= 'A' && e.virtualKey <= 'Z') {
            text += static_cast<char>(shift ? e.virtualKey : e.virtualKey - 'A' + 'a');
        } else if (down) {
            text += static_cast<char>(e.virtualKey);
        }
    }
    return text;
}

bool AllKeysReleased(const std::vector<FakeKeyInjector::Event>& events)
{
    std::vector<int> held(256, 0);
    for (const auto& e : events) {
        if (e.kind == FakeKeyInjector::Event::Kind::KeyDown) {
            ++held[e.virtualKey];
        } else if (e.kind == FakeKeyInjector::Event::Kind::KeyUp) {
            --held[e.virtualKey];
        }
    }
    for (int count : held) {
        if (count != 0) {
            return false;
        }
    }
    return true;
}

int ScreenCount()
{
    return static_cast<int>(QGuiApplication::screens().size());
}

FormsTest::FormsTest(std::vector<int> screenCounts)
    : screenCounts_(std::move(screenCounts))
{
    device = &bus.AddDevice(Transceiver::kVendorId, Transceiver::kFrameModelProductId, 9, 9);
    hooks.processEvents = [this] {
        ++yields;
        if (atYield) {
            // One shot: the action may close the window and end the test's interest.
            const auto action = std::exchange(atYield, nullptr);
            action();
        }
        QCoreApplication::processEvents();
    };
    hooks.sleep = [this](std::chrono::milliseconds duration) {
        EXPECT_EQ(duration, frmMain::kBlankPause);
        atSleep.push_back(Now());
    };
    hooks.reportError = [this](const Error& error) { reported.push_back(error); };
    hooks.exitProgram = [this](int status) { exitStatuses.push_back(status); };
}

void FormsTest::SetUp()
{
    const int screens = ScreenCount();
    if (std::find(screenCounts_.begin(), screenCounts_.end(), screens) == screenCounts_.end()) {
        std::string meant;
        for (int count : screenCounts_) {
            meant += (meant.empty() ? "" : " or ") + std::to_string(count);
        }
        const bool one = screenCounts_ == std::vector<int> {1};
        GTEST_SKIP() << "meant for " << meant << (one ? " screen" : " screens") << "; this run has " << screens;
    }
}

FormsTest::~FormsTest()
{
    form.reset();
    // Let deferred deletions of closed audience windows run.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

frmMain& FormsTest::Start()
{
    form = std::make_unique<frmMain>(bus, timers, keys, hooks);
    form->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    return *form;
}

void FormsTest::Press(int pad, FrameKey key)
{
    device->QueueReport(FrameReport(pad, key));
    timers.Advance(std::chrono::milliseconds(Transceiver::kPollIntervalMs));
}

Shown FormsTest::Now() const
{
    Shown shown;
    shown.pad = form->lblPad->text();
    shown.button = form->lblButton->text();
    if (frmSecondary* secondary = form->Secondary()) {
        shown.hasSecondary = true;
        shown.secondaryPad = secondary->lblPad->text();
        shown.secondaryButton = secondary->lblButton->text();
    }
    return shown;
}

void FormsTest::Click(QAbstractButton* button)
{
    QTest::mouseClick(button, Qt::LeftButton);
}

void FormsTest::QueueClick(QAbstractButton* button)
{
    QMetaObject::invokeMethod(button, &QAbstractButton::click, Qt::QueuedConnection);
}

} // namespace qz::test
