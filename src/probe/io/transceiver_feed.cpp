#include "probe/io/transceiver_feed.h"

#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"
#include "probe/core/message.h"

#include <algorithm>

namespace qz::probe {

namespace {

// Input reports that carry data: without them there is nothing to read.
bool Readable(const OpenedTransceiver& transceiver)
{
    return transceiver.lengthsKnown && transceiver.lengths.input > 1;
}

// At start the probe gives up on such a transceiver; once it is looking for
// one again after an unplug, it goes on looking, and a replug is enough.
std::string UnreadableLine(const OpenedTransceiver& transceiver, bool whileSearching)
{
    return Message("the transceiver at " + transceiver.interface.path
        + " has no input report that its report descriptor describes, so no press can be read from it. "
        + (whileSearching ? "Replug it: qz470-probe is looking for it and will pick it up."
                          : "Replug it and start qz470-probe again."));
}

} // namespace

TransceiverFeed::TransceiverFeed(HidrawLayer& hid, std::string device)
    : hid_(hid)
    , device_(std::move(device))
{
}

TransceiverFeed::~TransceiverFeed()
{
    Close();
}

ExitStatus TransceiverFeed::Open(std::vector<std::string>& problems)
{
    const Selection selection = OpenTransceiver(hid_, device_);
    for (const std::string& line : DescribeSelection(selection)) {
        problems.push_back(line);
    }
    for (const OpenFailure& failure : selection.failures) {
        reported_.insert(failure.path); // told once, not again after an unplug
    }
    if (!selection.opened) {
        return selection.status;
    }
    if (!Readable(*selection.opened)) {
        hid_.Close(selection.opened->handle);
        problems.push_back(UnreadableLine(*selection.opened, false));
        return ExitStatus::Failed;
    }
    Connect(*selection.opened);
    return ExitStatus::Success;
}

int TransceiverFeed::PollDescriptor() const
{
    return watched_ ? hid_.PollDescriptor(watched_->transceiver.handle) : -1;
}

int TransceiverFeed::Timeout(Clock::time_point now) const
{
    if (watched_) {
        return -1;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(nextSearch_ - now);
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(wait.count(), 0));
}

TransceiverFeed::ReadEnd TransceiverFeed::ReadPending(
    const std::function<bool(const ByteArray& buffer, std::size_t delivered)>& onReport)
{
    if (!watched_) {
        return ReadEnd::Drained;
    }
    for (;;) {
        Watched& watched = *watched_;
        // A read fills up to the input report length; the last byte of the
        // buffer is never written, as in the tester.
        const auto result = hid_.ReadReport(
            watched.transceiver.handle, std::span<std::uint8_t>(watched.buffer.data(), watched.buffer.size() - 1));
        switch (result.outcome) {
        case HidLayer::ReadOutcome::Report:
            if (!onReport(watched.buffer, result.bytes)) {
                return ReadEnd::Stopped;
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

void TransceiverFeed::Lose(Clock::time_point when)
{
    Close();
    nextSearch_ = when;
}

bool TransceiverFeed::SearchIfDue(Clock::time_point now, std::vector<std::string>& problems)
{
    if (watched_ || now < nextSearch_) {
        return false;
    }
    nextSearch_ = now + std::chrono::milliseconds(Transceiver::kSearchIntervalMs);
    const Selection selection = OpenTransceiver(hid_, device_);
    if (selection.opened) {
        failedSearches_ = 0;
        if (Readable(*selection.opened)) {
            Connect(*selection.opened);
            return true;
        }
        hid_.Close(selection.opened->handle);
        if (reported_.insert(selection.opened->interface.path).second) {
            problems.push_back(UnreadableLine(*selection.opened, true));
        }
        return false;
    }
    // udev applies a new node's permissions a moment after it appears: tell
    // of a node that refuses only once it has refused for a while.
    bool refused = false;
    for (const OpenFailure& failure : selection.failures) {
        refused = refused || failure.status != HidLayer::OpenStatus::Gone;
    }
    failedSearches_ = refused ? failedSearches_ + 1 : 0;
    if (failedSearches_ <= Transceiver::kPermissionRetries) {
        return false;
    }
    for (OpenFailure failure : selection.failures) {
        if (failure.status != HidLayer::OpenStatus::Gone && reported_.insert(failure.path).second) {
            failure.whileSearching = true; // the search goes on: no need to start again
            problems.push_back(DescribeOpenFailure(failure, kProgramName));
        }
    }
    return false;
}

bool TransceiverFeed::Write(std::span<const std::uint8_t> report)
{
    return watched_ && hid_.WriteReport(watched_->transceiver.handle, report);
}

void TransceiverFeed::Connect(const OpenedTransceiver& transceiver)
{
    watched_ = Watched {transceiver, ByteArray(static_cast<std::size_t>(transceiver.lengths.input) + 1, 0)};
}

void TransceiverFeed::Close()
{
    if (watched_) {
        hid_.Close(watched_->transceiver.handle);
        watched_.reset();
    }
}

} // namespace qz::probe
