// gtest main for window tests: one QApplication for the whole run, on Qt's
// offscreen platform unless the environment names another.
#include <QApplication>
#include <QGuiApplication>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    // A ctest entry says how many screens its configuration file gives; the
    // fixtures pick their tests by that count, so a file that gave another
    // would run the wrong ones.
    bool given = false;
    const int promised = qEnvironmentVariableIntValue("QZ_SCREENS", &given);
    const auto screens = QGuiApplication::screens().size();
    if (given && screens != promised) {
        std::fprintf(
            stderr, "QZ_SCREENS is %d, but the platform has %lld screens\n", promised, static_cast<long long>(screens));
        return 1;
    }
    // Tests run no event loop of their own to quit; closing windows must not
    // stop the nested loops some of them spin.
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
