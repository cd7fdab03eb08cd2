#include "link/transceiver.h"
#include "probe/commands.h"
#include "probe/emulate_script.h"
#include "probe/exit_status.h"
#include "probe/signal_descriptor.h"
#include "probe/uhid_transceiver.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>

namespace qz::probe {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How long the kernel may take to start a transceiver and make its node.
constexpr auto kPlugPatience = 5s;
// The largest file taken as a script or a recording.
constexpr std::size_t kLargestFile = 256u << 20;
// The longest typed line; a longer one is refused whole.
constexpr std::size_t kLongestLine = 4096;
// How long a program must have had the transceiver open before a script or a
// replay sends to it. A program that only looks (qz470-probe list, a desktop
// service probing hidraw nodes) closes it again at once, and hidraw gives a
// report only to those that have the node open when it arrives.
constexpr auto kReaderSettle = 500ms;

// The whole file, or why not, as a message line.
bool ReadWholeFile(const std::string& path, std::string& text, std::string& error)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = Message("cannot read " + path + ": " + std::strerror(errno) + "; nothing was sent.");
        return false;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            error = Message("cannot read " + path + ": " + std::strerror(errno) + "; nothing was sent.");
            break;
        }
        if (n == 0) {
            break;
        }
        if (text.size() + static_cast<std::size_t>(n) > kLargestFile) {
            error = Message(path + " is larger than " + std::to_string(kLargestFile >> 20)
                + " MiB, too large for a script or a recording; nothing was sent.");
            break;
        }
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return error.empty();
}

enum class Source { Typed, Script, Replay };

class EmulateRun {
public:
    EmulateRun(const EmulatedModel& model, Source source, std::deque<EmulateStep> steps, UhidTransceiver& device,
        Output& output)
        : model_(model)
        , source_(source)
        , steps_(std::move(steps))
        , device_(device)
        , output_(output)
        , typing_(source == Source::Typed)
        , started_(source == Source::Typed)
    {
    }

    int Run();

private:
    bool Plug(bool again);
    void Unplug();
    // Runs the steps that are due; false when the run is over.
    bool RunDue(Clock::time_point now);
    bool Send(const EmulateStep& step);
    void TakeEvents();
    void TakeTyped();
    void TypedLine(std::string_view line);
    // How long poll() may sleep: until the next step is due, or for ever
    // (nullopt) when only the kernel, the input or a signal can move the run.
    std::optional<Clock::duration> Timeout(Clock::time_point now) const;
    // A program has had the transceiver open for kReaderSettle.
    bool ReaderSettled(Clock::time_point now) const { return opened_ && now - openedAt_ >= kReaderSettle; }

    const EmulatedModel& model_;
    Source source_;
    std::deque<EmulateStep> steps_;
    UhidTransceiver& device_;
    Output& output_;
    bool typing_; // typed lines still come
    std::string typed_; // a typed line not yet ended
    bool overlong_ = false; // the typed line is being passed over
    // A script or a replay starts once a program has the transceiver open
    // (ReaderSettled).
    bool started_;
    bool opened_ = false;
    Clock::time_point openedAt_ {};
    bool failed_ = false;
    // A scripted or replayed press waits for a program to have the
    // transceiver open (ReaderSettled).
    bool blocked_ = false;
    // A typed press went to nobody: told once until a program opens it.
    bool toldDropped_ = false;
    Clock::time_point origin_ {};
    std::optional<Clock::time_point> pauseUntil_;
    std::size_t sent_ = 0;
    std::size_t received_ = 0;
};

bool EmulateRun::Plug(bool again)
{
    if (!device_.Plug(model_, kPlugPatience)) {
        output_.Error(Message(device_.ErrorCode() == ETIMEDOUT
                ? std::string("the kernel made the virtual transceiver, but no HID driver started it. Load one "
                              "('sudo modprobe hid-generic') and try again.")
                : std::string("the kernel refused the virtual transceiver: ") + std::strerror(device_.ErrorCode())
                    + "."));
        failed_ = true;
        return false;
    }
    opened_ = false;
    toldDropped_ = false;
    const std::string lengths = "input reports of " + std::to_string(model_.lengths.input)
        + " bytes, output reports of " + std::to_string(model_.lengths.output) + " bytes";
    const std::string where
        = device_.Node().empty() ? std::string("(its hidraw node did not appear)") : "at " + device_.Node();
    output_.Error(Message((again ? "plugged the virtual transceiver " + ModelName(model_.productId) + " in again "
                                 : "a virtual transceiver " + ModelName(model_.productId) + " is plugged in ")
        + where + " (" + lengths + ")."));
    return true;
}

void EmulateRun::Unplug()
{
    if (device_.Plugged()) {
        device_.Unplug();
        opened_ = false;
        output_.Error(Message("unplugged the virtual transceiver."));
    }
}

