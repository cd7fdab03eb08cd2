// The real program on Xorg with two monitors: the main window covers the
// primary monitor, the audience window stands 60 twips (4 px) right of it,
// and both show a press. Leaves a screenshot of each window in the build
// directory (or QZ_SCREENSHOT_DIR).
#include "x11_harness.h"

#include "reports.h"

#include <QGuiApplication>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

namespace qz::test {
namespace {

using namespace std::chrono_literals;

QString ScreenshotDir()
{
    const QString dir = qEnvironmentVariable("QZ_SCREENSHOT_DIR");
    return dir.isEmpty() ? QStringLiteral(QZ_TEST_BINARY_DIR) : dir;
}

// Waits until a screen rectangle looks like a value label showing `text`.
bool Shows(const QRect& rect, double points, const QString& text)
{
    const QImage expected = RenderValueLabel(points, rect.size(), text);
    return QTest::qWaitFor([&] { return Difference(GrabScreen(rect), expected) < 0.002; }, 5000);
}

TEST(TwoMonitors, MainWindowCoversThePrimaryMonitorAndTheAudienceWindowStandsRightOfIt)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    ASSERT_EQ(screens.size(), 2);
    const QRect primary = QGuiApplication::primaryScreen()->geometry();
    ASSERT_EQ(primary, QRect(0, 0, 1920, 1080));

    std::string why;
    auto device = EmulatedTransceiver::Create(why);
    if (!device) {
        GTEST_SKIP() << why;
    }
    Tester tester(QStringLiteral(QZ_TESTER), device.get());
    const QString main = WaitForWindow("QZ470 Tester", 30s);
    ASSERT_FALSE(main.isEmpty()) << tester.Output().toStdString();
    QStringList windows;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (windows = WindowsOfClass("qz470-tester")).size() == 2; }, 10000))
        << windows.join(' ').toStdString();
    windows.removeAll(main);
    ASSERT_EQ(windows.size(), 1);
    const QString audience = windows.first();

    // No window manager: the outer rectangle is the window's own.
    EXPECT_TRUE(QTest::qWaitFor([&] { return WindowGeometry(main) == primary; }, 5000))
        << "main window at " << WindowGeometry(main).x() << "," << WindowGeometry(main).y() << " "
        << WindowGeometry(main).width() << "x" << WindowGeometry(main).height();
    const QRect expectedAudience(primary.right() + 1 + 4, primary.top(), primary.width(), primary.height());
    EXPECT_TRUE(QTest::qWaitFor([&] { return WindowGeometry(audience) == expectedAudience; }, 5000))
        << "audience window at " << WindowGeometry(audience).x() << "," << WindowGeometry(audience).y() << " "
        << WindowGeometry(audience).width() << "x" << WindowGeometry(audience).height();

    ASSERT_TRUE(device->Send(FrameData(7, kBuzz)));
    EXPECT_TRUE(Shows(QRect(390, 24, 390, 213), 140.25, "7"));
    EXPECT_TRUE(Shows(QRect(390, 244, 390, 169), 110.25, "BUZZ"));
    EXPECT_TRUE(Shows(QRect(expectedAudience.x() + 384, 50, 398, 261), 140.25, "7"));
    EXPECT_TRUE(Shows(QRect(expectedAudience.x() + 384, 318, 398, 249), 110.25, "BUZZ"));

    const QString dir = ScreenshotDir();
    EXPECT_TRUE(GrabScreen(primary).save(dir + "/screenshot-main.png"));
    // The right monitor, from the audience window's left edge.
    EXPECT_TRUE(GrabScreen(QRect(expectedAudience.x(), 0, 3200 - expectedAudience.x(), 1024))
                    .save(dir + "/screenshot-secondary.png"));

    // "EXIT" holds the audience window's focus: Space presses it and ends the
    // program, with success. (The pointer cannot reach the right monitor here:
    // the X server keeps it on the one real output.)
    XdoTool({"windowfocus", "--sync", audience});
    XdoTool({"key", "space"});
    ASSERT_TRUE(tester.WaitForExit(15s)) << tester.Output().toStdString();
    EXPECT_FALSE(tester.Crashed());
    EXPECT_EQ(tester.ExitCode(), 0) << tester.Output().toStdString();
}

} // namespace
} // namespace qz::test
