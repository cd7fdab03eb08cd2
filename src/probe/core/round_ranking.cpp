#include "probe/core/round_ranking.h"

#include <cctype>
#include <cmath>

namespace qz::probe {

std::optional<std::string> ParseRoundButton(std::string_view text)
{
    std::string upper(text);
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (!IsPlayerButton(upper)) {
        return std::nullopt;
    }
    return upper;
}

RoundRanking::RoundRanking(std::optional<std::string> button)
    : button_(std::move(button))
{
}

bool RoundRanking::Add(const ReportRecord& record)
{
    if (!record.press || !IsPlayerButton(record.button) || (button_ && record.button != *button_)
        || placed_.contains(record.pad)) {
        return false;
    }
    if (ranking_.empty()) {
        firstMs_ = record.timeMs;
    }
    // The times are whole microseconds: the difference, rounded to one, is
    // exact and prints without binary noise.
    const double delay = std::round((record.timeMs - firstMs_) * 1000.0) / 1000.0;
    ranking_.push_back({record.pad, record.button, delay});
    placed_.insert(record.pad);
    return true;
}

Round RoundRanking::Close()
{
    Round round {++closed_, std::move(ranking_)};
    ranking_.clear();
    placed_.clear();
    return round;
}

} // namespace qz::probe
