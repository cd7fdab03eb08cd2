#include "probe/check/check_command.h"

#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"
#include "probe/check/check_layout.h"
#include "probe/check/kit_check.h"
#include "probe/check/ncurses/check_terminal.h"
#include "probe/core/hex.h"
#include "probe/core/led_request.h"
#include "probe/core/message.h"
#include "probe/core/report_record.h"
#include "probe/io/signal_fd.h"
#include "probe/io/transceiver_feed.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qz::probe {

namespace {

using Clock = std::chrono::steady_clock;

// A message line without the program's name, for the screen.
std::string Bare(const std::string& line)
{
    const std::string prefix = std::string(kProgramName) + ": ";
    return line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : line;
}

// "pad 3", "pads 1 to 3, 7".
std::string PadsText(std::vector<int> pads)
{
    std::sort(pads.begin(), pads.end());
    pads.erase(std::unique(pads.begin(), pads.end()), pads.end());
    return (pads.size() == 1 ? "pad " : "pads ") + PadRanges(pads);
}

std::string ConnectedText(const OpenedTransceiver& transceiver)
{
    return "transceiver " + ModelName(transceiver.interface.productId) + " at " + transceiver.interface.path;
}

// What the screen says of a new connection beyond its first line: a 0x1001
// model reports in code reports, which name pads 1 to 80 only.
std::string ConnectedNote(const OpenedTransceiver& transceiver, const KitCheck& kit)
{
    if (!transceiver.CmdModel() || kit.PadCount() <= padcode::kLastPad) {
        return {};
    }
    return "the 0x1001 model names pads 1 to " + std::to_string(padcode::kLastPad) + " only: pads "
        + std::to_string(padcode::kLastPad + 1) + " to " + std::to_string(kit.PadCount())
        + " cannot be seen through it";
}

class CheckLoop {
public:
    CheckLoop(const CommonOptions& options, const CheckOptions& checkOptions, HidrawLayer& hid, Output& output)
        : options_(options)
        , light_(checkOptions.light)
        , output_(output)
        , feed_(hid, options.device)
        , kit_(checkOptions.pads)
        , pager_(checkOptions.pads)
    {
        status_.light = light_;
    }

    int Run();

private:
    // One wake-up's reports: the kit takes each; the pads seen for the first
    // time get their LEDOn once all are read.
    void Read(Clock::time_point woke);
    void Send(LedCommand command, std::int16_t pad, std::vector<int>& failed, std::string& why);
    void LightNewPads();
    void SwitchOff();
    void Draw();

