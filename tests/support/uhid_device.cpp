#include "uhid_device.h"

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
#include <string>
#include <system_error>
#include <thread>

namespace qz::test {

namespace {

using namespace std::chrono_literals;
constexpr std::uint16_t kVendorId = 0x0003;

} // namespace

std::string ProbeInVmOrSkip()
{
    const char* probe = std::getenv("QZ_PROBE");
    if (::access("/dev/uhid", F_OK) != 0 || probe == nullptr || ::access(probe, X_OK) != 0) {
        std::printf("SKIP: no /dev/uhid or no probe in QZ_PROBE (this test runs inside a VM through run_in_vm.sh)\n");
        std::exit(77);
    }
    return probe;
}

UhidDevice::UhidDevice(std::uint16_t product, const Bytes& descriptor)
{
    fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        std::printf("SKIP: no /dev/uhid (this runs inside a VM through run_in_vm.sh)\n");
        std::exit(77);
    }
    uhid_event event {};
    event.type = UHID_CREATE2;
    std::strcpy(reinterpret_cast<char*>(event.u.create2.name), "QZ470 test transceiver");
    std::memcpy(event.u.create2.rd_data, descriptor.data(), descriptor.size());
    event.u.create2.rd_size = static_cast<std::uint16_t>(descriptor.size());
    event.u.create2.bus = 0x03; // USB
    event.u.create2.vendor = kVendorId;
    event.u.create2.product = product;
    if (::write(fd_, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
        std::printf("cannot create a uhid device: %s\n", std::strerror(errno));
    }
    // The driver starts the device before it adds the hidraw node, and
    // devtmpfs makes the node a moment later still: wait for both, or a
    // search right after this finds nothing.
    Next(UHID_START);
    WaitForHidrawNode(product);
}

UhidDevice::~UhidDevice()
{
    Unplug();
}

void UhidDevice::Send(const Bytes& data)
{
    uhid_event event {};
    event.type = UHID_INPUT2;
    event.u.input2.size = static_cast<std::uint16_t>(data.size());
    std::memcpy(event.u.input2.data, data.data(), data.size());
    if (::write(fd_, &event, sizeof event) != static_cast<ssize_t>(sizeof event)) {
        std::printf("cannot send an input report: %s\n", std::strerror(errno));
    }
}

Bytes UhidDevice::Received()
{
    uhid_event event {};
    if (!Next(UHID_OUTPUT, &event)) {
        return {};
    }
    return Bytes(event.u.output.data, event.u.output.data + event.u.output.size);
}

void UhidDevice::Unplug()
{
    if (fd_ >= 0) {
        ::close(fd_); // closing /dev/uhid destroys the device
        fd_ = -1;
    }
}

std::string WaitForHidrawNode(std::uint16_t product, std::chrono::milliseconds patience)
{
    char id[32];
    std::snprintf(id, sizeof id, "HID_ID=0003:%08X:%08X", kVendorId, product);
    const auto until = std::chrono::steady_clock::now() + patience;
    do {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator("/sys/class/hidraw", error)) {
            std::ifstream uevent(entry.path() / "device" / "uevent");
            const std::string text((std::istreambuf_iterator<char>(uevent)), std::istreambuf_iterator<char>());
            const std::string node = "/dev/" + entry.path().filename().string();
            if (text.find(id) != std::string::npos && std::filesystem::exists(node)) {
                return node;
            }
        }
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < until);
    return {};
}

bool UhidDevice::Next(std::uint32_t type, void* out)
{
    const auto until = std::chrono::steady_clock::now() + 2s;
    while (std::chrono::steady_clock::now() < until) {
        pollfd look {fd_, POLLIN, 0};
        uhid_event event {};
        if (::poll(&look, 1, 50) == 1 && ::read(fd_, &event, sizeof event) > 0 && event.type == type) {
            if (out != nullptr) {
                std::memcpy(out, &event, sizeof event);
            }
            return true;
        }
    }
    return false;
}

} // namespace qz::test
