#include "probe/emulate/emulate_scheduler.h"

#include "probe/core/hex.h"
#include "probe/core/message.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qz::probe {

EmulateScheduler::EmulateScheduler(const EmulatedModel& model, Source source, std::vector<EmulateStep> steps,
    VirtualTransceiver& device, EmulateClock& clock, Tell tell)
    : model_(model)
    , source_(source)
    , steps_(std::make_move_iterator(steps.begin()), std::make_move_iterator(steps.end()))
    , device_(device)
    , clock_(clock)
    , tell_(std::move(tell))
    , typing_(source == Source::Typed)
    , started_(source == Source::Typed)
{
}

bool EmulateScheduler::Start()
{
    origin_ = clock_.Now();
    return Plug(false);
}

bool EmulateScheduler::Plug(bool again)
{
    if (!device_.Plug(model_, kPlugPatience)) {
        tell_(Message(device_.ErrorCode() == ETIMEDOUT
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
    tell_(Message((again ? "plugged the virtual transceiver " + ModelName(model_.productId) + " in again "
                         : "a virtual transceiver " + ModelName(model_.productId) + " is plugged in ")
        + where + " (" + lengths + ")."));
    return true;
}

void EmulateScheduler::Unplug()
{
    if (device_.Plugged()) {
        device_.Unplug();
        opened_ = false;
        tell_(Message("unplugged the virtual transceiver."));
    }
}

void EmulateScheduler::ReaderOpened()
{
    opened_ = true;
    openedAt_ = clock_.Now();
    toldDropped_ = false;
}

bool EmulateScheduler::Send(const EmulateStep& step)
{
    if (!device_.Send(step.data)) {
        tell_(Message(
            "the kernel refused the input report of " + step.what + ": " + std::strerror(device_.ErrorCode()) + "."));
        failed_ = true;
        return false;
    }
    ++sent_;
    tell_(Message("sent " + step.what + ": " + HexSpaced(step.data)));
    if (!opened_ && !toldDropped_) {
        toldDropped_ = true;
        tell_(Message("no program has the transceiver open, so the kernel passes the report to nobody. "
                      "Start the tester or 'qz470-probe watch' first."));
    }
    return true;
}

bool EmulateScheduler::RunDue()
{
    if (failed_) {
        return false;
    }
    Clock::time_point now = clock_.Now();
    if (!started_ && ReaderSettled(now)) {
        started_ = true;
        origin_ = now;
        tell_(Message("a program has the transceiver open: the " + std::string(SourceName()) + " starts."));
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
                tell_(Message(step.what + " was not sent: the transceiver is unplugged. Type replug first."));
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
        // A step may take its time (a plug waits for the kernel).
        now = clock_.Now();
    }
    return true;
}

std::optional<EmulateScheduler::Clock::duration> EmulateScheduler::Timeout() const
{
    const Clock::time_point now = clock_.Now();
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

} // namespace qz::probe
