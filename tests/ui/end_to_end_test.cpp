// The real program as a person uses it: an emulated transceiver, a real X
// server, the three options ticked with the mouse, the focus in a text field
// of the test's own. A press of pad 7's BUZZ shows "7" and "BUZZ", lights
// pad 7's LED, and types "7" then "BUZZ" into the field; a second press inside
// the lock-out changes nothing; Exit ends the program with success.
#include "x11_harness.h"

#include "reports.h"

#include <QLineEdit>
#include <QTest>

#include <gtest/gtest.h>

namespace qz::test {
namespace {

using namespace std::chrono_literals;

bool Shows(const QRect& rect, double points, const QString& text, std::chrono::milliseconds within = 5s)
{
    const QImage expected = RenderValueLabel(points, rect.size(), text);
    return QTest::qWaitFor(
        [&] { return Difference(GrabScreen(rect), expected) < 0.002; }, static_cast<int>(within.count()));
}

// The main window's design, in logical pixels (twips / 15).
const QRect kPadLabel(390, 24, 390, 213);
const QRect kButtonLabel(390, 244, 390, 169);
const QRect kLockedBox(200, 424, 366, 33);
const QRect kKeysBox(200, 456, 382, 33);
const QRect kLightsBox(200, 488, 382, 33);
const QRect kExitButton(406, 520, 133, 59);

TEST(EndToEnd, APressShowsLightsAndTypesAndExitEndsTheProgram)
{
    std::string why;
    auto device = EmulatedTransceiver::Create(why);
    if (!device) {
        GTEST_SKIP() << why;
    }
    Tester tester(QStringLiteral(QZ_TESTER), device.get());
    const QString main = WaitForWindow("QZ470 Tester", 30s);
    ASSERT_FALSE(main.isEmpty()) << tester.Output().toStdString();
    ASSERT_TRUE(Shows(kPadLabel, 140.25, "")) << "the main window did not paint";

    // Tick the three boxes with the mouse; each must show its tick.
    for (const QRect& box : {kLockedBox, kKeysBox, kLightsBox}) {
        const QImage before = GrabScreen(box);
        ClickAt(main, box.topLeft() + QPoint(40, box.height() / 2));
        EXPECT_TRUE(QTest::qWaitFor([&] { return Difference(GrabScreen(box), before) > 0; }, 5000))
            << "no tick appeared at " << box.y();
    }

    // A text field of our own, away from the program's controls, with the focus.
    QLineEdit field;
    field.setWindowTitle(QStringLiteral("typing target"));
    field.setGeometry(850, 700, 300, 40);
    field.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&field));
    XdoTool({"windowfocus", "--sync", QString::number(field.winId())});
    ASSERT_TRUE(QTest::qWaitFor([&] { return field.hasFocus(); }, 5000)) << "the field did not get the focus";

    ASSERT_TRUE(device->Send(FrameData(7, kBuzz)));
    // The LED frame for pad 7: start, length 8, 1, pad, 0, mode 2 (short), checksum, end.
    EXPECT_EQ(
        device->Receive(9, 5s), (std::vector<std::uint8_t> {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return field.text() == "7BUZZ"; }, 5000)) << field.text().toStdString();
    EXPECT_TRUE(Shows(kPadLabel, 140.25, "7"));
    EXPECT_TRUE(Shows(kButtonLabel, 110.25, "BUZZ"));

    // Inside the lock-out another pad is ignored: no LED, no keys, no change.
    ASSERT_TRUE(device->Send(FrameData(8, kA)));
    EXPECT_TRUE(device->Receive(1, 800ms).empty());
    EXPECT_EQ(field.text(), "7BUZZ");
    EXPECT_TRUE(Shows(kPadLabel, 140.25, "7", 100ms));

    ClickAt(main, kExitButton.center());
    ASSERT_TRUE(tester.WaitForExit(15s)) << tester.Output().toStdString();
    EXPECT_FALSE(tester.Crashed());
    EXPECT_EQ(tester.ExitCode(), 0) << tester.Output().toStdString();
}

TEST(EndToEnd, WithoutADisplayItSaysSoAndEnds)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(QZ_TESTER), {});
    ASSERT_TRUE(process.waitForFinished(20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 1);
    const QString said = QString::fromLocal8Bit(process.readAllStandardError());
    EXPECT_TRUE(said.contains("DISPLAY")) << said.toStdString();
}

} // namespace
} // namespace qz::test
