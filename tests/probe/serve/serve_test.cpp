// qz470-probe serve seen from the network, with raw HTTP requests and
// WebSocket frames: who may fetch the page and open the WebSocket (Host,
// Origin, the token from outside loopback), the limits, and what each kind
// of message gets. A browser hides a 403 from the page's JavaScript, so the
// rules are proven here. The probe runs over a transceiver that umockdev
// emulates, in a network namespace of the test's own when it may make one
// (the outside address exists only there).
#include "reports.h"
#include "served_probe.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

namespace qz {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::GetRequest;
using test::RawConnection;

constexpr const char* kAllowed = "https://quiz.example.org";

class ServeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { privateNetwork_ = test::EnterPrivateNetwork(); }

    void SetUp() override
    {
        frame_ = test::AddFrameTransceiver(bed_);
        std::vector<std::string> arguments {"--log", "--allow-origin", kAllowed};
        if (privateNetwork_) {
            arguments.insert(arguments.end(), {"--listen", test::kOutsideAddress});
        }
        served_ = test::StartServe(arguments, privateNetwork_);
        ASSERT_NE(served_.port, 0) << served_.process->Stderr();
        port_ = std::to_string(served_.port);
    }

    void TearDown() override
    {
        if (!stopped_) {
            Stop();
        }
    }

    void Stop()
    {
        stopped_ = true;
        served_.process->Signal(SIGTERM);
        EXPECT_EQ(served_.process->Wait(), 0) << served_.process->Stderr();
    }

    int Status(const std::string& request, const std::string& from = "127.0.0.1")
    {
        auto connection = RawConnection::Open(from, served_.port);
        return connection && connection->Write(request)
            ? connection->ReadResponse().value_or(test::HttpResponse {}).status
            : -1;
    }

    static json Next(RawConnection& client)
    {
        const auto frame = client.ReadFrame();
        EXPECT_TRUE(frame && frame->opcode == 1) << "no text frame";
        return frame ? json::parse(frame->payload, nullptr, false) : json();
    }

    static bool privateNetwork_;
    test::HidTestBed bed_;
    test::EmulatedHid frame_;
    test::ServedProbe served_;
    std::string port_;
    bool stopped_ = false;
};

bool ServeTest::privateNetwork_ = false;