    const CommonOptions& options_;
    bool light_;
    Output& output_;
    TransceiverFeed feed_;
    KitCheck kit_;
    GridPager pager_;
    CheckStatus status_;
    std::unique_ptr<CheckTerminal> terminal_;
    std::vector<int> toLight_;
    std::vector<int> lit_;
    bool ledFailed_ = false;
};

void CheckLoop::Read(Clock::time_point woke)
{
    const std::string node = feed_.Connected()->interface.path;
    const auto end = feed_.ReadPending([this](const ByteArray& buffer, std::size_t delivered) {
        const ReportRecord record = DecodeReport(buffer, delivered, 0);
        if (record.press) {
            const KitCheck::Heard heard = kit_.Apply(record.pad, record.button);
            if (light_ && heard.inKit && heard.firstTime) {
                toLight_.push_back(record.pad);
            }
        }
        return true;
    });
    if (end == TransceiverFeed::ReadEnd::Gone || end == TransceiverFeed::ReadEnd::Failed) {
        // Either way the node is of no more use: look for the transceiver
        // again, as after an unplug, and keep what the check has seen.
        feed_.Lose(woke);
        status_.connected = false;
        status_.connection = end == TransceiverFeed::ReadEnd::Gone
            ? "transceiver unplugged from " + node + ": plug it in again, and the check goes on"
            : "reading the transceiver at " + node + " failed: replug it, and the check goes on";
    }
}

void CheckLoop::Send(LedCommand command, std::int16_t pad, std::vector<int>& failed, std::string& why)
{
    const OpenedTransceiver* transceiver = feed_.Connected();
    if (transceiver == nullptr) {
        failed.push_back(pad);
        why = "no transceiver is connected";
        return;
    }
    const LedBytes led = BuildLedBytes(command, pad, Transceiver::LedFormatOf(transceiver->interface.productId),
        transceiver->interface.path, transceiver->lengthsKnown, transceiver->lengths);
    if (!led.ok) {
        failed.push_back(pad);
        why = Bare(led.error);
    } else if (!feed_.Write(led.bytes)) {
        failed.push_back(pad);
        why = "writing to the transceiver at " + transceiver->interface.path + " failed";
    }
}

void CheckLoop::LightNewPads()
{
    std::vector<int> failed;
    std::string why;
    for (const int pad : toLight_) {
        const std::size_t before = failed.size();
        Send(LedCommand::On, static_cast<std::int16_t>(pad), failed, why);
        if (failed.size() == before) {
            lit_.push_back(pad);
        }
    }
    toLight_.clear();
    status_.lit = static_cast<int>(lit_.size());
    if (!failed.empty()) {
        ledFailed_ = true;
        status_.note = "LEDOn not sent to " + PadsText(failed) + ": " + why;
    }
}

void CheckLoop::SwitchOff()
{
    std::vector<int> failed;
    std::string why;
    for (const int pad : lit_) {
        Send(LedCommand::Off, static_cast<std::int16_t>(pad), failed, why);
    }
    if (!failed.empty()) {
        ledFailed_ = true;
        output_.Error(Message("LEDOff was not sent to " + PadsText(failed) + " (" + why
            + "), so the LED may still be lit. Plug the transceiver in and run 'qz470-probe led off PAD'."));
    }
}

void CheckLoop::Draw()
{
    terminal_->Paint(LayOutCheck(kit_, status_, pager_, terminal_->Width(), terminal_->Height()));
}

int CheckLoop::Run()
{
    SignalFd signals({SIGINT, SIGTERM, SIGHUP, SIGWINCH});
    if (signals.Fd() < 0) {
        output_.Error(Message(std::string("cannot watch for Ctrl+C: ") + std::strerror(errno) + "."));
        return ToInt(ExitStatus::Failed);
    }
    std::string why;
    terminal_ = CheckTerminal::Open(why);
    if (!terminal_) {
        output_.Error(Message("check needs a terminal, but " + why
            + ". Run it in a terminal, or use 'qz470-probe watch --json' in a script."));
        return ToInt(ExitStatus::Usage);
    }
    std::vector<std::string> problems;
    const ExitStatus opened = feed_.Open(problems);
    for (const std::string& line : problems) {
        output_.Error(line);
    }
    if (opened != ExitStatus::Success) {
        return ToInt(opened);
    }
    problems.clear();
    if (!terminal_->Start(why)) {
        output_.Error(Message("check needs a terminal it knows, but " + why + ". Set TERM, for example TERM=xterm."));
        return ToInt(ExitStatus::Usage);
    }
    status_.connection = ConnectedText(*feed_.Connected());
    status_.note = ConnectedNote(*feed_.Connected(), kit_);
    pager_.Fit(FitGrid(terminal_->Width(), terminal_->Height()));
    Draw();

    bool ending = false;
    while (!ending) {
        pollfd fds[3] = {
            {signals.Fd(), POLLIN, 0},
            {feed_.PollDescriptor(), POLLIN, 0},
            {terminal_->InputFd(), POLLIN, 0},
        };
        const int ready = ::poll(fds, 3, feed_.Timeout(Clock::now()));
        const Clock::time_point woke = Clock::now();
        if (ready < 0) {
            if (errno == EINTR) {
                continue; // back from Ctrl+Z, for one
            }
            break;
        }
        if (fds[1].fd >= 0 && fds[1].revents != 0) {
            Read(woke);
            LightNewPads();
        }
        if (fds[2].revents != 0) {
            for (const CheckTerminal::Key key : terminal_->TakeKeys()) {
                switch (key) {
                case CheckTerminal::Key::Quit:
                    ending = true;
                    break;
                case CheckTerminal::Key::PageDown:
                    pager_.Next();
                    break;
                case CheckTerminal::Key::PageUp:
                    pager_.Previous();
                    break;
                case CheckTerminal::Key::Redraw:
                    pager_.Fit(FitGrid(terminal_->Width(), terminal_->Height()));
                    break;
                }
            }
            // A terminal that hung up has nothing more to say.
            ending = ending || (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        }
        if (fds[0].revents != 0) {
            while (const int signal = signals.Take()) {
                if (signal == SIGWINCH) {
                    terminal_->Resize();
                    pager_.Fit(FitGrid(terminal_->Width(), terminal_->Height()));
                } else {
                    ending = true;
                }
            }
        }
        if (!ending && feed_.SearchIfDue(woke, problems)) {
            status_.connected = true;
            status_.connection = ConnectedText(*feed_.Connected());
            status_.note = ConnectedNote(*feed_.Connected(), kit_);
        }
        if (!problems.empty()) {
            status_.note = Bare(problems.back());
            problems.clear();
        }
        if (!ending) {
            Draw();
        }
    }

    SwitchOff();
    terminal_->End();
    for (const std::string& line : options_.json ? TableJsonLines(kit_) : TableLines(kit_)) {
        output_.Line(line);
    }
    output_.Error(CheckSummary(kit_));
    if (output_.Broken() && !output_.ReaderGone()) {
        output_.Error(
            Message(std::string("cannot write to standard output: ") + std::strerror(output_.BrokenError()) + "."));
        return ToInt(ExitStatus::Failed);
    }
    return ToInt(kit_.Complete() && !ledFailed_ ? ExitStatus::Success : ExitStatus::Failed);
}

} // namespace

int RunCheck(const CommonOptions& options, const CheckOptions& checkOptions, HidrawLayer& hid, Output& output)
{
    CheckLoop loop(options, checkOptions, hid, output);
    return loop.Run();
}

} // namespace qz::probe
