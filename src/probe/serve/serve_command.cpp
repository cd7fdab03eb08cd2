#include "probe/serve/serve_command.h"

#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"
#include "probe/core/event_objects.h"
#include "probe/core/hex.h"
#include "probe/core/led_request.h"
#include "probe/core/message.h"
#include "probe/core/round_ranking.h"
#include "probe/io/enter_key.h"
#include "probe/io/signal_fd.h"
#include "probe/io/transceiver_feed.h"
#include "probe/serve/access_rules.h"
#include "probe/serve/beast/beast_server.h"
#include "probe/serve/client_command.h"
#include "probe/serve/serve_page.h"
#include "probe/serve/serve_texts.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <map>

namespace qz::probe {

namespace {

using Clock = std::chrono::steady_clock;

Frame MakeFrame(const Json& object)
{
    return std::make_shared<const std::string>(JsonLine(object));
}

class ServeLoop final : public WebEvents {
public:
    ServeLoop(const ServeOptions& options, HidrawLayer& hid, Output& output, Clock::time_point origin)
        : options_(options)
        , output_(output)
        , origin_(origin)
        , feed_(hid, options.device)
        , rounds_(options.roundButton)
        , server_(MakeBeastServer(*this))
    {
    }

    int Run();

    HttpAnswer OnRequest(const RequestHead& head) override { return AnswerFor(rules_->Judge(head)); }
    void OnOpen(ClientId client, const std::string& peer) override;
    void OnMessage(ClientId client, std::string_view text) override;
    void OnClose(ClientId client, Departure why) override;

private:
    double Ms(Clock::time_point then) const { return MillisecondsBetween(origin_, then); }
    std::optional<std::string> CheckListen();
    bool StartListening();
    void Tell(std::vector<std::string>& problems);
    void Log(const Json& object);
    void Broadcast(const Json& object);
    void End(int status);

    void WaitForReports();
    void OnReports();
    void SearchLater();
    void WaitForSignals();
    void WaitForEnter();
    void OnEnter(bool waitable);
    void CloseRound();
    Json Led(const ClientCommand& command);

