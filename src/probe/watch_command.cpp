#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"
#include "probe/commands.h"
#include "probe/interfaces.h"
#include "probe/signal_descriptor.h"
#include "probe/watch_format.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <set>
#include <span>

namespace qz::probe {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The transceiver being watched, with the tester's report buffer: input
// report length + 1 bytes, of which a read fills up to the input length.
struct Watched {
    OpenedTransceiver transceiver;
    ByteArray buffer;
};

// Input reports that carry data: without them there is nothing to watch.
bool Watchable(const OpenedTransceiver& transceiver)
{
    return transceiver.lengthsKnown && transceiver.lengths.input > 1;
}

std::string UnwatchableLine(const OpenedTransceiver& transceiver)
{
    return Message("the transceiver at " + transceiver.interface.path
        + " has no input report that its report descriptor describes, so there is nothing to watch. Replug it and "
          "start qz470-probe again.");
}

enum class ReadEnd { Drained, Gone, Failed, OutputBroken };

class WatchLoop {
public:
    WatchLoop(const CommonOptions& options, HidrawLayer& hid, Output& output, Clock::time_point origin)
        : options_(options)
        , hid_(hid)
        , output_(output)
        , origin_(origin)
        , printer_(options.json, output.OutStyle())
    {
    }

    int Run();

private:
    double Ms(Clock::time_point then) const { return MillisecondsBetween(origin_, then); }
    void Connect(const OpenedTransceiver& transceiver, Clock::time_point when);
    ReadEnd ReadPending(Clock::time_point woke);
    void Search(Clock::time_point woke);
    void Disconnect();

