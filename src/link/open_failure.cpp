#include "link/open_failure.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace qz {

std::string UsbIds(std::uint16_t vendorId, std::uint16_t productId)
{
    char ids[32];
    std::snprintf(ids, sizeof ids, "USB %04" PRIx16 ":%04" PRIx16, vendorId, productId);
    return ids;
}

std::string DescribeOpenFailure(const OpenFailure& failure, std::string_view program)
{
    const std::string name(program);
    const std::string where
        = "the transceiver at " + failure.path + " (" + UsbIds(failure.vendorId, failure.productId) + ")";
    switch (failure.status) {
    case HidLayer::OpenStatus::PermissionDenied: {
        const std::string fix = ". Install the qz470-tester package, or copy its udev rule 60-qz470-tester.rules to "
                                "/etc/udev/rules.d/; then replug the transceiver";
        // A program still looking picks the transceiver up by itself; one
        // that gave up at start must be started again.
        return name + ": no permission to open " + where + fix
            + (failure.whileSearching ? ": " + name + " is looking for it and will pick it up."
                                      : " and start " + name + " again.");
    }
    case HidLayer::OpenStatus::Gone:
        return name + ": " + where + " disappeared before it could be opened.";
    case HidLayer::OpenStatus::Opened:
    case HidLayer::OpenStatus::Failed:
        break;
    }
    return name + ": cannot open " + where + ": " + std::strerror(failure.errorCode) + ".";
}

std::string DescribeNoTransceiver(std::string_view program)
{
    const std::string name(program);
    return name + ": no transceiver found (USB 0003:1001 or 0003:1003). Plug it in, then start " + name + " again.";
}

} // namespace qz
