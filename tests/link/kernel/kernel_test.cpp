// The hidraw layer and the Transceiver against a real kernel's hidraw, with
// transceivers made through /dev/uhid: what umockdev's PTY nodes cannot show
// (one whole report per read, the report ID rules of reads and writes,
// hang-up on unplug, a return at the very same node). run_in_qemu.sh boots a
// kernel with this test as its only program; elsewhere it exits 77.
#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"
#include "timer/fake_timer_layer.h"

#include "kernel_descriptors.h"
#include "reports.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

// The descriptors of tests/data/descriptors, embedded at build time.
const Bytes kFrameDescriptor(std::begin(embedded::kTransceiver1003), std::end(embedded::kTransceiver1003));
const Bytes kReportIdDescriptor(std::begin(embedded::kTransceiverReportIds), std::end(embedded::kTransceiverReportIds));
const Bytes kCodeDescriptor(std::begin(embedded::kTransceiver1001), std::end(embedded::kTransceiver1001));
const Bytes kFramePad5A = test::FrameData(5, test::kA);
const Bytes kFramePad11B = test::FrameData(11, test::kB);

// A USB HID device emulated by the kernel's uhid driver.
class UhidDevice {
public:
    UhidDevice(std::uint16_t product, const Bytes& descriptor)
    {
        fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
        if (fd_ < 0) {
            std::printf("SKIP: no /dev/uhid (this test runs inside a VM through run_in_qemu.sh)\n");
            std::exit(77);
        }
        uhid_event event {};
        event.type = UHID_CREATE2;
        std::strcpy(reinterpret_cast<char*>(event.u.create2.name), "QZ470 test transceiver");
        std::memcpy(event.u.create2.rd_data, descriptor.data(), descriptor.size());
        event.u.create2.rd_size = static_cast<std::uint16_t>(descriptor.size());
        event.u.create2.bus = 0x03; // USB
        event.u.create2.vendor = Transceiver::kVendorId;
        event.u.create2.product = product;
        EXPECT_EQ(::write(fd_, &event, sizeof event), static_cast<ssize_t>(sizeof event));
        // The driver starts the device before it adds the hidraw node, and
        // devtmpfs makes the node a moment later still: wait for both, or a
        // search right after this finds nothing.
        Next(UHID_START);
        WaitForNode(product);
    }
    ~UhidDevice() { Unplug(); }

    void Send(const Bytes& data)
    {
        uhid_event event {};
        event.type = UHID_INPUT2;
        event.u.input2.size = static_cast<std::uint16_t>(data.size());
        std::memcpy(event.u.input2.data, data.data(), data.size());
        EXPECT_EQ(::write(fd_, &event, sizeof event), static_cast<ssize_t>(sizeof event));
    }

    // The next output report the host wrote, as the device receives it.
    Bytes Received()
    {
        uhid_event event {};
        if (!Next(UHID_OUTPUT, &event)) {
            return {};
        }
        return Bytes(event.u.output.data, event.u.output.data + event.u.output.size);
    }

    void Unplug()
    {
        if (fd_ >= 0) {
            ::close(fd_); // closing /dev/uhid destroys the device
            fd_ = -1;
        }
    }

private:
    static void WaitForNode(std::uint16_t product)
    {
        char id[32];
        std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X", Transceiver::kVendorId, product);
        const auto until = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < until) {
            for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw")) {
                std::ifstream uevent(entry.path() / "device" / "uevent");
                const std::string text((std::istreambuf_iterator<char>(uevent)), std::istreambuf_iterator<char>());
                if (text.find(id) != std::string::npos
                    && std::filesystem::exists("/dev/" + entry.path().filename().string())) {
                    return;
                }
            }
            std::this_thread::sleep_for(10ms);
        }
    }

    bool Next(std::uint32_t type, uhid_event* out = nullptr)
    {
        const auto until = std::chrono::steady_clock::now() + 2s;
        while (std::chrono::steady_clock::now() < until) {
            pollfd look {fd_, POLLIN, 0};
            uhid_event event {};
            if (::poll(&look, 1, 50) == 1 && ::read(fd_, &event, sizeof event) > 0 && event.type == type) {
                if (out != nullptr) {
                    *out = event;
                }
                return true;
            }
        }
        return false;
    }

    int fd_ = -1;
};

