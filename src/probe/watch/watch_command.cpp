#include "probe/watch/watch_command.h"

#include "link/hidraw/hidraw_layer.h"
#include "probe/core/message.h"
#include "probe/core/round_ranking.h"
#include "probe/io/enter_key.h"
#include "probe/io/signal_fd.h"
#include "probe/io/transceiver_feed.h"
#include "probe/watch/watch_format.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstring>

namespace qz::probe {

namespace {

using Clock = std::chrono::steady_clock;

class WatchLoop {
public:
    WatchLoop(const CommonOptions& options, const WatchOptions& watchOptions, HidrawLayer& hid, Output& output,
        Clock::time_point origin)
        : output_(output)
        , origin_(origin)
        , printer_(options.json, output.OutStyle())
        , feed_(hid, options.device)
        , rounds_(watchOptions.roundButton)
    {
    }

    int Run();

private:
    double Ms(Clock::time_point then) const { return MillisecondsBetween(origin_, then); }
    void Connected(Clock::time_point when);
    void CloseRound();
    void Tell(std::vector<std::string>& problems);

    Output& output_;
    Clock::time_point origin_;
    WatchPrinter printer_;
    TransceiverFeed feed_;
    RoundRanking rounds_;
    EnterKey enter_;
};

void WatchLoop::Connected(Clock::time_point when)
{
    const OpenedTransceiver& transceiver = *feed_.Connected();
    output_.Line(printer_.Connected(Ms(when), transceiver.interface.path, transceiver.interface.productId));
}

void WatchLoop::CloseRound()
{
    for (const std::string& line : printer_.RoundLines(rounds_.Close(), rounds_.Button())) {
        output_.Line(line);
    }
}

void WatchLoop::Tell(std::vector<std::string>& problems)
{
    for (const std::string& line : problems) {
        output_.Error(line);
    }
    problems.clear();
}

int WatchLoop::Run()
{
    // SIGUSR1 closes a round, for scripts without a terminal; the others end.
    SignalFd signals({SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGCONT});
    if (signals.Fd() < 0) {
        output_.Error(Message(std::string("cannot watch for Ctrl+C: ") + std::strerror(errno) + "."));
        return ToInt(ExitStatus::Failed);
    }
    // A read of the terminal from the background fails instead of stopping
    // the probe (EnterKey does not read it there, but the foreground may
    // change between the look and the read).
    std::signal(SIGTTIN, SIG_IGN);

    std::vector<std::string> problems;
    const ExitStatus opened = feed_.Open(problems);
    Tell(problems);
    if (opened != ExitStatus::Success) {
        return ToInt(opened);
    }
    Connected(Clock::now());

    int status = ToInt(ExitStatus::Success);
    bool ending = false;
    while (!ending && !output_.Broken()) {
        pollfd fds[3] = {
            {signals.Fd(), POLLIN, 0},
            {feed_.PollDescriptor(), POLLIN, 0},
            {enter_.PollDescriptor(), POLLIN, 0},
        };
        const int ready = ::poll(fds, 3, feed_.Timeout(Clock::now()));
        const Clock::time_point woke = Clock::now();
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            output_.Error(Message(std::string("waiting for reports failed: ") + std::strerror(errno) + "."));
            status = ToInt(ExitStatus::Failed);
            break;
        }
        // Reports first: those queued before an Enter or a Ctrl+C still count.
        if (fds[1].fd >= 0 && fds[1].revents != 0) {
            const std::string node = feed_.Connected()->interface.path;
            const auto end = feed_.ReadPending([&](const ByteArray& buffer, std::size_t delivered) {
                const ReportRecord record = DecodeReport(buffer, delivered, Ms(woke));
                rounds_.Add(record);
                return output_.Line(printer_.Report(record));
            });
            if (end == TransceiverFeed::ReadEnd::Gone) {
                feed_.Lose(woke);
                output_.Line(printer_.Unplugged(Ms(woke), node));
            } else if (end == TransceiverFeed::ReadEnd::Failed) {
                output_.Error(Message("reading the transceiver at " + node
                    + " failed, so watching ended. Replug it and start qz470-probe again."));
                status = ToInt(ExitStatus::Failed);
                break;
            }
        }
        if (fds[2].fd >= 0 && fds[2].revents != 0) {
            for (int presses = enter_.Take((fds[2].revents & POLLNVAL) != 0); presses > 0; --presses) {
                CloseRound();
            }
        }
        if (fds[0].revents != 0) {
            while (const int signal = signals.Take()) {
                if (signal == SIGUSR1) {
                    CloseRound();
                } else if (signal != SIGCONT) { // SIGCONT: only a fresh look at the foreground
                    ending = true;
                }
            }
        }
        if (!ending && feed_.SearchIfDue(woke, problems)) {
            Connected(woke);
        }
        Tell(problems);
    }

    if (output_.Broken() && !output_.ReaderGone()) {
        output_.Error(
            Message(std::string("cannot write to standard output: ") + std::strerror(output_.BrokenError()) + "."));
        return ToInt(ExitStatus::Failed);
    }
    output_.Error(printer_.Summary(Ms(Clock::now())));
    return status;
}

} // namespace

int RunWatch(const CommonOptions& options, HidrawLayer& hid, Output& output, Clock::time_point origin,
    const WatchOptions& watchOptions)
{
    WatchLoop loop(options, watchOptions, hid, output, origin);
    return loop.Run();
}

} // namespace qz::probe
