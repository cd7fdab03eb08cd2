// glib names a member "signals", which Qt defines as a keyword: glib first.
#include <umockdev.h>

#include "x11_harness.h"

#include "ui/form_style.h"

#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::test {

using namespace std::chrono_literals;

void Skip(const std::string& why)
{
    std::printf("SKIP: %s\n", why.c_str());
    std::fflush(stdout);
    std::_Exit(77);
}

// --- X servers ---------------------------------------------------------------

// --- The emulated transceiver ------------------------------------------------

std::unique_ptr<EmulatedTransceiver> EmulatedTransceiver::Create(std::string& why)
{
    UMockdevTestbed* bed = umockdev_testbed_new();
    if (bed == nullptr) {
        why = "umockdev could not make a test bed";
        return nullptr;
    }
    // A 0x1003 transceiver on USB: 8 data bytes each way on a vendor page, no
    // report IDs. Child (hidraw node) and parent (HID interface with its
    // identity and report descriptor).
    static const char* const kRecords
        = "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:0003:1003.0001/hidraw/hidraw0\n"
          "N: hidraw0\n"
          "E: DEVNAME=/dev/hidraw0\n"
          "E: SUBSYSTEM=hidraw\n"
          "\n"
          "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:0003:1003.0001\n"
          "E: SUBSYSTEM=hid\n"
          "E: HID_ID=0003:00000003:00001003\n"
          "E: HID_NAME=QZ470 Transceiver\n"
          "H: report_descriptor=0600FF0901A101150026FF007508950809018102950809019102C0\n";
    const std::string records = kRecords;
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed, records.c_str(), &error)) {
        why = std::string("umockdev refused the device: ") + (error != nullptr ? error->message : "?");
        g_object_unref(bed);
        return nullptr;
    }
    return std::unique_ptr<EmulatedTransceiver>(new EmulatedTransceiver(bed));
}

EmulatedTransceiver::~EmulatedTransceiver()
{
    g_object_unref(bed_);
}

bool EmulatedTransceiver::Send(const std::vector<std::uint8_t>& data)
{
    const int master = umockdev_testbed_get_dev_fd(bed_, "/dev/hidraw0");
    return master >= 0 && write(master, data.data(), data.size()) == static_cast<ssize_t>(data.size());
}

std::vector<std::uint8_t> EmulatedTransceiver::Receive(std::size_t count, std::chrono::milliseconds within)
{
    const int master = umockdev_testbed_get_dev_fd(bed_, "/dev/hidraw0");
    std::vector<std::uint8_t> got;
    if (master < 0) {
        return got;
    }
    // This program's own windows keep working while it waits.
    (void)QTest::qWaitFor(
        [&] {
            pollfd look {master, POLLIN, 0};
            while (got.size() < count && poll(&look, 1, 0) == 1 && (look.revents & POLLIN) != 0) {
                std::uint8_t buffer[64];
                const ssize_t n = read(master, buffer, std::min(sizeof buffer, count - got.size()));
                if (n <= 0) {
                    break;
                }
                got.insert(got.end(), buffer, buffer + n);
            }
            return got.size() >= count;
        },
        static_cast<int>(within.count()));
    return got;
}

int EmulatedTransceiver::DeviceEnd() const
{
    return umockdev_testbed_get_dev_fd(bed_, "/dev/hidraw0");
}

std::string EmulatedTransceiver::NodePath() const
{
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    std::string path = std::string(root) + "/dev/hidraw0";
    g_free(root);
    return path;
}

void EmulatedTransceiver::AddTo(QProcessEnvironment& environment) const
{
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    environment.insert("UMOCKDEV_DIR", QString::fromUtf8(root));
    g_free(root);
    const QString preload = environment.value("LD_PRELOAD");
    environment.insert(
        "LD_PRELOAD", preload.isEmpty() ? "libumockdev-preload.so.0" : "libumockdev-preload.so.0:" + preload);
    // The preload comes before a sanitizer runtime the program may carry.
    const QString asan = environment.value("ASAN_OPTIONS");
    environment.insert("ASAN_OPTIONS", (asan.isEmpty() ? "" : asan + ":") + "verify_asan_link_order=0");
}

