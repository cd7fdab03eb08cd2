#pragma once

// A USB HID device made by the kernel's uhid driver, for tests and benchmarks
// that run inside the qemu VM (tests/support/vm/run_in_vm.sh): the kernel
// gives it a real hidraw node. Without /dev/uhid the program exits 77. The
// VM cannot read the source tree: programs embed the descriptors they need
// (qz_embed_descriptors).

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qz::test {

using Bytes = std::vector<std::uint8_t>;

// Waits (up to `patience`; 0: looks once) until a HID device with the
// transceiver's vendor and this product has a hidraw node; the node, or empty
// when none came. It looks in sysfs and opens nothing.
std::string WaitForHidrawNode(std::uint16_t product, std::chrono::milliseconds patience = std::chrono::seconds(2));

// The qz470-probe that QZ_PROBE names, for a test of it against uhid; exits
// 77 without /dev/uhid or without that program (such a test runs inside the VM).
std::string ProbeInVmOrSkip();

class UhidDevice {
public:
    // Creates the device (vendor 0x0003) and waits until its hidraw node exists.
    UhidDevice(std::uint16_t product, const Bytes& descriptor);
    // Destroys it: an unplug.
    ~UhidDevice();
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    // Sends one input report (its data bytes, as on the wire).
    void Send(const Bytes& data);
    // The next output report the host wrote; empty when none came.
    Bytes Received();
    void Unplug();

private:
    bool Next(std::uint32_t type, void* event = nullptr);

    int fd_ = -1;
};

} // namespace qz::test
