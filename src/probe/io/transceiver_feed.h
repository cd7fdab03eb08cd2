#pragma once

#include "decode/transceiver_data.h"
#include "probe/core/exit_status.h"
#include "probe/core/hid_survey.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace qz {
class HidrawLayer;
}

namespace qz::probe {

// The transceiver that `watch` and `check` follow: found by the tester's
// search at the start, read on every wake-up, and after an unplug looked for
// again every 300 ms, as the tester does, until one comes back. While one is
// connected, nothing but its node wakes the loop. It prints nothing: the
// lines for the user are handed back.
class TransceiverFeed {
public:
    using Clock = std::chrono::steady_clock;

    TransceiverFeed(HidrawLayer& hid, std::string device);
    ~TransceiverFeed();
    TransceiverFeed(const TransceiverFeed&) = delete;
    TransceiverFeed& operator=(const TransceiverFeed&) = delete;

    // The first search: Success once a transceiver is connected, otherwise
    // the status to end with. `problems` receives the message lines.
    ExitStatus Open(std::vector<std::string>& problems);

    // The transceiver connected, or nullptr.
    const OpenedTransceiver* Connected() const { return watched_ ? &watched_->transceiver : nullptr; }
    // The descriptor to wait on for reports; -1 while none is connected.
    int PollDescriptor() const;
    // The timeout for poll(): -1 while connected, else the milliseconds
    // until the next search is due.
    int Timeout(Clock::time_point now) const;

    enum class ReadEnd { Drained, Gone, Failed, Stopped };
    // Hands every report pending to `onReport`, in arrival order: the
    // tester's report buffer (input report length + 1 bytes) and how many of
    // its bytes the read delivered, report ID included. Stops early when
    // `onReport` returns false.
    ReadEnd ReadPending(const std::function<bool(const ByteArray& buffer, std::size_t delivered)>& onReport);
    // The connected transceiver went away at `when`: closes it; the next
    // search is due at once.
    void Lose(Clock::time_point when);
    // Without a transceiver, once a search is due: searches, and returns
    // true when one was connected. `problems` receives the lines to tell.
    bool SearchIfDue(Clock::time_point now, std::vector<std::string>& problems);

    // Writes one output report to the connected transceiver.
    bool Write(std::span<const std::uint8_t> report);

private:
    struct Watched {
        OpenedTransceiver transceiver;
        ByteArray buffer;
    };
    void Connect(const OpenedTransceiver& transceiver);
    void Close();

    HidrawLayer& hid_;
    std::string device_;
    std::optional<Watched> watched_;
    Clock::time_point nextSearch_;
    // Searches in a row that found a transceiver that would not open, and
    // the nodes whose failure the user has been told of.
    int failedSearches_ = 0;
    std::set<std::string> reported_;
};

} // namespace qz::probe
