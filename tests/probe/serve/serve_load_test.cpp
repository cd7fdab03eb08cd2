// qz470-probe serve under load, in the normal build only: 50 clients and
// 10,000 presses at about one a millisecond, over a transceiver that umockdev
// emulates. Every client gets every press, in order, while one more client
// that never reads falls behind and is dropped.
#include "raw_http.h"
#include "reports.h"
#include "served_probe.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include <thread>

namespace qz {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kClients = 50;
constexpr int kPresses = 10000;

// Press i: pads 1 to 255 and the five buttons in turn.
int PadOf(int i)
{
    return 1 + i % 255;
}
const test::FrameKey kKeys[] = {test::kA, test::kB, test::kC, test::kD, test::kBuzz};
const char* const kButtons[] = {"A", "B", "C", "D", "BUZZ"};

std::unique_ptr<test::RawConnection> Client(std::uint16_t port, int receiveBuffer = 0)
{
    auto client = test::RawConnection::Open("127.0.0.1", port, receiveBuffer);
    if (!client || !client->Write(test::GetRequest("/ws", "127.0.0.1:" + std::to_string(port), std::nullopt, true))
        || client->ReadResponse().value_or(test::HttpResponse {}).status != 101 || !client->ReadFrame()) {
        return nullptr;
    }
    return client; // past its greeting
}

TEST(ServeLoad, FiftyClientsGetEveryPressInOrderAndOneThatNeverReadsIsDropped)
{
    const bool privateNetwork = test::EnterPrivateNetwork();
    test::HidTestBed bed;
    const test::EmulatedHid frame = test::AddFrameTransceiver(bed);
    test::ServedProbe served
        = test::StartServe(privateNetwork ? std::vector<std::string> {} : std::vector<std::string> {"--port", "0"});
    ASSERT_NE(served.port, 0) << served.process->Stderr();

    std::vector<std::unique_ptr<test::RawConnection>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(Client(served.port));
        ASSERT_TRUE(clients.back()) << "client " << i;
    }
    const auto stuck = Client(served.port, 4096);
    ASSERT_TRUE(stuck);

    // Each report whole: should the probe fall behind, a write waits
    // rather than splitting a report.
    const int master = bed.Master(frame);
    std::thread presses([master]() {
        const Clock::time_point start = Clock::now();
        for (int i = 0; i < kPresses; ++i) {
            std::this_thread::sleep_until(start + i * 1ms);
            const ByteArray report = test::FrameData(PadOf(i), kKeys[i % 5]);
            for (std::size_t done = 0; done < report.size();) {
                const ssize_t n = ::write(master, report.data() + done, report.size() - done);
                if (n < 0 && errno != EINTR && errno != EAGAIN) {
                    return;
                }
                done += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
        }
    });

    // Each client's presses, checked against the order they were sent in.
    std::vector<int> received(kClients, 0);
    std::vector<std::string> faults(kClients);
    std::vector<pollfd> fds;
    for (const auto& client : clients) {
        fds.push_back({client->Fd(), POLLIN, 0});
    }
    const Clock::time_point guard = Clock::now() + 120s; // against a hang only
    int complete = 0;
    while (complete < kClients && Clock::now() < guard) {
        if (::poll(fds.data(), fds.size(), 1000) <= 0) {
            continue;
        }
        for (int c = 0; c < kClients; ++c) {
            if (fds[c].revents == 0) {
                continue;
            }
            if (!clients[c]->ReadAvailable()) {
                fds[c].fd = -1;
                faults[c] = "ended after " + std::to_string(received[c]) + " presses";
                ++complete;
                continue;
            }
            // Compared as text, which is cheap enough for the test to keep up:
            // {"event":"press","time_ms":...,"raw":"...","pad":5,"button":"A"}
            while (const auto frame = clients[c]->TakeFrame()) {
                const int i = received[c]++;
                const std::string tail
                    = ",\"pad\":" + std::to_string(PadOf(i)) + ",\"button\":\"" + kButtons[i % 5] + "\"}";
                if (faults[c].empty()
                    && (frame->opcode != 1 || frame->payload.rfind("{\"event\":\"press\",", 0) != 0
                        || !frame->payload.ends_with(tail))) {
                    faults[c] = "press " + std::to_string(i) + " came as " + frame->payload;
                }
            }
            if (received[c] >= kPresses) {
                fds[c].fd = -1;
                ++complete;
            }
        }
    }
    presses.join();
    for (int c = 0; c < kClients; ++c) {
        EXPECT_EQ(faults[c], "") << "client " << c;
        EXPECT_EQ(received[c], kPresses) << "client " << c;
    }

    // The one that never read: what it was sent before it was dropped, then
    // a close with 1008 if that still fitted, or the end of the connection.
    int stuckPresses = 0;
    int closeCode = -1;
    while (const auto frame = stuck->ReadFrame(5s)) {
        if (frame->opcode == 8) {
            closeCode = frame->CloseCode();
            break;
        }
        ++stuckPresses;
    }
    EXPECT_TRUE(closeCode == 1008 || stuck->Ended(5s)) << "close code " << closeCode;
    EXPECT_LT(stuckPresses, kPresses);

    served.process->Signal(SIGTERM);
    EXPECT_EQ(served.process->Wait(), 0);
    EXPECT_NE(served.process->Stderr().find("so it was dropped; the others lost nothing."), std::string::npos)
        << served.process->Stderr();
    EXPECT_NE(served.process->Stderr().find("(10000 presses, 0 not a press)"), std::string::npos)
        << served.process->Stderr();
}

} // namespace
} // namespace qz