// Every Host and Origin case, and the token from outside loopback: one
// request each, and the status it gets.
TEST_F(ServeTest, TheUpgradeRulesForEveryHostOriginAndToken)
{
    if (privateNetwork_) {
        EXPECT_EQ(port_, "8470"); // the default, free in the test's own network
    }
    const std::string local = "127.0.0.1:" + port_;
    const std::string out = std::string(test::kOutsideAddress) + ":" + port_;
    const std::string token = "?token=" + served_.token;
    const std::optional<std::string> none;
    const struct Case {
        std::string from; // the address connected to, and so the peer's
        std::string target;
        std::string host;
        std::optional<std::string> origin;
        bool upgrade;
        int status;
    } cases[] = {
        {"127.0.0.1", "/", local, none, false, 200},
        {"127.0.0.1", "/", "LocalHost:" + port_, none, false, 200},
        {"127.0.0.1", "/", "[::1]:" + port_, none, false, 200},
        {"127.0.0.1", "/", "quiz.evil.example:" + port_, none, false, 403}, // a rebound name
        {"127.0.0.1", "/", "127.0.0.1:1" + port_, none, false, 403},
        {"127.0.0.1", "/", "", none, false, 400},
        {"127.0.0.1", "/index.html", local, none, false, 404},
        {"127.0.0.1", "/ws", local, none, false, 426},
        {"127.0.0.1", "/ws", local, "http://" + local, true, 101},
        {"127.0.0.1", "/ws", local, "http://localhost:" + port_, true, 101},
        {"127.0.0.1", "/ws", local, "http://[::1]:" + port_, true, 101},
        {"127.0.0.1", "/ws", local, kAllowed, true, 101},
        {"127.0.0.1", "/ws", local, none, true, 101}, // a program
        {"127.0.0.1", "/ws", local, "https://" + local, true, 403},
        {"127.0.0.1", "/ws", local, "http://127.0.0.1:1" + port_, true, 403},
        {"127.0.0.1", "/ws", local, "https://quiz.evil.example", true, 403},
        {"127.0.0.1", "/ws", local, std::string(kAllowed) + ":8443", true, 403},
        {"127.0.0.1", "/ws", local, "null", true, 403},
        // From outside loopback: the token, or nothing.
        {test::kOutsideAddress, "/", out, none, false, 403},
        {test::kOutsideAddress, "/?token=" + std::string(32, '0'), out, none, false, 403},
        {test::kOutsideAddress, "/" + token, out, none, false, 200},
        {test::kOutsideAddress, "/ws" + token, out, none, true, 101},
        {test::kOutsideAddress, "/ws", out, none, true, 403},
        {test::kOutsideAddress, "/ws" + token, out, "http://" + out, true, 101},
        {test::kOutsideAddress, "/ws" + token, out, "http://evil.example", true, 403},
        {"127.0.0.1", "/ws", out, "http://" + out, true, 101},
    };
    if (!privateNetwork_) {
        std::printf("no network namespace of its own (not root?): the cases from outside loopback are left out\n");
    }
    for (const Case& c : cases) {
        if (c.from != "127.0.0.1" && !privateNetwork_) {
            continue;
        }
        SCOPED_TRACE(c.from + " " + c.target + " Host: " + c.host + " Origin: " + c.origin.value_or("-"));
        auto connection = RawConnection::Open(c.from, served_.port);
        ASSERT_TRUE(connection && connection->Write(GetRequest(c.target, c.host, c.origin, c.upgrade)));
        const auto response = connection->ReadResponse();
        ASSERT_TRUE(response);
        EXPECT_EQ(response->status, c.status) << response->body;
        if (c.status == 200) {
            EXPECT_NE(response->body.find("<title>QZ470 buzzers</title>"), std::string::npos);
            for (const char* header :
                {"Content-Security-Policy: default-src 'none'; script-src 'sha256-", "connect-src 'self'",
                    "frame-ancestors 'none'", "X-Content-Type-Options: nosniff", "Cache-Control: no-store"}) {
                EXPECT_NE(response->head.find(header), std::string::npos) << response->head;
            }
        }
    }

    // Usage errors: origins that would let any page in, or are none.
    for (const char* origin : {"null", "*", "https://quiz.example.org/"}) {
        const auto run = test::RunToEnd({QZ_PROBE, "serve", "--allow-origin", origin});
        EXPECT_EQ(run.status, 2) << origin;
        EXPECT_NE(run.err.find("--allow-origin"), std::string::npos) << run.err;
    }
}