// --- The program ---------------------------------------------------------------

Tester::Tester(const QString& executable, const EmulatedTransceiver* device, const Launch& launch)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // What main() picks by itself; the test must not inherit another choice.
    environment.remove("QT_QPA_PLATFORM");
    if (device != nullptr) {
        device->AddTo(environment);
    }
    if (launch.environment) {
        launch.environment(environment);
    }
    process_.setProcessEnvironment(environment);
    process_.setProcessChannelMode(QProcess::MergedChannels);
    if (launch.through.isEmpty()) {
        process_.start(executable, {});
    } else {
        process_.start(launch.through.front(), launch.through.mid(1) << executable);
    }
    process_.waitForStarted(10000);
}

Tester::~Tester()
{
    if (Running()) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool Tester::WaitForExit(std::chrono::milliseconds within)
{
    return QTest::qWaitFor([this] { return !Running(); }, static_cast<int>(within.count()));
}

QString Tester::Output()
{
    output_ += QString::fromLocal8Bit(process_.readAll());
    return output_;
}

// --- Looking and clicking --------------------------------------------------

QString XdoTool(const QStringList& arguments, bool* ok)
{
    QProcess process;
    process.start("xdotool", arguments);
    const bool finished = process.waitForFinished(20000);
    if (ok != nullptr) {
        *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }
    return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

QStringList WindowsOfClass(const QString& windowClass)
{
    return XdoTool({"search", "--onlyvisible", "--class", windowClass}).split('\n', Qt::SkipEmptyParts);
}

QString WindowName(const QString& window)
{
    return XdoTool({"getwindowname", window});
}

QRect WindowGeometry(const QString& window)
{
    // "X=.. Y=.. WIDTH=.. HEIGHT=.." lines, one per value.
    const QStringList lines = XdoTool({"getwindowgeometry", "--shell", window}).split('\n');
    QRect rect;
    for (const QString& line : lines) {
        const int value = line.section('=', 1).toInt();
        if (line.startsWith("X=")) {
            rect.moveLeft(value);
        } else if (line.startsWith("Y=")) {
            rect.moveTop(value);
        } else if (line.startsWith("WIDTH=")) {
            rect.setWidth(value);
        } else if (line.startsWith("HEIGHT=")) {
            rect.setHeight(value);
        }
    }
    return rect;
}

QString WaitForWindow(const QString& name, std::chrono::milliseconds within)
{
    QString window;
    (void)QTest::qWaitFor(
        [&] {
            window = XdoTool({"search", "--onlyvisible", "--name", "^" + name + "$"}).section('\n', 0, 0);
            return !window.isEmpty();
        },
        static_cast<int>(within.count()));
    return window;
}

void ClickAt(const QString& window, QPoint point)
{
    XdoTool({"mousemove", "--window", window, QString::number(point.x()), QString::number(point.y())});
    XdoTool({"click", "1"});
}

QImage GrabScreen(const QRect& rect)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    // Window 0 is the root window: what the X server shows, whoever drew it.
    return screen->grabWindow(0, rect.x(), rect.y(), rect.width(), rect.height())
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
}

QImage RenderValueLabel(double points, QSize size, const QString& text)
{
    ValueLabel label(points, nullptr);
    label.resize(size);
    label.SetText(text);
    return label.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

double Difference(const QImage& a, const QImage& b)
{
    if (a.size() != b.size() || a.isNull()) {
        return 1.0;
    }
    qint64 differing = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* lineA = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* lineB = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x) {
            if (lineA[x] != lineB[x]) {
                ++differing;
            }
        }
    }
    return static_cast<double>(differing) / (static_cast<double>(a.width()) * a.height());
}

} // namespace qz::test
