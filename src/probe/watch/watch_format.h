#pragma once

#include "probe/core/report_record.h"
#include "probe/core/style.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qz::probe {

struct Round;

// The lines of `watch`, as text for people or as JSON Lines (the event
// objects that `serve` sends too: core/event_objects.h), and the counts for
// its closing summary.
class WatchPrinter {
public:
    WatchPrinter(bool json, Style style);

    std::string Report(const ReportRecord& record);
    std::string Connected(double timeMs, const std::string& node, std::uint16_t productId) const;
    std::string Unplugged(double timeMs, const std::string& node);
    // A closed round: one JSON object, or for people a heading and one line
    // per place ("1. pad 12 BUZZ +0.0 ms"). `button` is the one button that
    // counted, if only one did.
    std::vector<std::string> RoundLines(const Round& round, const std::optional<std::string>& button);
    // One line for standard error: how long, how many reports of each kind,
    // how many unplugs and rounds.
    std::string Summary(double elapsedMs) const;

private:
    bool json_;
    Style style_;
    std::size_t presses_ = 0;
    std::size_t notPresses_ = 0;
    std::size_t unplugs_ = 0;
    std::size_t rounds_ = 0;
};

} // namespace qz::probe