// What each kind of message gets: commands answered in order, the id echoed,
// LED bytes written, a round to every client before the closer's answer, a
// press to every client; a binary or oversized message closes, with 1003 and
// 1009. Idle, serve does not spin; --log says what happened.
TEST_F(ServeTest, MessagesAndTheirAnswers)
{
    auto first = RawConnection::Open("127.0.0.1", served_.port);
    ASSERT_TRUE(first->Write(GetRequest("/ws", "127.0.0.1:" + port_, std::nullopt, true)));
    ASSERT_EQ(first->ReadResponse()->status, 101);
    EXPECT_EQ(Next(*first), json::parse(R"({"event": "hello", "connected": true, "model": "0x1003",
        "node": "/dev/hidraw1"})"));
    auto second = test::OpenClient(served_.port);
    ASSERT_TRUE(second);
    const int master = bed_.Master(frame_);

    // Standard input is /dev/null. A busy loop would take a good part of the
    // second; allow 0.1 s.
    const long before = served_.process->CpuTicks();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(served_.process->CpuTicks() - before, ::sysconf(_SC_CLK_TCK) / 10);

    const std::string pad = "\"pad\" takes a whole number from -32768 to 32767, or \"all\"";
    const struct {
        std::string message;
        json answer;
    } cases[] = {
        {"hello", {{"ok", false}, {"error", "the message is not JSON"}}},
        {R"({"pad": 3, "id": 7})",
            {{"ok", false}, {"id", 7}, {"error", "the message is no command: it has neither \"led\" nor \"round\""}}},
        {R"({"led": "blink", "pad": 3})",
            {{"ok", false}, {"error", "\"led\" takes \"on\", \"off\", \"short\" or \"flash\""}}},
        {R"({"led": "on", "pad": 3.5, "id": null})", {{"ok", false}, {"id", nullptr}, {"error", pad}}},
        {R"({"led": "on", "pad": 300, "id": "x"})",
            {{"ok", false}, {"id", "x"},
                {"error",
                    "pad 300 does not fit the LEDOn report of the 0x1003 model: its pad byte would be 290, and "
                    "a byte holds 0 to 255; nothing was sent. Choose all or a pad from 1 to 255 or 260."}}},
        {R"({"led": "short", "pad": 7, "id": {"n": 1}})",
            {{"ok", true}, {"id", {{"n", 1}}}, {"sent", "00fa0801070002f6af"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        ASSERT_TRUE(first->SendFrame(1, c.message));
        EXPECT_EQ(Next(*first), c.answer);
    }
    EXPECT_EQ(test::ReceiveAtMaster(master, 9),
        (std::vector<std::uint8_t> {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF}));

    // A press, to both; then the round it opened, to both, before the answer.
    ASSERT_TRUE(test::SendAtMaster(master, test::FrameData(12, test::kBuzz)));
    for (RawConnection* client : {first.get(), second.get()}) {
        const json press = Next(*client);
        EXPECT_EQ(press["event"], "press");
        EXPECT_EQ(press["pad"], 12);
        EXPECT_EQ(press["button"], "BUZZ");
    }
    ASSERT_TRUE(second->SendFrame(1, R"({"round": "close", "id": 2})"));
    const json round = json::parse(R"({"event": "round", "round": 1, "ranking": [{"pad": 12, "button": "BUZZ",
        "delay_ms": 0.0}]})");
    EXPECT_EQ(Next(*first), round);
    EXPECT_EQ(Next(*second), round);
    EXPECT_EQ(Next(*second), json::parse(R"({"ok": true, "id": 2})"));

    // Binary: closed with 1003; too big: 1009.
    ASSERT_TRUE(first->SendFrame(2, "\x01\x02"));
    EXPECT_EQ(first->ReadFrame().value_or(test::WsFrame {}).CloseCode(), 1003);
    ASSERT_TRUE(second->SendFrame(1, R"({"led": "on", "pad": 1, "x": ")" + std::string(5000, 'x') + "\"}"));
    EXPECT_EQ(second->ReadFrame().value_or(test::WsFrame {}).CloseCode(), 1009);

    // --log: what happened, as JSON Lines.
    Stop();
    std::string log;
    for (const std::string& line : served_.out) {
        log += line + "\n";
    }
    log += served_.process->Stdout();
    std::vector<std::string> events;
    for (const std::string& line : test::Lines(log)) {
        events.push_back(json::parse(line)["event"]);
    }
    for (const auto& [event, count] : std::initializer_list<std::pair<const char*, long>> {{"connected", 1},
             {"listening", 1}, {"press", 1}, {"round", 1}, {"command", 7}, {"client", 2}, {"client_gone", 2}}) {
        EXPECT_EQ(std::count(events.begin(), events.end(), event), count) << event;
    }
    EXPECT_NE(served_.process->Stderr().find("1 press, 0 not a press), 1 round, 1 LED command, 2 clients."),
        std::string::npos)
        << served_.process->Stderr();
}

// The limits: headers over 8 KiB get 431; a request that does not come whole
// is cut off; the 65th connection gets 503, until one has closed.
TEST_F(ServeTest, TheLimits)
{
    const std::string local = "127.0.0.1:" + port_;
    EXPECT_EQ(Status("GET / HTTP/1.1\r\nHost: " + local + "\r\nX-Filler: " + std::string(9000, 'x') + "\r\n\r\n"), 431);

    auto slow = RawConnection::Open("127.0.0.1", served_.port);
    slow->Write("GET / HTTP/1.1\r\n");
    std::vector<std::unique_ptr<RawConnection>> clients;
    while (clients.size() < 63) { // with the slow one, 64
        clients.push_back(test::OpenClient(served_.port));
        ASSERT_TRUE(clients.back()) << "client " << clients.size();
    }
    EXPECT_EQ(Status(GetRequest("/", local)), 503);

    // Within the handshake's 10 s, the slow one is cut off: a place is free.
    EXPECT_TRUE(slow->Ended(20s));
    int status = 0;
    for (int i = 0; i < 50 && (status = Status(GetRequest("/", local))) != 200; ++i) {
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(status, 200);
}

} // namespace
} // namespace qz
