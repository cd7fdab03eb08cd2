#pragma once

// HID interfaces emulated by umockdev, for tests and benchmarks that run
// under umockdev-wrapper: a "hid" parent with HID_ID and a binary sysfs
// report_descriptor, and its "hidraw" child with a device node. The node is a
// PTY whose other end the test holds. Without umockdev the program exits 77.

#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;

namespace qz::test {

// One emulated HID interface.
struct EmulatedHid {
    std::string hidSysPath;
    std::string hidrawSysPath;
    std::string node; // /dev/hidrawN, as programs name it
};

// The bytes that arrive at the test's end of a node, up to `count`; the
// patience only guards against a hang.
std::vector<std::uint8_t> ReceiveAtMaster(
    int master, std::size_t count, std::chrono::milliseconds patience = std::chrono::seconds(2));
// Writes the bytes whole at the test's end of a node: the program reads them as reports.
bool SendAtMaster(int master, const std::vector<std::uint8_t>& bytes);

class HidTestBed {
public:
    HidTestBed();
    ~HidTestBed();
    HidTestBed(const HidTestBed&) = delete;
    HidTestBed& operator=(const HidTestBed&) = delete;

    // usbPort orders the devices: udev enumerates them by sysfs path. An
    // empty descriptor leaves the report_descriptor attribute out.
    EmulatedHid Add(const std::string& usbPort, std::uint16_t vendor, std::uint16_t product,
        const std::vector<std::uint8_t>& descriptor, const std::string& hidrawName);

    // The test's end of the node's PTY: reports written there are read from
    // the node, and what is written to the node arrives there.
    int Master(const EmulatedHid& hid);

    // Unplug: the device leaves sysfs and the node hangs up.
    void Unplug(const EmulatedHid& hid);

    // The file the node resolves to (the PTY's slave), for chmod or inotify.
    std::string NodeTarget(const EmulatedHid& hid) const;

    // Lets other users into the test bed (for a program run as another user):
    // its files readable, its sockets writable. Node modes are set apart.
    void OpenToOtherUsers() const;

private:
    std::string Root() const;

    UMockdevTestbed* bed_ = nullptr;
    int serial_ = 0;
};

} // namespace qz::test