struct Press {
    std::int16_t remote;
    std::string button;
};

class KernelTest : public ::testing::Test {
protected:
    Transceiver& Make()
    {
        dev = std::make_unique<Transceiver>(layer, timers);
        dev->SetButtonPressedHandler([this](TransceiverData& TRData) {
            presses.push_back({TRData.Remote(), TRData.Button()});
        });
        return *dev;
    }
    // One poll tick, after the kernel has had a moment to queue what was sent.
    void Tick()
    {
        std::this_thread::sleep_for(20ms);
        timers.Advance(30ms);
    }
    void TearDown() override { dev.reset(); }

    HidrawLayer layer;
    FakeTimerLayer timers;
    std::unique_ptr<Transceiver> dev;
    std::vector<Press> presses;
};

TEST_F(KernelTest, FrameModelReadsOneWholeReportPerTickAndLightsLeds)
{
    UhidDevice device(Transceiver::kFrameModelProductId, kFrameDescriptor);
    Transceiver& t = Make();
    ASSERT_TRUE(t.Ready());
    EXPECT_FALSE(t.CmdModel());
    EXPECT_EQ(t.ReportBuffer().size(), 10u);

    device.Send(kFramePad5A);
    device.Send(kFramePad11B);
    Tick();
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].remote, 5);
    EXPECT_EQ(t.ReportBuffer()[0], 0); // no report IDs: a 0 in front
    Tick();
    ASSERT_EQ(presses.size(), 2u);
    EXPECT_EQ(presses[1].remote, 11);
    EXPECT_EQ(presses[1].button, "B");

    t.LEDOnShort(5);
    EXPECT_EQ(device.Received(), (Bytes {0x00, 0xFA, 0x08, 0x01, 0x05, 0x00, 0x02, 0xF4, 0xAF}));
}

TEST_F(KernelTest, UnplugAndReturnAtTheSameNode)
{
    auto device = std::make_unique<UhidDevice>(Transceiver::kFrameModelProductId, kFrameDescriptor);
    Transceiver& t = Make();
    const std::string node = t.DevicePath();
    device.reset();
    std::this_thread::sleep_for(100ms);
    t.LEDOn(1); // a write to the vanished node fails quietly
    Tick();
    EXPECT_FALSE(t.Connected());
    EXPECT_TRUE(t.Ready());

    device = std::make_unique<UhidDevice>(Transceiver::kFrameModelProductId, kFrameDescriptor);
    for (int i = 0; i < 20 && !t.Connected(); ++i) {
        Tick();
    }
    ASSERT_TRUE(t.Connected());
    EXPECT_EQ(t.DevicePath(), node);
    device->Send(kFramePad5A);
    Tick();
    EXPECT_EQ(presses.size(), 1u);
}

TEST_F(KernelTest, ReportIdsStayAtIndexZero)
{
    UhidDevice device(Transceiver::kFrameModelProductId, kReportIdDescriptor);
    Transceiver& t = Make();
    ASSERT_EQ(t.ReportBuffer().size(), 10u);
    Bytes report {0x05};
    report.insert(report.end(), kFramePad5A.begin(), kFramePad5A.end());
    device.Send(report);
    Tick();
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(t.ReportBuffer()[0], 5);
}

TEST_F(KernelTest, CmdModelReadsCodeReportsAndSendsCmdReports)
{
    UhidDevice device(Transceiver::kCmdModelProductId, kCodeDescriptor);
    Transceiver& t = Make();
    ASSERT_TRUE(t.CmdModel());
    EXPECT_EQ(t.ReportBuffer().size(), 4u);
    device.Send({0x00, 0x80});
    Tick();
    ASSERT_EQ(presses.size(), 1u);
    EXPECT_EQ(presses[0].remote, 1);
    EXPECT_EQ(presses[0].button, "A");
    t.LEDOn(1);
    EXPECT_EQ(device.Received(), (Bytes {0x00, 0x63, 0x6D, 0x64, 0x29, 0x00}));
}

} // namespace
} // namespace qz