    const ServeOptions& options_;
    Output& output_;
    Clock::time_point origin_;
    TransceiverFeed feed_;
    RoundRanking rounds_;
    EnterKey enter_;
    std::unique_ptr<SignalFd> signals_;
    std::unique_ptr<WebServer> server_;
    std::string listen_; // --listen, as the server writes the address
    std::optional<AccessRules> rules_;
    std::map<ClientId, std::string> peers_;
    int feedFd_ = -1;
    bool enterWaiting_ = false;
    bool ending_ = false;
    int status_ = ToInt(ExitStatus::Success);
    ServeCounts counts_;
};

// The --listen address as the server writes it; nullopt after a line that
// says what is wrong with it.
std::optional<std::string> ServeLoop::CheckListen()
{
    const std::optional<std::string> address = server_->AddressText(options_.listen);
    if (const auto refusal = ListenAddressRefusal(options_.listen, address)) {
        output_.Error(Message(*refusal));
        return std::nullopt;
    }
    return address;
}

bool ServeLoop::StartListening()
{
    const ListenPlan plan = PlanListening(listen_);
    const auto failure = server_->Listen(plan.addresses, plan.ifAvailable, options_.port);
    if (failure) {
        output_.Error(Message(ListenFailureText(*failure, options_.port)));
    }
    return !failure;
}

int ServeLoop::Run()
{
    // SIGUSR1 closes a round, for scripts without a terminal; the others end.
    signals_ = std::make_unique<SignalFd>(std::initializer_list<int> {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGCONT});
    if (signals_->Fd() < 0) {
        output_.Error(Message(std::string("cannot watch for Ctrl+C: ") + std::strerror(errno) + "."));
        return ToInt(ExitStatus::Failed);
    }
    // A read of the terminal from the background fails instead of stopping
    // the probe (EnterKey does not read it there, but the foreground may
    // change between the look and the read).
    std::signal(SIGTTIN, SIG_IGN);

    if (!options_.listen.empty()) {
        const auto listen = CheckListen();
        if (!listen) {
            return ToInt(ExitStatus::Usage);
        }
        listen_ = *listen;
    }
    std::vector<std::string> problems;
    const ExitStatus opened = feed_.Open(problems);
    Tell(problems);
    if (opened != ExitStatus::Success) {
        return ToInt(opened);
    }
    if (!StartListening()) {
        return ToInt(ExitStatus::Failed);
    }
    // Plain HTTP: whoever is on that network can read the token, which only
    // keeps out the pages of other sites and people who do not see it.
    rules_.emplace(server_->Port(), listen_, listen_.empty() ? std::string() : NewToken(), options_.allowedOrigins);

    const OpenedTransceiver& transceiver = *feed_.Connected();
    const std::string local = rules_->PageUrl("127.0.0.1");
    output_.Error(Message("serving the transceiver " + ModelName(transceiver.interface.productId) + " at "
        + transceiver.interface.path + ": the page is at " + local
        + ", the WebSocket at ws://127.0.0.1:" + std::to_string(server_->Port()) + "/ws. Ctrl+C ends."));
    if (!listen_.empty()) {
        output_.Error(Message("from the network: " + rules_->PageUrl(listen_)
            + " (plain HTTP: anyone on that network can read the token)."));
    }
    const Clock::time_point started = Clock::now();
    Log(ConnectedObject(Ms(started), transceiver.interface.path, transceiver.interface.productId));
    Json listening;
    listening["event"] = "listening";
    listening["time_ms"] = Ms(started);
    listening["port"] = server_->Port();
    listening["addresses"] = server_->Addresses();
    Log(listening);

    WaitForSignals();
    WaitForReports();
    WaitForEnter();
    server_->Run();

    if (output_.Broken() && !output_.ReaderGone()) {
        output_.Error(
            Message(std::string("cannot write to standard output: ") + std::strerror(output_.BrokenError()) + "."));
        return ToInt(ExitStatus::Failed);
    }
    output_.Error(Message(ServeSummary(Ms(Clock::now()), counts_)));
    return status_;
}

void ServeLoop::Tell(std::vector<std::string>& problems)
{
    for (const std::string& line : problems) {
        output_.Error(line);
    }
    problems.clear();
}

void ServeLoop::Log(const Json& object)
{
    if (options_.log && !output_.Line(JsonLine(object))) {
        End(status_); // the reader went away, as for watch
    }
}

void ServeLoop::Broadcast(const Json& object)
{
    server_->Broadcast(MakeFrame(object));
    Log(object);
}

void ServeLoop::End(int status)
{
    if (!ending_) {
        ending_ = true;
        status_ = status;
        server_->Stop();
    }
}

void ServeLoop::WaitForReports()
{
    feedFd_ = feed_.PollDescriptor();
    server_->WhenReadable(feedFd_, [this](bool) { OnReports(); });
}

// Every report pending, in arrival order, each to every client; only then
// an unplug.
void ServeLoop::OnReports()
{
    const Clock::time_point woke = Clock::now();
    const std::string node = feed_.Connected()->interface.path;
    const auto end = feed_.ReadPending([&](const ByteArray& buffer, std::size_t delivered) {
        const ReportRecord record = DecodeReport(buffer, delivered, Ms(woke));
        rounds_.Add(record);
        ++(record.press ? counts_.presses : counts_.notPresses);
        Broadcast(ReportObject(record));
        return !ending_;
    });
    switch (end) {
    case TransceiverFeed::ReadEnd::Drained:
        WaitForReports();
        break;
    case TransceiverFeed::ReadEnd::Gone:
        server_->Forget(feedFd_); // before the HID layer closes it
        feed_.Lose(woke);
        ++counts_.unplugs;
        Broadcast(UnpluggedObject(Ms(woke), node));
        SearchLater();
        break;
    case TransceiverFeed::ReadEnd::Failed:
        output_.Error(Message("reading the transceiver at " + node
            + " failed, so serving ended. Replug it and start qz470-probe again."));
        End(ToInt(ExitStatus::Failed));
        break;
    case TransceiverFeed::ReadEnd::Stopped:
        break;
    }
}

// After an unplug: the tester's search every 300 ms until a transceiver is
// back.
void ServeLoop::SearchLater()
{
    const auto wait = std::chrono::milliseconds(feed_.Timeout(Clock::now()));
    server_->After(wait, [this]() {
        const Clock::time_point now = Clock::now();
        std::vector<std::string> problems;
        const bool found = feed_.SearchIfDue(now, problems);
        Tell(problems);
        if (!found) {
            SearchLater();
            return;
        }
        const OpenedTransceiver& transceiver = *feed_.Connected();
        Broadcast(ConnectedObject(Ms(now), transceiver.interface.path, transceiver.interface.productId));
        WaitForReports();
    });
}

void ServeLoop::WaitForSignals()
{
    server_->WhenReadable(signals_->Fd(), [this](bool) {
        while (const int signal = signals_->Take()) {
            if (signal == SIGUSR1) {
                CloseRound();
            } else if (signal == SIGCONT) {
                WaitForEnter(); // back in the foreground, perhaps
            } else {
                End(status_);
            }
        }
        if (!ending_) {
            WaitForSignals();
        }
    });
}

void ServeLoop::WaitForEnter()
{
    if (enterWaiting_ || ending_) {
        return;
    }
    if (enter_.PollDescriptor() < 0) {
        // Ended, or in the background of its terminal: not looked at
        // (SIGCONT looks again).
        server_->Forget(STDIN_FILENO);
        return;
    }
    enterWaiting_ = true;
    server_->WhenReadable(STDIN_FILENO, [this](bool waitable) {
        enterWaiting_ = false;
        OnEnter(waitable);
    });
}

void ServeLoop::OnEnter(bool waitable)
{
    if (!waitable) {
        // A regular file (or /dev/null) cannot be waited on, and never
        // blocks: it is read to its end now.
        server_->Forget(STDIN_FILENO);
        while (!enter_.Ended()) {
            for (int presses = enter_.Take(); presses > 0; --presses) {
                CloseRound();
            }
        }
        return;
    }
    for (int presses = enter_.Take(); presses > 0; --presses) {
        CloseRound();
    }
    WaitForEnter();
}

void ServeLoop::CloseRound()
{
    ++counts_.roundsClosed;
    Broadcast(RoundObject(rounds_.Close()));
}

void ServeLoop::OnOpen(ClientId client, const std::string& peer)
{
    ++counts_.clients;
    peers_[client] = peer;
    const OpenedTransceiver* transceiver = feed_.Connected();
    if (transceiver != nullptr) {
        server_->Send(
            client, MakeFrame(HelloObject(ModelName(transceiver->interface.productId), transceiver->interface.path)));
    } else {
        server_->Send(client, MakeFrame(HelloObject(std::nullopt, std::nullopt)));
    }
    Log(ClientObject(Ms(Clock::now()), client, peer));
}

void ServeLoop::OnMessage(ClientId client, std::string_view text)
{
    const ClientCommand command = ParseClientCommand(text);
    Json answer;
    switch (command.kind) {
    case ClientCommand::Kind::Invalid:
        answer = AnswerError(command.id, command.error);
        break;
    case ClientCommand::Kind::CloseRound:
        CloseRound(); // every client has the round before this one's answer
        answer = AnswerOk(command.id);
        break;
    case ClientCommand::Kind::Led:
        answer = Led(command);
        break;
    }
    server_->Send(client, MakeFrame(answer));
    Log(CommandObject(Ms(Clock::now()), client, text, answer));
}

void ServeLoop::OnClose(ClientId client, Departure why)
{
    const std::string peer = peers_[client];
    peers_.erase(client);
    if (why == Departure::Dropped) {
        output_.Error(Message("the client at " + peer + " fell " + std::to_string(kMaxQueuedFrames)
            + " frames behind with its send buffer full, so it was dropped; the others lost nothing."));
    }
    Log(ClientGoneObject(Ms(Clock::now()), client, why));
}

Json ServeLoop::Led(const ClientCommand& command)
{
    const OpenedTransceiver* transceiver = feed_.Connected();
    if (transceiver == nullptr) {
        return AnswerError(command.id, "no transceiver connected");
    }
    const std::string& node = transceiver->interface.path;
    const LedBytes led
        = BuildLedBytes(command.led, command.pad, Transceiver::LedFormatOf(transceiver->interface.productId), node,
            transceiver->lengthsKnown, transceiver->lengths);
    if (!led.ok) {
        return AnswerError(command.id, WithoutProgramName(led.error));
    }
    // The write blocks the loop until the driver has taken the report.
    if (!feed_.Write(led.bytes)) {
        return AnswerError(
            command.id, "writing the LED report to the transceiver at " + node + " failed; it may have been unplugged");
    }
    ++counts_.ledCommands;
    return AnswerOk(command.id, HexCompact(led.bytes));
}

} // namespace

int RunServe(const ServeOptions& options, HidrawLayer& hid, Output& output, Clock::time_point origin)
{
    ServeLoop loop(options, hid, output, origin);
    return loop.Run();
}

} // namespace qz::probe
