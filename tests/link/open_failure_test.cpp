// The wording every program uses for a transceiver it cannot use. The README
// and the man page quote the permission line word for word.
#include "link/open_failure.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace qz {
namespace {

TEST(OpenFailureText, EachFailureHasItsOneLine)
{
    const struct {
        OpenFailure failure;
        const char* program;
        std::string line;
    } cases[] = {
        {{"/dev/hidraw0", 0x0003, 0x1003, HidLayer::OpenStatus::PermissionDenied, EACCES}, "qz470-tester",
            "qz470-tester: no permission to open the transceiver at /dev/hidraw0 (USB 0003:1003). Install the "
            "qz470-tester package, or copy its udev rule 60-qz470-tester.rules to /etc/udev/rules.d/; then replug "
            "the transceiver and start qz470-tester again."},
        {{"/dev/hidraw7", 0x0003, 0x1001, HidLayer::OpenStatus::PermissionDenied, EPERM}, "qz470-probe",
            "qz470-probe: no permission to open the transceiver at /dev/hidraw7 (USB 0003:1001). Install the "
            "qz470-tester package, or copy its udev rule 60-qz470-tester.rules to /etc/udev/rules.d/; then replug "
            "the transceiver and start qz470-probe again."},
        // Already looking again after an unplug: the replug is enough.
        {{"/dev/hidraw4", 0x0003, 0x1003, HidLayer::OpenStatus::PermissionDenied, EACCES, true}, "qz470-tester",
            "qz470-tester: no permission to open the transceiver at /dev/hidraw4 (USB 0003:1003). Install the "
            "qz470-tester package, or copy its udev rule 60-qz470-tester.rules to /etc/udev/rules.d/; then replug "
            "the transceiver: qz470-tester is looking for it and will pick it up."},
        {{"/dev/hidraw2", 0x0003, 0x1003, HidLayer::OpenStatus::Failed, EBUSY}, "qz470-tester",
            std::string("qz470-tester: cannot open the transceiver at /dev/hidraw2 (USB 0003:1003): ")
                + std::strerror(EBUSY) + "."},
        {{"/dev/hidraw3", 0x0003, 0x1003, HidLayer::OpenStatus::Gone, ENODEV}, "qz470-tester",
            "qz470-tester: the transceiver at /dev/hidraw3 (USB 0003:1003) disappeared before it could be opened."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(DescribeOpenFailure(c.failure, c.program), c.line);
    }
    EXPECT_EQ(DescribeNoTransceiver("qz470-tester"),
        "qz470-tester: no transceiver found (USB 0003:1001 or 0003:1003). Plug it in, then start qz470-tester again.");
}

} // namespace
} // namespace qz
