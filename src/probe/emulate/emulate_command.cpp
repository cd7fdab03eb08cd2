#include "probe/emulate/emulate_command.h"

#include "link/transceiver.h"
#include "probe/core/exit_status.h"
#include "probe/core/hex.h"
#include "probe/core/message.h"
#include "probe/emulate/emulate_scheduler.h"
#include "probe/emulate/output_report_line.h"
#include "probe/emulate/replay.h"
#include "probe/emulate/script_grammar.h"
#include "probe/emulate/uhid/uhid_transceiver.h"
#include "probe/io/signal_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qz::probe {

namespace {

using Clock = std::chrono::steady_clock;
// The largest file taken as a script or a recording.
constexpr std::size_t kLargestFile = 256u << 20;
// The longest typed line; a longer one is refused whole.
constexpr std::size_t kLongestLine = 4096;

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

using Source = EmulateScheduler::Source;

// The time of the run: the system's steady clock.
class SteadyClock final : public EmulateClock {
public:
    Clock::time_point Now() override { return Clock::now(); }
};

// One run of emulate: the scheduler, and around it the I/O it needs: /dev/uhid
// (the output reports the host writes, and whether a program has the node
// open), the lines typed on standard input, and the signals that end it.
class EmulateRun {
public:
    EmulateRun(const EmulatedModel& model, Source source, std::vector<EmulateStep> steps, UhidTransceiver& device,
        Output& output)
        : model_(model)
        , source_(source)
        , device_(device)
        , output_(output)
        , scheduler_(model, source, std::move(steps), device, clock_,
              [&output](const std::string& line) { output.Error(line); })
        , typing_(source == Source::Typed)
    {
    }

    int Run();

private:
    void TakeEvents();
    void TakeTyped();
    void TypedLine(std::string_view line);

    const EmulatedModel& model_;
    Source source_;
    UhidTransceiver& device_;
    Output& output_;
    SteadyClock clock_;
    EmulateScheduler scheduler_;
    bool typing_; // typed lines still come
    std::string typed_; // a typed line not yet ended
    bool overlong_ = false; // the typed line is being passed over
    std::size_t received_ = 0;
};

void EmulateRun::TakeEvents()
{
    for (;;) {
        UhidTransceiver::Event event = device_.Next();
        switch (event.kind) {
        case UhidTransceiver::Event::Kind::None:
            return;
        case UhidTransceiver::Event::Kind::Opened:
            scheduler_.ReaderOpened();
            break;
        case UhidTransceiver::Event::Kind::Closed:
            scheduler_.ReaderClosed();
            break;
        case UhidTransceiver::Event::Kind::Output:
            ++received_;
            output_.Line(OutputReportLine(event.report, Transceiver::LedFormatOf(model_.productId)));
            break;
        case UhidTransceiver::Event::Kind::Failed:
            output_.Error(
                Message(std::string("reading /dev/uhid failed: ") + std::strerror(device_.ErrorCode()) + "."));
            scheduler_.Fail();
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
        scheduler_.Add(*parsed.step);
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
        scheduler_.InputEnded();
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
    SignalFd signals({SIGINT, SIGTERM, SIGHUP});
    if (signals.Fd() < 0) {
        output_.Error(Message(std::string("cannot watch for Ctrl+C: ") + std::strerror(errno) + "."));
        return ToInt(ExitStatus::Failed);
    }
    if (!scheduler_.Start()) {
        return ToInt(ExitStatus::Failed);
    }
    const Clock::time_point began = Clock::now();
    if (source_ == Source::Typed) {
        if (::isatty(STDIN_FILENO) == 1) {
            output_.Error(Message("type one command a line: PAD BUTTON (for example 5 a), wait MS, unplug, replug "
                                  "or end. Ctrl+D or Ctrl+C ends, with an unplug."));
        }
    } else {
        output_.Error(Message(std::string("the ") + (source_ == Source::Replay ? "replay" : "script")
            + " starts when a program opens the transceiver: start the tester or 'qz470-probe watch'."));
    }

    bool stopped = false;
    while (!stopped) {
        TakeEvents();
        // A failure while reading /dev/uhid ends the run too.
        if (!scheduler_.RunDue()) {
            break;
        }
        pollfd fds[3] = {
            {signals.Fd(), POLLIN, 0},
            {device_.Fd(), POLLIN, 0},
            {typing_ ? STDIN_FILENO : -1, POLLIN, 0},
        };
        // ppoll(): a replay keeps its times to the microsecond, not to
        // poll()'s whole milliseconds.
        const std::optional<Clock::duration> timeout = scheduler_.Timeout();
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
            scheduler_.Fail();
            break;
        }
        if (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            output_.Error(Message("/dev/uhid failed, so the virtual transceiver is gone."));
            scheduler_.Fail();
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
    scheduler_.Unplug();
    const std::size_t sent = scheduler_.Sent();
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", std::chrono::duration<double>(Clock::now() - began).count());
    output_.Error(Message("sent " + std::to_string(sent) + (sent == 1 ? " input report" : " input reports")
        + " and received " + std::to_string(received_) + (received_ == 1 ? " output report" : " output reports")
        + " in " + seconds + "."));
    return ToInt(scheduler_.Failed() ? ExitStatus::Failed : ExitStatus::Success);
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
    EmulateRun run(*model, source, std::move(parsed.steps), device, output);
    return run.Run();
}

} // namespace qz::probe