bool EmulateRun::Send(const EmulateStep& step)
{
    if (!device_.Send(step.data)) {
        output_.Error(Message(
            "the kernel refused the input report of " + step.what + ": " + std::strerror(device_.ErrorCode()) + "."));
        failed_ = true;
        return false;
    }
    ++sent_;
    output_.Error(Message("sent " + step.what + ": " + HexSpaced(step.data)));
    if (!opened_ && !toldDropped_) {
        toldDropped_ = true;
        output_.Error(Message("no program has the transceiver open, so the kernel passes the report to nobody. "
                              "Start the tester or 'qz470-probe watch' first."));
    }
    return true;
}

bool EmulateRun::RunDue(Clock::time_point now)
{
    if (!started_ && ReaderSettled(now)) {
        started_ = true;
        origin_ = now;
        output_.Error(Message("a program has the transceiver open: the "
            + std::string(source_ == Source::Replay ? "replay" : "script") + " starts."));
    }
    while (started_) {
        if (pauseUntil_) {
            if (now < *pauseUntil_) {
                return true;
            }
            pauseUntil_.reset();
        }
        if (steps_.empty()) {
            // Nothing left to do: the run ends with the script, or with the
            // typed input once it has ended.
            return typing_;
        }
        const EmulateStep& step = steps_.front();
        if (step.at && now < origin_ + *step.at) {
            return true;
        }
        switch (step.kind) {
        case EmulateStep::Kind::Send:
            if (!device_.Plugged()) {
                // Typed only: a script's presses were checked before the run.
                output_.Error(Message(step.what + " was not sent: the transceiver is unplugged. Type replug first."));
                break;
            }
            if (!ReaderSettled(now) && source_ != Source::Typed) {
                // Scripted and replayed presses wait for a reader; the times
                // that follow keep their gaps to this one.
                blocked_ = true;
                return true;
            }
            if (blocked_ && step.at) {
                origin_ = now - *step.at;
            }
            blocked_ = false;
            if (!Send(step)) {
                return false;
            }
            break;
        case EmulateStep::Kind::Wait:
            pauseUntil_ = now + step.pause;
            break;
        case EmulateStep::Kind::Unplug:
            Unplug();
            break;
        case EmulateStep::Kind::Replug:
            Unplug();
            if (!Plug(true)) {
                return false;
            }
            break;
        case EmulateStep::Kind::End:
            return false;
        }
        steps_.pop_front();
        now = Clock::now();
    }
    return true;
}

std::optional<Clock::duration> EmulateRun::Timeout(Clock::time_point now) const
{
    std::optional<Clock::time_point> wake;
    if ((!started_ || blocked_) && opened_) {
        wake = openedAt_ + kReaderSettle; // the reader has stayed
    } else if (pauseUntil_) {
        wake = pauseUntil_;
    } else if (started_ && !blocked_ && !steps_.empty() && steps_.front().at) {
        wake = origin_ + *steps_.front().at;
    }
    if (!wake) {
        return std::nullopt;
    }
    return std::max<Clock::duration>(*wake - now, Clock::duration::zero());
}

void EmulateRun::TakeEvents()
{
    for (;;) {
        UhidTransceiver::Event event = device_.Next();
        switch (event.kind) {
        case UhidTransceiver::Event::Kind::None:
            return;
        case UhidTransceiver::Event::Kind::Opened:
            opened_ = true;
            openedAt_ = Clock::now();
            toldDropped_ = false;
            break;
        case UhidTransceiver::Event::Kind::Closed:
            opened_ = false;
            break;
        case UhidTransceiver::Event::Kind::Output:
            ++received_;
            output_.Line(OutputReportLine(event.report, model_.CmdModel()));
            break;
        case UhidTransceiver::Event::Kind::Failed:
            output_.Error(
                Message(std::string("reading /dev/uhid failed: ") + std::strerror(device_.ErrorCode()) + "."));
            failed_ = true;
            return;
        }
    }
}

void EmulateRun::TypedLine(std::string_view line)
{
    const ParsedLine parsed = ParseEmulateLine(line, model_);
    if (!parsed.error.empty()) {
        output_.Error(Message(parsed.error + "; nothing was sent."));
        return;
    }
    if (parsed.step) {
        steps_.push_back(*parsed.step);
    }
}

void EmulateRun::TakeTyped()
{
    char chunk[4096];
    ssize_t n = 0;
    do {
        n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        // End of input (Ctrl+D), or input that cannot be read: what was typed
        // last still counts.
        if (!typed_.empty() && !overlong_) {
            TypedLine(typed_);
        }
        typed_.clear();
        typing_ = false;
        return;
    }
    for (const char c : std::string_view(chunk, static_cast<std::size_t>(n))) {
        if (c == '\n') {
            if (!overlong_) {
                TypedLine(typed_);
            }
            typed_.clear();
            overlong_ = false;
        } else if (!overlong_) {
            typed_ += c;
            if (typed_.size() > kLongestLine) {
                output_.Error(Message("a typed line longer than " + std::to_string(kLongestLine)
                    + " characters is no command; nothing was sent."));
                typed_.clear();
                overlong_ = true;
            }
        }
    }
}

