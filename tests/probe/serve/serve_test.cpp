// qz470-probe serve seen from the network, with raw HTTP requests and
// WebSocket frames: who may fetch the page and open the WebSocket (Host,
// Origin, the token from outside loopback), the limits, and what each kind
// of message gets. A browser hides a 403 from the page's JavaScript, so the
// rules are proven here. The probe runs over a transceiver that umockdev
// emulates, in a network namespace of the test's own when it may make one
// (the outside address exists only there).
#include "raw_http.h"
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
            arguments.insert(arguments.end(), {"--listen", test::kOutsideAddress}); // and the default port
        } else {
            arguments.insert(arguments.end(), {"--port", "0"});
        }
        served_ = test::StartServe(arguments);
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

    std::unique_ptr<RawConnection> Connect(const std::string& address = "127.0.0.1", int receiveBuffer = 0)
    {
        auto connection = RawConnection::Open(address, served_.port, receiveBuffer);
        EXPECT_TRUE(connection) << "cannot connect to " << address;
        return connection;
    }

    // A WebSocket from a program on this computer, past its greeting.
    std::unique_ptr<RawConnection> Client()
    {
        auto client = Connect();
        client->Write(GetRequest("/ws", "127.0.0.1:" + port_, std::nullopt, true));
        EXPECT_EQ(client->ReadResponse().value_or(test::HttpResponse {}).status, 101);
        const auto hello = client->ReadFrame();
        EXPECT_TRUE(hello && json::parse(hello->payload)["event"] == "hello");
        return client;
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
    const std::string outside = std::string(test::kOutsideAddress) + ":" + port_;
    const std::string token = "?token=" + served_.token;
    const std::string wrong = "?token=" + std::string(32, '0');
    const struct Case {
        const char* what;
        std::string from; // the address connected to (and so the peer's)
        std::string target;
        std::string host;
        std::optional<std::string> origin;
        bool upgrade;
        int status;
    } cases[] = {
        {"the page", "127.0.0.1", "/", local, std::nullopt, false, 200},
        {"by the name localhost", "127.0.0.1", "/", "LocalHost:" + port_, std::nullopt, false, 200},
        {"by IPv6 loopback", "127.0.0.1", "/", "[::1]:" + port_, std::nullopt, false, 200},
        {"a rebound name", "127.0.0.1", "/", "quiz.evil.example:" + port_, std::nullopt, false, 403},
        {"another port", "127.0.0.1", "/", "127.0.0.1:1" + port_, std::nullopt, false, 403},
        {"no Host", "127.0.0.1", "/", "", std::nullopt, false, 400},
        {"another path", "127.0.0.1", "/index.html", local, std::nullopt, false, 404},
        {"/ws without upgrade", "127.0.0.1", "/ws", local, std::nullopt, false, 426},
        {"the page's origin", "127.0.0.1", "/ws", local, "http://" + local, true, 101},
        {"its origin by localhost", "127.0.0.1", "/ws", local, "http://localhost:" + port_, true, 101},
        {"its origin by IPv6", "127.0.0.1", "/ws", local, "http://[::1]:" + port_, true, 101},
        {"an allowed origin", "127.0.0.1", "/ws", local, kAllowed, true, 101},
        {"no Origin: a program", "127.0.0.1", "/ws", local, std::nullopt, true, 101},
        {"https for http", "127.0.0.1", "/ws", local, "https://" + local, true, 403},
        {"the origin at another port", "127.0.0.1", "/ws", local, "http://127.0.0.1:1" + port_, true, 403},
        {"a foreign site", "127.0.0.1", "/ws", local, "https://quiz.evil.example", true, 403},
        {"the allowed origin at another port", "127.0.0.1", "/ws", local, std::string(kAllowed) + ":8443", true, 403},
        {"Origin null", "127.0.0.1", "/ws", local, "null", true, 403},
    };
    const Case outsideCases[] = {
        {"the page from outside, no token", test::kOutsideAddress, "/", outside, std::nullopt, false, 403},
        {"a wrong token", test::kOutsideAddress, "/" + wrong, outside, std::nullopt, false, 403},
        {"the token", test::kOutsideAddress, "/" + token, outside, std::nullopt, false, 200},
        {"a program with the token", test::kOutsideAddress, "/ws" + token, outside, std::nullopt, true, 101},
        {"a program without it", test::kOutsideAddress, "/ws", outside, std::nullopt, true, 403},
        {"the page's origin there", test::kOutsideAddress, "/ws" + token, outside, "http://" + outside, true, 101},
        {"a foreign site with the token", test::kOutsideAddress, "/ws" + token, outside, "http://evil.example", true,
            403},
        {"the listen address from loopback", "127.0.0.1", "/ws", outside, "http://" + outside, true, 101},
    };
    std::vector<Case> all(std::begin(cases), std::end(cases));
    if (privateNetwork_) {
        all.insert(all.end(), std::begin(outsideCases), std::end(outsideCases));
    } else {
        std::printf("no network namespace of its own (not root?): the cases from outside loopback are left out\n");
    }
    for (const Case& c : all) {
        SCOPED_TRACE(c.what);
        auto connection = Connect(c.from);
        ASSERT_TRUE(connection);
        connection->Write(GetRequest(c.target, c.host, c.origin, c.upgrade));
        auto response = connection->ReadResponse();
        ASSERT_TRUE(response) << served_.process->Stderr();
        EXPECT_EQ(response->status, c.status) << response->body;
        if (c.status == 200) {
            EXPECT_NE(response->body.find("<title>QZ470 buzzers</title>"), std::string::npos);
            const std::string policy = response->headers["content-security-policy"];
            for (const char* part :
                {"default-src 'none'", "script-src 'sha256-", "connect-src 'self'", "frame-ancestors 'none'"}) {
                EXPECT_NE(policy.find(part), std::string::npos) << policy;
            }
            EXPECT_EQ(response->headers["x-content-type-options"], "nosniff");
            EXPECT_EQ(response->headers["cache-control"], "no-store");
        }
    }

    // Usage errors: origins that would let any page in.
    for (const char* origin : {"null", "*", "https://quiz.example.org/"}) {
        const auto run = test::RunToEnd({QZ_PROBE, "serve", "--allow-origin", origin});
        EXPECT_EQ(run.status, 2) << origin;
        EXPECT_NE(run.err.find("--allow-origin"), std::string::npos) << run.err;
    }
}

