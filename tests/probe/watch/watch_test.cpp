// watch without a device: its report lines and events as text and as JSON
// (parsed back), and its rounds.
#include "link/transceiver.h"
#include "probe/core/round_ranking.h"
#include "probe/watch/watch_format.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace qz::probe {
namespace {

using nlohmann::json;

constexpr std::uint16_t kFrame = Transceiver::kFrameModelProductId;

TEST(ProbeWatch, ReportsAndEventsAsJsonLinesAndText)
{
    WatchPrinter lines(true, Style(false));
    WatchPrinter text(false, Style(false));

    // The tester's buffer of a 0x1003 model: nine bytes read, a spare tenth.
    ByteArray buffer {0x00, 0xFA, 0x07, 0x00, 0x05, 0x04, 0xFC, 0x00, 0x00, 0x00};
    const ReportRecord press = DecodeReport(buffer, 9, 1234.567);
    const json pressed = json::parse(lines.Report(press));
    EXPECT_EQ(pressed,
        json::parse(
            R"({"event": "press", "time_ms": 1234.567, "raw": "00fa07000504fc0000", "pad": 5, "button": "A"})"));
    EXPECT_EQ(text.Report(press), "    1234.567 ms  00 FA 07 00 05 04 FC 00 00  pad 5 A");

    buffer[6] ^= 1; // checksum
    const json notPress = json::parse(lines.Report(DecodeReport(buffer, 9, 1300)));
    EXPECT_TRUE(notPress["pad"].is_null());
    EXPECT_TRUE(notPress["button"].is_null());
    EXPECT_EQ(notPress["raw"], "00fa07000504fd0000");
    EXPECT_EQ(text.Report(DecodeReport(buffer, 9, 1300)), "    1300.000 ms  00 FA 07 00 05 04 FD 00 00  not a press");

    // A 0x1001 model: the code report is decoded from the whole four-byte
    // buffer, and shown without its spare byte.
    const ReportRecord code = DecodeReport({0x00, 0x00, 0x24, 0x00}, 3, 2.0);
    const json coded = json::parse(lines.Report(code));
    EXPECT_EQ(coded["pad"], 30);
    EXPECT_EQ(coded["button"], "BUZZ");
    EXPECT_EQ(coded["raw"], "000024");

    const json connected = json::parse(lines.Connected(0.02, "/dev/hidraw1", kFrame));
    EXPECT_EQ(connected, json::parse(R"({"event": "connected", "time_ms": 0.02, "node": "/dev/hidraw1",
        "model": "0x1003"})"));
    const json unplugged = json::parse(lines.Unplugged(5000.5, "/dev/hidraw1"));
    EXPECT_EQ(unplugged["event"], "unplugged");
    EXPECT_EQ(unplugged["time_ms"], 5000.5);

    EXPECT_EQ(lines.Summary(63249.0), "qz470-probe: 3 reports in 63.2 s (2 presses, 1 not a press), unplugged 1 time.");
    // Time to the microsecond.
    const auto origin = std::chrono::steady_clock::time_point {};
    EXPECT_EQ(MillisecondsBetween(origin, origin + std::chrono::nanoseconds(1234567891)), 1234.567);
}

ReportRecord Press(int pad, const char* button, double timeMs)
{
    ReportRecord record;
    record.timeMs = timeMs;
    record.press = true;
    record.pad = static_cast<std::int16_t>(pad);
    record.button = button;
    return record;
}

// A round takes the first press of each pad, in the order given, of the
// button that counts; POWERED, ERROR and what is not a press never count.
TEST(ProbeRounds, FirstPressOfEachPadInArrivalOrder)
{
    ReportRecord notPress = Press(4, "", 1000.0);
    notPress.press = false;
    const std::vector<ReportRecord> reports
        = {Press(7, "POWERED", 999.0), Press(8, "ERROR", 999.5), notPress, Press(12, "BUZZ", 1000.001),
            Press(3, "A", 1041.213), Press(12, "A", 1042.0), Press(5, "BUZZ", 1041.213), Press(3, "BUZZ", 1050.0)};
    const struct {
        std::optional<std::string> button;
        std::vector<RankedPress> ranking;
    } cases[] = {
        {std::nullopt, {{12, "BUZZ", 0.0}, {3, "A", 41.212}, {5, "BUZZ", 41.212}}},
        {"BUZZ", {{12, "BUZZ", 0.0}, {5, "BUZZ", 41.212}, {3, "BUZZ", 49.999}}},
        {"A", {{3, "A", 0.0}, {12, "A", 0.787}}},
        {"D", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.button.value_or("any"));
        RoundRanking rounds(c.button);
        for (const ReportRecord& report : reports) {
            rounds.Add(report);
        }
        const Round round = rounds.Close();
        EXPECT_EQ(round.number, 1);
        ASSERT_EQ(round.ranking.size(), c.ranking.size());
        for (std::size_t i = 0; i < c.ranking.size(); ++i) {
            EXPECT_EQ(round.ranking[i].pad, c.ranking[i].pad) << i;
            EXPECT_EQ(round.ranking[i].button, c.ranking[i].button) << i;
            EXPECT_EQ(round.ranking[i].delayMs, c.ranking[i].delayMs) << i; // exact: whole microseconds
        }
        // The next round starts empty, and a pad may take a place again.
        rounds.Add(reports.back());
        EXPECT_EQ(rounds.Close().number, 2);
    }

    // Places line up past nine.
    RoundRanking many;
    for (int pad = 1; pad <= 10; ++pad) {
        many.Add(Press(pad, "C", 100.0 + pad));
    }
    WatchPrinter text(false, Style(false));
    const auto lines = text.RoundLines(many.Close(), std::nullopt);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[0], "round 1: 10 pads by arrival");
    EXPECT_EQ(lines[1], " 1. pad 1 C +0.0 ms");
    EXPECT_EQ(lines[10], "10. pad 10 C +9.0 ms");
    // An empty round, for people and as JSON, with the one button that counts.
    RoundRanking onlyA("A");
    onlyA.Add(Press(4, "B", 200.0));
    const Round empty = onlyA.Close();
    EXPECT_EQ(text.RoundLines(empty, onlyA.Button()), std::vector<std::string> {"round 1 (A only): no press"});
    WatchPrinter jsonLines(true, Style(false));
    EXPECT_EQ(json::parse(jsonLines.RoundLines(empty, onlyA.Button()).at(0)),
        json::parse(R"({"event": "round", "round": 1, "ranking": []})"));
    onlyA.Add(Press(260, "A", 300.0));
    EXPECT_EQ(json::parse(jsonLines.RoundLines(onlyA.Close(), onlyA.Button()).at(0)),
        json::parse(R"({"event": "round", "round": 2, "ranking": [{"pad": 260, "button": "A", "delay_ms": 0.0}]})"));
    EXPECT_EQ(jsonLines.Summary(1000), "qz470-probe: 0 reports in 1.0 s (0 presses, 0 not a press), 2 rounds.");
    EXPECT_EQ(ParseRoundButton("buzz"), "BUZZ");
    EXPECT_EQ(ParseRoundButton("POWERED"), std::nullopt);
}

} // namespace
} // namespace qz::probe