int EmulateRun::Run()
{
    SignalDescriptor signals({SIGINT, SIGTERM, SIGHUP});
    if (signals.Fd() < 0) {
        output_.Error(Message(std::string("cannot watch for Ctrl+C: ") + std::strerror(errno) + "."));
        return ToInt(ExitStatus::Failed);
    }
    if (!Plug(false)) {
        return ToInt(ExitStatus::Failed);
    }
    const Clock::time_point began = Clock::now();
    if (source_ == Source::Typed) {
        origin_ = began;
        if (::isatty(STDIN_FILENO) == 1) {
            output_.Error(Message("type one command a line: PAD BUTTON (for example 5 a), wait MS, unplug, replug "
                                  "or end. Ctrl+D or Ctrl+C ends, with an unplug."));
        }
    } else {
        output_.Error(Message(std::string("the ") + (source_ == Source::Replay ? "replay" : "script")
            + " starts when a program opens the transceiver: start the tester or 'qz470-probe watch'."));
    }

    bool stopped = false;
    while (!stopped && !failed_) {
        TakeEvents();
        if (failed_ || !RunDue(Clock::now()) || failed_) {
            break;
        }
        pollfd fds[3] = {
            {signals.Fd(), POLLIN, 0},
            {device_.Fd(), POLLIN, 0},
            {typing_ ? STDIN_FILENO : -1, POLLIN, 0},
        };
        // ppoll(): a replay keeps its times to the microsecond, not to
        // poll()'s whole milliseconds.
        const std::optional<Clock::duration> timeout = Timeout(Clock::now());
        timespec wait {};
        if (timeout) {
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(*timeout).count();
            wait.tv_sec = static_cast<time_t>(ns / 1000000000);
            wait.tv_nsec = static_cast<long>(ns % 1000000000);
        }
        const int ready = ::ppoll(fds, 3, timeout ? &wait : nullptr, nullptr);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            output_.Error(Message(std::string("waiting for the kernel failed: ") + std::strerror(errno) + "."));
            failed_ = true;
            break;
        }
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            output_.Error(Message("/dev/uhid failed, so the virtual transceiver is gone."));
            failed_ = true;
            break;
        }
        if (fds[2].revents != 0) {
            TakeTyped();
        }
        if (fds[0].revents != 0 && signals.Take() != 0) {
            stopped = true;
        }
    }
    // Output reports written before the end are still shown.
    TakeEvents();
    Unplug();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", std::chrono::duration<double>(Clock::now() - began).count());
    output_.Error(Message("sent " + std::to_string(sent_) + (sent_ == 1 ? " input report" : " input reports")
        + " and received " + std::to_string(received_) + (received_ == 1 ? " output report" : " output reports")
        + " in " + seconds + "."));
    return ToInt(failed_ ? ExitStatus::Failed : ExitStatus::Success);
}

} // namespace

int RunEmulate(const EmulateOptions& options, Output& output)
{
    // Files first, whole: a bad line stops the run before anything is made
    // or sent, and needs no root to be found.
    std::string text;
    std::string error;
    const std::string& file = !options.script.empty() ? options.script : options.replay;
    if (!file.empty() && !ReadWholeFile(file, text, error)) {
        output.Error(error);
        return ToInt(ExitStatus::Usage);
    }
    std::uint16_t productId = options.model.value_or(Transceiver::kFrameModelProductId);
    if (!options.replay.empty() && !options.model) {
        productId = RecordedModel(text).value_or(productId); // the model it was recorded with
    }
    const EmulatedModel* model = FindEmulatedModel(productId);
    if (model == nullptr) {
        output.Error(Message("the recording was made with a transceiver " + ModelName(productId)
            + ", which emulate cannot be; choose --model 1001 or --model 1003."));
        return ToInt(ExitStatus::Usage);
    }

    Source source = Source::Typed;
    ParsedFile parsed;
    if (!options.script.empty()) {
        source = Source::Script;
        parsed = ParseScript(text, *model);
    } else if (!options.replay.empty()) {
        source = Source::Replay;
        parsed = ParseReplay(text, *model, options.speed);
    }
    if (parsed.problem) {
        output.Error(FileProblemLine(file, *parsed.problem));
        return ToInt(ExitStatus::Usage);
    }

    UhidTransceiver device;
    switch (device.Open()) {
    case UhidTransceiver::OpenStatus::Opened:
        break;
    case UhidTransceiver::OpenStatus::NoAccess:
        output.Error(Message("only root may use /dev/uhid, which can make any input device: run it with sudo, "
                             "as 'sudo qz470-probe emulate'."));
        return ToInt(ExitStatus::NotOpenable);
    case UhidTransceiver::OpenStatus::Missing:
        output.Error(Message("/dev/uhid is missing, so no virtual transceiver can be made. Load the kernel's uhid "
                             "module ('sudo modprobe uhid') and try again."));
        return ToInt(ExitStatus::Failed);
    case UhidTransceiver::OpenStatus::Failed:
        output.Error(Message(std::string("cannot open /dev/uhid: ") + std::strerror(device.ErrorCode()) + "."));
        return ToInt(ExitStatus::Failed);
    }
    EmulateRun run(*model, source, std::deque<EmulateStep>(parsed.steps.begin(), parsed.steps.end()), device, output);
    return run.Run();
}

} // namespace qz::probe
