// gtest main for window tests: one QApplication for the whole run, on Qt's
// offscreen platform unless the environment names another.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    // Tests run no event loop of their own to quit; closing windows must not
    // stop the nested loops some of them spin.
    QApplication::setQuitOnLastWindowClosed(false);
    return RUN_ALL_TESTS();
}
