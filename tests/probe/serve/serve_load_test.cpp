// qz470-probe serve under load, in the normal build only: 50 clients and
// 10,000 presses at about one a millisecond, over a transceiver that umockdev
// emulates. Every client gets every press, in order, while one more client
// that never reads falls behind and is dropped.
#include "reports.h"
#include "served_probe.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

namespace qz {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 50;
constexpr int kPresses = 10000;
const test::FrameKey kKeys[] = {test::kA, test::kB, test::kC, test::kD, test::kBuzz};
const char* const kButtons[] = {"A", "B", "C", "D", "BUZZ"};

// How press i ends as a frame, pads 1 to 255 and the buttons in turn:
// {"event":"press","time_ms":...,"raw":"...","pad":5,"button":"A"}
std::string TailOf(int i)
{
    return ",\"pad\":" + std::to_string(1 + i % 255) + ",\"button\":\"" + kButtons[i % 5] + "\"}";
}

TEST(ServeLoad, FiftyClientsGetEveryPressInOrderAndOneThatNeverReadsIsDropped)
{
    const bool privateNetwork = test::EnterPrivateNetwork();
    test::HidTestBed bed;
    const test::EmulatedHid frame = test::AddFrameTransceiver(bed);
    test::ServedProbe served = test::StartServe({}, privateNetwork);
    ASSERT_NE(served.port, 0) << served.process->Stderr();
    std::vector<std::unique_ptr<test::RawConnection>> clients;
    std::vector<pollfd> fds;
    for (int c = 0; c < kClients; ++c) {
        clients.push_back(test::OpenClient(served.port));
        ASSERT_TRUE(clients.back()) << "client " << c;
        fds.push_back({clients.back()->Fd(), POLLIN, 0});
    }
    const auto stuck = test::OpenClient(served.port, 4096);
    ASSERT_TRUE(stuck);

    // Each report whole: should the probe fall behind, a write waits rather
    // than split a report. The presses wait, too, for the slowest reading
    // client of this test to come within kSlack frames: on a busy machine
    // this thread may outrun the one that reads for all 50, whose clients
    // the probe would then drop, rightly, as it drops the stuck one.
    constexpr int kSlack = 400; // well below the probe's queue of 1000 frames
    std::atomic<int> slowest {0};
    const int master = bed.Master(frame);
    std::thread presses([master, &slowest]() {
        Clock::time_point due = Clock::now();
        for (int i = 0; i < kPresses; ++i) {
            std::this_thread::sleep_until(due += 1ms);
            while (i - slowest.load() > kSlack) {
                std::this_thread::sleep_for(1ms);
                due = Clock::now();
            }
            const ByteArray report = test::FrameData(1 + i % 255, kKeys[i % 5]);
            for (std::size_t done = 0; done < report.size();) {
                const ssize_t n = ::write(master, report.data() + done, report.size() - done);
                if (n < 0 && errno != EINTR && errno != EAGAIN) {
                    return;
                }
                done += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
        }
    });

    // Each client's presses against the order they were sent in, as text,
    // which is cheap enough for the test to keep up.
    std::vector<int> received(kClients, 0);
    std::vector<std::string> faults(kClients);
    const Clock::time_point guard = Clock::now() + 120s; // against a hang only
    for (int complete = 0; complete < kClients && Clock::now() < guard;) {
        if (::poll(fds.data(), fds.size(), 1000) <= 0) {
            continue;
        }
        for (int c = 0; c < kClients; ++c) {
            if (fds[c].revents == 0) {
                continue;
            }
            const bool open = clients[c]->ReadAvailable();
            while (const auto frame = clients[c]->TakeFrame()) {
                const int i = received[c]++;
                if (faults[c].empty()
                    && (frame->opcode != 1 || frame->payload.rfind("{\"event\":\"press\",", 0) != 0
                        || !frame->payload.ends_with(TailOf(i)))) {
                    faults[c] = "press " + std::to_string(i) + " came as " + frame->payload;
                }
            }
            if (!open || received[c] >= kPresses) {
                fds[c].fd = -1;
                ++complete;
            }
        }
        int least = kPresses;
        for (int c = 0; c < kClients; ++c) {
            least = fds[c].fd >= 0 ? std::min(least, received[c]) : least;
        }
        slowest = least;
    }
    slowest = kPresses; // should the guard have ended the reading
    presses.join();
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(faults[c], "") << "client " << c;
        EXPECT_EQ(received[c], kPresses) << "client " << c;
    }

    // The one that never read: what it was sent before it was dropped, then
    // a close with 1008 if that still fitted, or the end of the connection.
    int stuckPresses = 0;
    auto last = stuck->ReadFrame(5s);
    for (; last && last->opcode == 1; last = stuck->ReadFrame(5s)) {
        ++stuckPresses;
    }
    EXPECT_TRUE(last ? last->CloseCode() == 1008 : stuck->Ended(5s));
    EXPECT_LT(stuckPresses, kPresses);

    served.process->Signal(SIGTERM);
    EXPECT_EQ(served.process->Wait(), 0);
    for (const char* said : {"so it was dropped; the others lost nothing.", "(10000 presses, 0 not a press)"}) {
        EXPECT_NE(served.process->Stderr().find(said), std::string::npos) << served.process->Stderr();
    }
}

} // namespace
} // namespace qz
