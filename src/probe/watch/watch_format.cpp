#include "probe/watch/watch_format.h"

#include "probe/core/event_objects.h"
#include "probe/core/hex.h"
#include "probe/core/json_line.h"
#include "probe/core/message.h"
#include "probe/core/round_ranking.h"

#include <algorithm>
#include <cstdio>

namespace qz::probe {

namespace {

std::string Time(double timeMs)
{
    char text[32];
    std::snprintf(text, sizeof text, "%12.3f ms", timeMs);
    return text;
}

std::string Count(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

WatchPrinter::WatchPrinter(bool json, Style style)
    : json_(json)
    , style_(style)
{
}

std::string WatchPrinter::Report(const ReportRecord& record)
{
    ++(record.press ? presses_ : notPresses_);
    if (json_) {
        return JsonLine(ReportObject(record));
    }
    const std::string decoded = record.press
        ? style_.Paint("pad " + std::to_string(record.pad) + " " + record.button, Style::Colour::Press)
        : style_.Paint("not a press", Style::Colour::Quiet);
    return Time(record.timeMs) + "  " + HexSpaced(record.raw) + "  " + decoded;
}

std::string WatchPrinter::Connected(double timeMs, const std::string& node, std::uint16_t productId) const
{
    if (json_) {
        return JsonLine(ConnectedObject(timeMs, node, productId));
    }
    return Time(timeMs) + "  "
        + style_.Paint("connected: transceiver " + ModelName(productId) + " at " + node, Style::Colour::Event);
}

std::string WatchPrinter::Unplugged(double timeMs, const std::string& node)
{
    ++unplugs_;
    if (json_) {
        return JsonLine(UnpluggedObject(timeMs, node));
    }
    return Time(timeMs) + "  " + style_.Paint("unplugged: " + node, Style::Colour::Event);
}

std::vector<std::string> WatchPrinter::RoundLines(const Round& round, const std::optional<std::string>& button)
{
    ++rounds_;
    if (json_) {
        return {JsonLine(RoundObject(round))};
    }
    const std::string heading = "round " + std::to_string(round.number) + (button ? " (" + *button + " only)" : "")
        + ": " + (round.ranking.empty() ? "no press" : Count(round.ranking.size(), "pad", "pads") + " by arrival");
    std::vector<std::string> lines {style_.Paint(heading, Style::Colour::Event)};
    const int width = static_cast<int>(std::to_string(round.ranking.size()).size());
    for (std::size_t i = 0; i < round.ranking.size(); ++i) {
        const RankedPress& press = round.ranking[i];
        char place[96];
        std::snprintf(place, sizeof place, "%*zu. pad %d %s +%.1f ms", width, i + 1, press.pad, press.button.c_str(),
            press.delayMs);
        lines.emplace_back(place);
    }
    return lines;
}

std::string WatchPrinter::Summary(double elapsedMs) const
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", elapsedMs / 1000.0);
    std::string text = Count(presses_ + notPresses_, "report", "reports") + " in " + seconds + " ("
        + Count(presses_, "press", "presses") + ", " + std::to_string(notPresses_) + " not a press)";
    if (unplugs_ > 0) {
        text += ", unplugged " + Count(unplugs_, "time", "times");
    }
    if (rounds_ > 0) {
        text += ", " + Count(rounds_, "round", "rounds");
    }
    return Message(text + ".");
}

} // namespace qz::probe
