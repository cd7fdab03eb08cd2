// qz470-probe serve's own page in a real browser: Debian's chromium,
// headless, driven by chromium-driver through python3-selenium
// (serve_browser.py), over a transceiver that umockdev emulates. Presses
// appear on the page, an LED command from the page writes the tester's
// bytes, and closing the round shows its ranking. Exits 77 without the
// browser.
#include "reports.h"
#include "served_probe.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace qz {
namespace {

using namespace std::chrono_literals;

TEST(ServeBrowser, PressesShowLedCommandsGoOutAndTheRoundIsRanked)
{
    for (const char* needed : {"/usr/bin/chromium", "/usr/bin/chromedriver", "/usr/bin/python3"}) {
        if (::access(needed, X_OK) != 0) {
            std::printf("SKIP: %s is not installed (Debian: chromium, chromium-driver, python3-selenium)\n", needed);
            std::exit(77);
        }
    }
    // A network of its own keeps the browser's own connections in, when the
    // test may make one.
    const bool privateNetwork = test::EnterPrivateNetwork();
    test::HidTestBed bed;
    const test::EmulatedHid frame = test::AddFrameTransceiver(bed);
    test::ServedProbe served = test::StartServe({}, privateNetwork);
    ASSERT_NE(served.port, 0) << served.process->Stderr();

    // Not under umockdev: the browser sees the real system.
    test::ChildOptions options;
    options.environment = {"LD_PRELOAD="};
    auto browser = test::ChildProcess::Start(
        {"/usr/bin/python3", QZ_BROWSER_SCRIPT, "http://127.0.0.1:" + std::to_string(served.port) + "/"}, options);
    ASSERT_TRUE(browser);
    const auto next = [&browser]() {
        const auto line = browser->ReadLine(60s);
        EXPECT_TRUE(line) << "the browser said nothing more; its standard error: " << browser->Stderr();
        return line.value_or("");
    };
    const std::string ready = next();
    if (ready.rfind("SKIP", 0) == 0) {
        std::printf("%s\n", ready.c_str());
        std::exit(77);
    }
    ASSERT_EQ(ready, "ready");

    const int master = bed.Master(frame);
    ASSERT_TRUE(test::SendAtMaster(master, test::FrameData(5, test::kA)));
    ASSERT_TRUE(test::SendAtMaster(master, test::FrameData(12, test::kBuzz)));
    const std::string presses = next();
    // The newest on top, each with its time.
    EXPECT_EQ(presses.rfind("presses: pad 12 BUZZ ", 0), 0u) << presses;
    EXPECT_NE(presses.find(" s | pad 5 A "), std::string::npos) << presses;

    EXPECT_EQ(next(), "led: sent 00fa0801070002f6af");
    EXPECT_EQ(test::ReceiveAtMaster(master, 9),
        (std::vector<std::uint8_t> {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF}));

    const std::string round = next();
    EXPECT_EQ(round.rfind("round 1: pad 5 A | 2. pad 12 BUZZ +", 0), 0u) << round; // and its delay
    EXPECT_EQ(browser->Wait(60s), 0) << browser->Stderr();

    served.process->Signal(SIGTERM);
    EXPECT_EQ(served.process->Wait(), 0) << served.process->Stderr();
}

} // namespace
} // namespace qz
