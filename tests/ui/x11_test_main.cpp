// main() for the tests of the real program on an X server of their own. The
// server is started before the application object, which connects to it;
// with QZ_X_SERVER_OF_EACH_TEST, each test starts its own (a compositor's
// Xwayland), and the application is on Qt's offscreen platform. Every test
// skipped (or the server unavailable): exit 77, so ctest shows it.
#include "x11_harness.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#ifndef QZ_X_SERVER_TWO_MONITORS
#define QZ_X_SERVER_TWO_MONITORS 0
#endif
#ifndef QZ_X_SERVER_OF_EACH_TEST
#define QZ_X_SERVER_OF_EACH_TEST 0
#endif

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (std::system("command -v xdotool >/dev/null 2>&1") != 0) {
        qz::test::Skip("xdotool is not installed");
    }
    std::string why;
    std::unique_ptr<qz::test::XServer> server;
    if (QZ_X_SERVER_OF_EACH_TEST) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else {
        server = QZ_X_SERVER_TWO_MONITORS ? qz::test::XServer::StartXorgTwoMonitors(why)
                                          : qz::test::XServer::StartXvfb(1280, 1024, why);
        if (!server) {
            qz::test::Skip(why);
        }
        qputenv("DISPLAY", QByteArray::fromStdString(server->Display()));
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    int status = 0;
    {
        QApplication app(argc, argv);
        status = RUN_ALL_TESTS();
    }
    const auto* unit = ::testing::UnitTest::GetInstance();
    if (status == 0 && unit->successful_test_count() == unit->skipped_test_count() && unit->skipped_test_count() > 0) {
        status = 77;
    }
    return status;
}