// What each kind of message gets: commands answered in order, the id echoed,
// LED bytes written, a round to every client before the closer's answer, a
// press to every client; a binary or oversized message closes, with 1003 and
// 1009.
TEST_F(ServeTest, MessagesAndTheirAnswers)
{
    auto first = Connect();
    first->Write(GetRequest("/ws", "127.0.0.1:" + port_, std::nullopt, true));
    ASSERT_EQ(first->ReadResponse()->status, 101);
    EXPECT_EQ(Next(*first), json::parse(R"({"event": "hello", "connected": true, "model": "0x1003",
        "node": "/dev/hidraw1"})"));
    auto second = Client();
    const int master = bed_.Master(frame_);

    // Idle, with clients and standard input at /dev/null: no spinning. A
    // busy loop would take a good part of the second; allow 0.1 s.
    const long before = served_.process->CpuTicks();
    std::this_thread::sleep_for(1s);
    EXPECT_LT(served_.process->CpuTicks() - before, ::sysconf(_SC_CLK_TCK) / 10);

    const struct {
        std::string message;
        json answer;
    } cases[] = {
        {"hello", {{"ok", false}, {"error", "the message is not JSON"}}},
        {R"({"pad": 3, "id": 7})",
            {{"ok", false}, {"id", 7}, {"error", "the message is no command: it has neither \"led\" nor \"round\""}}},
        {R"({"led": "blink", "pad": 3})",
            {{"ok", false}, {"error", "\"led\" takes \"on\", \"off\", \"short\" or \"flash\""}}},
        {R"({"led": "on", "pad": 3.5, "id": null})",
            {{"ok", false}, {"id", nullptr},
                {"error", "\"pad\" takes a whole number from -32768 to 32767, or \"all\""}}},
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

    // Binary: closed with 1003; too big: 1009. The other client goes on.
    ASSERT_TRUE(first->SendFrame(2, "\x01\x02"));
    EXPECT_EQ(first->ReadFrame().value_or(test::WsFrame {}).CloseCode(), 1003);
    ASSERT_TRUE(second->SendFrame(1, R"({"led": "on", "pad": 1, "x": ")" + std::string(5000, 'x') + "\"}"));
    EXPECT_EQ(second->ReadFrame().value_or(test::WsFrame {}).CloseCode(), 1009);
    auto third = Client();
    ASSERT_TRUE(third->SendFrame(1, R"({"round": "close"})"));
    EXPECT_EQ(Next(*third)["round"], 2);
    EXPECT_EQ(Next(*third), json::parse(R"({"ok": true})"));

    // --log: what happened, as JSON Lines.
    third.reset();
    Stop();
    std::vector<std::string> events;
    for (const std::string& line : served_.out) {
        events.push_back(json::parse(line)["event"]);
    }
    for (const std::string& line : test::Lines(served_.process->Stdout())) {
        events.push_back(json::parse(line)["event"]);
    }
    const auto count = [&events](const char* event) { return std::count(events.begin(), events.end(), event); };
    EXPECT_EQ(count("connected"), 1);
    EXPECT_EQ(count("listening"), 1);
    EXPECT_EQ(count("press"), 1);
    EXPECT_EQ(count("round"), 2);
    EXPECT_EQ(count("command"), 8);
    EXPECT_EQ(count("client"), 3);
    EXPECT_EQ(count("client_gone"), 3);
    EXPECT_NE(served_.process->Stderr().find("1 press, 0 not a press), 2 rounds, 1 LED command, 3 clients."),
        std::string::npos)
        << served_.process->Stderr();
}

// The limits: headers over 8 KiB get 431; a request that does not come whole
// is cut off; the 65th connection gets 503, until one has closed.
TEST_F(ServeTest, TheLimits)
{
    auto large = Connect();
    large->Write("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port_ + "\r\nX-Filler: " + std::string(9000, 'x') + "\r\n\r\n");
    EXPECT_EQ(large->ReadResponse().value_or(test::HttpResponse {}).status, 431);
    large.reset(); // its place is free once the server has read its end

    auto slow = Connect();
    slow->Write("GET / HTTP/1.1\r\n");

    std::vector<std::unique_ptr<RawConnection>> clients;
    while (clients.size() < 63) { // with the slow one, 64
        clients.push_back(Client());
    }
    auto refused = Connect();
    refused->Write(GetRequest("/", "127.0.0.1:" + port_));
    const auto answer = refused->ReadResponse();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 503);

    // Within the handshake's 10 s, the slow one is cut off: a place is free.
    EXPECT_TRUE(slow->Ended(20s));
    int status = 0;
    for (int i = 0; i < 50 && status != 200; ++i) {
        auto again = Connect();
        again->Write(GetRequest("/", "127.0.0.1:" + port_));
        status = again->ReadResponse().value_or(test::HttpResponse {}).status;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(status, 200);
}

} // namespace
} // namespace qz
