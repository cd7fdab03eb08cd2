#pragma once

#include "probe/emulate/emulate_step.h"
#include "probe/emulate/emulated_model.h"
#include "probe/emulate/virtual_transceiver.h"

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qz::probe {

// The time a run of `emulate` goes by; tests hand in a clock they move.
class EmulateClock {
public:
    virtual ~EmulateClock() = default;
    virtual std::chrono::steady_clock::time_point Now() = 0;
};

// How long the kernel may take to start a transceiver and make its node.
inline constexpr std::chrono::milliseconds kPlugPatience {5000};
// How long a program must have had the transceiver open before a script or a
// replay sends to it. A program that only looks (qz470-probe list, a desktop
// service probing hidraw nodes) closes it again at once, and hidraw gives a
// report only to those that have the node open when it arrives.
inline constexpr std::chrono::milliseconds kReaderSettle {500};

// Runs the steps of `emulate` on a virtual transceiver, each when it is due:
// typed steps at once, a script's one after the other with its waits, a
// replay's at their recorded times. A script or a replay starts once a
// program has had the transceiver open for kReaderSettle, and each of its
// presses waits for such a reader; the times that follow keep their gaps to
// a press that waited. The lines for the user go to `tell`.
class EmulateScheduler {
public:
    using Clock = std::chrono::steady_clock;
    enum class Source { Typed, Script, Replay };
    using Tell = std::function<void(const std::string& line)>;

    EmulateScheduler(const EmulatedModel& model, Source source, std::vector<EmulateStep> steps,
        VirtualTransceiver& device, EmulateClock& clock, Tell tell);

    // Plugs the transceiver in, the run's start; false when it was refused.
    bool Start();
    // A typed step, run after those typed before it.
    void Add(EmulateStep step) { steps_.push_back(std::move(step)); }
    // Typed input has ended: the run ends once the steps typed are done.
    void InputEnded() { typing_ = false; }
    // A program opened the transceiver (the first one), or closed it (the
    // last one).
    void ReaderOpened();
    void ReaderClosed() { opened_ = false; }

    // Runs the steps that are due; false when the run is over: an end, the
    // end of the steps, or a failure.
    bool RunDue();
    // How long the caller may sleep: until the next step is due, or for ever
    // (nullopt) when only the host, the input or a signal can move the run.
    std::optional<Clock::duration> Timeout() const;

    // Unplugs the transceiver, when it is plugged in.
    void Unplug();
    // Something beside the steps failed (the device itself): the run is over.
    void Fail() { failed_ = true; }
    bool Failed() const { return failed_; }
    std::size_t Sent() const { return sent_; }

private:
    bool Plug(bool again);
    bool Send(const EmulateStep& step);
    bool ReaderSettled(Clock::time_point now) const { return opened_ && now - openedAt_ >= kReaderSettle; }
    const char* SourceName() const { return source_ == Source::Replay ? "replay" : "script"; }

    const EmulatedModel& model_;
    Source source_;
    std::deque<EmulateStep> steps_;
    VirtualTransceiver& device_;
    EmulateClock& clock_;
    Tell tell_;
    bool typing_; // typed steps may still come
    bool started_; // a script or a replay has started
    bool opened_ = false;
    Clock::time_point openedAt_ {};
    bool failed_ = false;
    // A scripted or replayed press waits for a reader.
    bool blocked_ = false;
    // A typed press went to nobody: told once until a program opens it.
    bool toldDropped_ = false;
    Clock::time_point origin_ {}; // the start of the run, for replayed times
    std::optional<Clock::time_point> pauseUntil_;
    std::size_t sent_ = 0;
};

} // namespace qz::probe
