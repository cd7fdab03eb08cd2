#pragma once

#include "link/hid_layer.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace qz {

// A transceiver that was found but could not be opened, as the link hands it
// to its listener once it has given up on the node for now.
struct OpenFailure {
    std::string path;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    HidLayer::OpenStatus status = HidLayer::OpenStatus::Failed;
    int errorCode = 0; // the platform's error number
    // True when the program is already looking for a transceiver again (after
    // an unplug) and picks this one up by itself once it opens; false at
    // start, after which the program does not look again.
    bool whileSearching = false;
};

// The one line every program prints for an open failure: what went wrong,
// and for a refused node the fix (the package or its udev rule, then a
// replug; at start also starting the program again). `program` is the
// program's name, which starts the line.
std::string DescribeOpenFailure(const OpenFailure& failure, std::string_view program);

// A device as the lines name it: "USB 0003:1003" (vendor:product, in hex).
std::string UsbIds(std::uint16_t vendorId, std::uint16_t productId);

// The line for no transceiver at all: plug one in, then start again.
std::string DescribeNoTransceiver(std::string_view program);

} // namespace qz
