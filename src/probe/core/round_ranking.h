#pragma once

#include "probe/core/report_record.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace qz::probe {

// --round-button: BUZZ, A, B, C or D in any case; nullopt for anything else.
std::optional<std::string> ParseRoundButton(std::string_view text);

// One place in a round's ranking: a pad's first press, and how long after
// the round's first press it arrived.
struct RankedPress {
    std::int16_t pad = 0;
    std::string button;
    double delayMs = 0; // to the microsecond, as the report times are
};

// A closed round: its number (from 1) and its ranking in arrival order.
struct Round {
    int number = 0;
    std::vector<RankedPress> ranking;
};

// The rounds of `watch` and `serve`: between two closes, the first press of
// each pad in the order the reports arrived (the kernel's queue order, which
// a wake-up that reads everything pending keeps), each with its delay after
// the round's first press. Only `button` counts, when one is given. Ties (presses
// read in the same wake-up, so with the same time) keep their arrival order.
class RoundRanking {
public:
    explicit RoundRanking(std::optional<std::string> button = std::nullopt);

    // Takes one report, in arrival order; true when it took a place.
    bool Add(const ReportRecord& record);
    // Closes the current round and starts the next at once.
    Round Close();

    const std::optional<std::string>& Button() const { return button_; }
    int Closed() const { return closed_; }

private:
    std::optional<std::string> button_;
    int closed_ = 0;
    double firstMs_ = 0;
    std::vector<RankedPress> ranking_;
    std::set<std::int16_t> placed_;
};

} // namespace qz::probe