    const CommonOptions& options_;
    HidrawLayer& hid_;
    Output& output_;
    Clock::time_point origin_;
    WatchPrinter printer_;
    std::optional<Watched> watched_;
    Clock::time_point nextSearch_;
    // Searches in a row that found a transceiver that would not open, and
    // the nodes whose failure the user has been told of.
    int failedSearches_ = 0;
    std::set<std::string> reported_;
};

void WatchLoop::Connect(const OpenedTransceiver& transceiver, Clock::time_point when)
{
    watched_ = Watched {transceiver, ByteArray(static_cast<std::size_t>(transceiver.lengths.input) + 1, 0)};
    output_.Line(printer_.Connected(Ms(when), transceiver.interface.path, transceiver.interface.productId));
}

void WatchLoop::Disconnect()
{
    if (watched_) {
        hid_.Close(watched_->transceiver.handle);
        watched_.reset();
    }
}

ReadEnd WatchLoop::ReadPending(Clock::time_point woke)
{
    // Everything the kernel has queued, in arrival order, all with the time
    // of this wake-up.
    for (;;) {
        Watched& watched = *watched_;
        const auto result = hid_.ReadReport(
            watched.transceiver.handle, std::span<std::uint8_t>(watched.buffer.data(), watched.buffer.size() - 1));
        switch (result.outcome) {
        case HidLayer::ReadOutcome::Report:
            if (!output_.Line(printer_.Report(DecodeReport(watched.buffer, result.bytes, Ms(woke))))) {
                return ReadEnd::OutputBroken;
            }
            continue;
        case HidLayer::ReadOutcome::Nothing:
            return ReadEnd::Drained;
        case HidLayer::ReadOutcome::Gone:
            return ReadEnd::Gone;
        case HidLayer::ReadOutcome::WaitFailed:
            return ReadEnd::Failed;
        }
    }
}

void WatchLoop::Search(Clock::time_point woke)
{
    nextSearch_ = woke + std::chrono::milliseconds(Transceiver::kSearchIntervalMs);
    const Selection selection = OpenTransceiver(hid_, options_.device);
    if (selection.opened) {
        failedSearches_ = 0;
        if (Watchable(*selection.opened)) {
            Connect(*selection.opened, woke);
            return;
        }
        hid_.Close(selection.opened->handle);
        if (reported_.insert(selection.opened->interface.path).second) {
            output_.Error(UnwatchableLine(*selection.opened));
        }
        return;
    }
    // udev applies a new node's permissions a moment after it appears: tell
    // of a node that refuses only once it has refused for a while.
    bool refused = false;
    for (const OpenFailure& failure : selection.failures) {
        refused = refused || failure.status != HidLayer::OpenStatus::Gone;
    }
    failedSearches_ = refused ? failedSearches_ + 1 : 0;
    if (failedSearches_ <= Transceiver::kPermissionRetries) {
        return;
    }
    for (const OpenFailure& failure : selection.failures) {
        if (failure.status != HidLayer::OpenStatus::Gone && reported_.insert(failure.path).second) {
            output_.Error(DescribeOpenFailure(failure, kProgramName));
        }
    }
}

int WatchLoop::Run()
{
    SignalDescriptor signals({SIGINT, SIGTERM, SIGHUP});
    if (signals.Fd() < 0) {
        output_.Error(Message(std::string("cannot watch for Ctrl+C: ") + std::strerror(errno) + "."));
        return ToInt(ExitStatus::Failed);
    }

    const Selection selection = OpenTransceiver(hid_, options_.device);
    for (const std::string& line : DescribeSelection(selection)) {
        output_.Error(line);
    }
    for (const OpenFailure& failure : selection.failures) {
        reported_.insert(failure.path); // told once, not again after an unplug
    }
    if (!selection.opened) {
        return ToInt(selection.status);
    }
    if (!Watchable(*selection.opened)) {
        hid_.Close(selection.opened->handle);
        output_.Error(UnwatchableLine(*selection.opened));
        return ToInt(ExitStatus::Failed);
    }
    Connect(*selection.opened, Clock::now());

    int status = ToInt(ExitStatus::Success);
    while (!output_.Broken()) {
        // While a transceiver is connected the loop sleeps until something
        // happens; without one it wakes for the next search only.
        int timeout = -1;
        if (!watched_) {
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextSearch_ - Clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
        }
        pollfd fds[2] = {
            {signals.Fd(), POLLIN, 0},
            {watched_ ? hid_.PollDescriptor(watched_->transceiver.handle) : -1, POLLIN, 0},
        };
        const int ready = ::poll(fds, 2, timeout);
        const Clock::time_point woke = Clock::now();
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            output_.Error(Message(std::string("waiting for reports failed: ") + std::strerror(errno) + "."));
            status = ToInt(ExitStatus::Failed);
            break;
        }
        // Reports first: those queued before a Ctrl+C are still shown.
        if (watched_ && fds[1].revents != 0) {
            const std::string node = watched_->transceiver.interface.path;
            const ReadEnd end = ReadPending(woke);
            if (end == ReadEnd::Gone) {
                Disconnect();
                output_.Line(printer_.Unplugged(Ms(woke), node));
                nextSearch_ = woke;
            } else if (end == ReadEnd::Failed) {
                output_.Error(Message("reading the transceiver at " + node
                    + " failed, so watching ended. Replug it and start qz470-probe again."));
                status = ToInt(ExitStatus::Failed);
                break;
            }
        }
        if (fds[0].revents != 0 && signals.Take() != 0) {
            break;
        }
        if (!watched_ && woke >= nextSearch_) {
            Search(woke);
        }
    }
    Disconnect();

    if (output_.Broken() && !output_.ReaderGone()) {
        output_.Error(
            Message(std::string("cannot write to standard output: ") + std::strerror(output_.BrokenError()) + "."));
        return ToInt(ExitStatus::Failed);
    }
    output_.Error(printer_.Summary(Ms(Clock::now())));
    return status;
}

} // namespace

int RunWatch(const CommonOptions& options, HidrawLayer& hid, Output& output, Clock::time_point origin)
{
    WatchLoop loop(options, hid, output, origin);
    return loop.Run();
}

} // namespace qz::probe
