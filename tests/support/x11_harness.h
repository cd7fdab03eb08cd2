#pragma once

// What the tests of the real program on a real X server need: an X server of
// their own (Xvfb, or Xorg with the dummy driver and two RandR monitors), an
// emulated transceiver (umockdev), the program started on both, and a way to
// look at and click on its windows as a person would (xdotool, the screen's
// pixels).
#include "x_server.h"

#include <QImage>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace qz::test {

// Ends the test program as skipped (ctest shows it), saying why.
[[noreturn]] void Skip(const std::string& why);

// One emulated 0x1003 transceiver (8-byte reports, no report IDs) at
// /dev/hidraw0, for processes started with its environment.
class EmulatedTransceiver {
public:
    static std::unique_ptr<EmulatedTransceiver> Create(std::string& why);
    ~EmulatedTransceiver();

    // The report's data bytes as the device sends them.
    bool Send(const std::vector<std::uint8_t>& data);
    // The bytes the program wrote to the device within the time given.
    std::vector<std::uint8_t> Receive(std::size_t count, std::chrono::milliseconds within);
    // The emulated node as this process sees it (its PTY side that the program opens).
    std::string NodePath() const;
    // The device's own end (what Send writes to and Receive reads from), for
    // a harness that waits on it without the event loop; -1 when there is none.
    int DeviceEnd() const;
    // What a process needs to see the emulated device instead of the real /sys and /dev.
    void AddTo(QProcessEnvironment& environment) const;

private:
    explicit EmulatedTransceiver(UMockdevTestbed* bed)
        : bed_(bed)
    {
    }
    UMockdevTestbed* bed_;
};

// What a test changes about how the program starts.
struct Launch {
    // Changes to the environment it would inherit.
    std::function<void(QProcessEnvironment&)> environment;
    // A command to start it through (the program's path is appended), such
    // as setpriv with its options; empty: started directly.
    QStringList through;
};

// The real program, started like a person starts it, on this program's display.
class Tester {
public:
    Tester(const QString& executable, const EmulatedTransceiver* device, const Launch& launch = {});
    ~Tester();

    bool Running() const { return process_.state() != QProcess::NotRunning; }
    qint64 Pid() const { return process_.processId(); }
    // Waits for the program to end; false when it did not.
    bool WaitForExit(std::chrono::milliseconds within);
    int ExitCode() const { return process_.exitCode(); }
    bool Crashed() const { return process_.exitStatus() == QProcess::CrashExit; }
    QString Output();

private:
    QProcess process_;
    QString output_;
};

// xdotool, run synchronously; its standard output.
QString XdoTool(const QStringList& arguments, bool* ok = nullptr);
// The visible top-level windows of a program's class, as X ids.
QStringList WindowsOfClass(const QString& windowClass);
// A window's name and its rectangle on the screen (outer: no window manager runs).
QString WindowName(const QString& window);
QRect WindowGeometry(const QString& window);
// Waits until a visible window with exactly this name exists; empty when none came.
QString WaitForWindow(const QString& name, std::chrono::milliseconds within);
// Clicks at a point of a window, in window coordinates.
void ClickAt(const QString& window, QPoint point);

// The screen's pixels in a rectangle of the root window.
QImage GrabScreen(const QRect& rect);
// How an empty value label, or one showing `text`, looks when painted at this
// design size: the reference the screen is compared with.
QImage RenderValueLabel(double points, QSize size, const QString& text);
// The share of pixels that differ between two images of one size (1 when the sizes differ).
double Difference(const QImage& a, const QImage& b);

} // namespace qz::test
