// emulate without a device: the models it can be, its grammar for typed and
// scripted lines, the replay of watch recordings (written by watch's own
// printer) and the lines it prints for what the host sends back.
#include "decode/press_report.h"
#include "probe/emulate/output_report_line.h"
#include "probe/emulate/replay.h"
#include "probe/emulate/script_grammar.h"
#include "probe/watch/watch_format.h"

#include "descriptor_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qz::probe {
namespace {

using Kind = EmulateStep::Kind;
using namespace std::chrono_literals;

const EmulatedModel& CmdModel()
{
    return *FindEmulatedModel(0x1001);
}
const EmulatedModel& FrameModel()
{
    return *FindEmulatedModel(0x1003);
}

TEST(EmulatedModel, CarriesTheDescriptorsOfTestData)
{
    EXPECT_EQ(FindEmulatedModel(0x1002), nullptr);
    for (const auto& [model, name] :
        {std::pair {&CmdModel(), "transceiver_1001"}, {&FrameModel(), "transceiver_1003"}}) {
        SCOPED_TRACE(name);
        const testdata::DescriptorFile file = testdata::LoadNamedDescriptor(name);
        EXPECT_EQ(std::vector<std::uint8_t>(model->descriptor.begin(), model->descriptor.end()), file.bytes);
        EXPECT_EQ(model->lengths.input, file.input);
        EXPECT_EQ(model->lengths.output, file.output);
    }
    EXPECT_TRUE(CmdModel().CmdModel());
    EXPECT_EQ(CmdModel().InputDataSize(), kCodeReportDataSize);
    EXPECT_EQ(FrameModel().InputDataSize(), kFrameReportDataSize);
}

// Each line alone: the step it makes, or a refusal that names the problem.
TEST(EmulateGrammar, LinesMakeTheirStepOrAreRefusedWithTheReason)
{
    struct Case {
        const char* line;
        bool cmdModel;
        Kind kind; // when accepted
        ByteArray data; // Send
        const char* refusal; // part of the reason; nullptr when accepted
    };
    const Case cases[] = {
        {"5 a", false, Kind::Send, {0xFA, 0x07, 0x00, 0x05, 0x04, 0xFC, 0x00, 0x00}, nullptr},
        {"  20\tBuzz  # a comment", false, Kind::Send, *FrameReportData(20, PressButton::Buzz), nullptr},
        {"255 POWER", false, Kind::Send, *FrameReportData(255, PressButton::Powered), nullptr},
        {"260 error\r", false, Kind::Send, *FrameReportData(260, PressButton::Error), nullptr},
        {"7 powered", false, Kind::Send, *FrameReportData(7, PressButton::Powered), nullptr},
        {"39 a", true, Kind::Send, {0x01, 0x00}, nullptr}, {"30 buzz", true, Kind::Send, {0x00, 0x24}, nullptr},
        {"WAIT 250", true, Kind::Wait, {}, nullptr}, {"unplug", true, Kind::Unplug, {}, nullptr},
        {"Replug", false, Kind::Replug, {}, nullptr}, {"end", false, Kind::End, {}, nullptr},
        // What a model cannot carry.
        {"256 a", false, Kind::Send, {}, "pad 256 does not fit the pad byte of the 0x1003 model's frame"},
        {"270 a", false, Kind::Send, {}, "multiples of ten from 10 to 260"},
        {"0 a", false, Kind::Send, {}, "pad 0 does not fit"}, {"-4 b", false, Kind::Send, {}, "pad -4 does not fit"},
        {"31 buzz", true, Kind::Send, {}, "pad 31 has no BUZZ on the 0x1001 model"},
        {"81 a", true, Kind::Send, {}, "pads 1 to 80 only, not pad 81"},
        {"5 power", true, Kind::Send, {}, "the 0x1001 model's code reports carry no POWERED"},
        {"5 error", true, Kind::Send, {}, "carry no ERROR"},
        // What is no command.
        {"5", false, Kind::Send, {}, "pad 5 needs a button: a, b, c, d, buzz, power or error"},
        {"5 e", false, Kind::Send, {}, "'e' is not a button"},
        {"5 a b", false, Kind::Send, {}, "'b' is one word too many"},
        {"5x a", false, Kind::Send, {}, "'5x' is not a pad number"},
        {"99999999999 a", false, Kind::Send, {}, "'99999999999' is not a pad number"},
        {"press 5 a", false, Kind::Send, {},
            "'press' is not a command: give PAD BUTTON, wait MS, unplug, replug or end"},
        {"wait", false, Kind::Wait, {}, "wait needs a time in milliseconds"},
        {"wait -1", false, Kind::Wait, {}, "'-1' is not a time for wait"},
        {"wait 1.5", false, Kind::Wait, {}, "'1.5' is not a time for wait"},
        {"wait 2147483648", false, Kind::Wait, {}, "from 0 to 2147483647"},
        {"unplug now", false, Kind::Unplug, {}, "unplug takes nothing after it"},
        {"\x1b[2Jx a", false, Kind::Send, {}, "'?[2Jx' is not a command"}, // no escape reaches the terminal
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ParsedLine parsed = ParseEmulateLine(c.line, c.cmdModel ? CmdModel() : FrameModel());
        if (c.refusal != nullptr) {
            EXPECT_FALSE(parsed.step);
            EXPECT_NE(parsed.error.find(c.refusal), std::string::npos) << parsed.error;
            continue;
        }
        ASSERT_TRUE(parsed.step) << parsed.error;
        EXPECT_EQ(parsed.step->kind, c.kind);
        EXPECT_EQ(parsed.step->data, c.data);
    }
    EXPECT_EQ(ParseEmulateLine("wait 250", FrameModel()).step->pause, 250ms);
    EXPECT_EQ(ParseEmulateLine("5 a", FrameModel()).step->what, "pad 5 A");
    for (const char* nothing : {"", "   ", "# only a comment", "\t# x 5 a"}) {
        const ParsedLine parsed = ParseEmulateLine(nothing, FrameModel());
        EXPECT_FALSE(parsed.step);
        EXPECT_TRUE(parsed.error.empty());
    }
}

TEST(EmulateScript, AFileIsCheckedWholeAndItsFirstBadLineNamed)
{
    const ParsedFile good = ParseScript("# demo\r\n5 a\r\nwait 100\r\n\r\nunplug\nreplug\n12 buzz\nend", FrameModel());
    ASSERT_FALSE(good.problem) << good.problem->reason;
    ASSERT_EQ(good.steps.size(), 6u);
    EXPECT_EQ(good.steps[0].line, 2u);
    EXPECT_EQ(good.steps[4].what, "pad 12 BUZZ");
    EXPECT_EQ(good.steps[5].kind, Kind::End);

    const ParsedFile bad = ParseScript("5 a\n6 b\n\n31 buzz\nfoo\n", CmdModel());
    ASSERT_TRUE(bad.problem);
    EXPECT_EQ(bad.problem->line, 4u);
    EXPECT_TRUE(bad.steps.empty()); // nothing may be sent
    EXPECT_EQ(FileProblemLine("demo.txt", *bad.problem),
        "qz470-probe: demo.txt:4: pad 31 has no BUZZ on the 0x1001 model: its code table gives BUZZ to pads 1 to 30 "
        "only; nothing was sent.");

    const ParsedFile unplugged = ParseScript("5 a\nunplug\nwait 10\n6 a\n", FrameModel());
    ASSERT_TRUE(unplugged.problem);
    EXPECT_EQ(unplugged.problem->line, 4u);
    EXPECT_NE(unplugged.problem->reason.find("pad 6 A comes while the transceiver is unplugged"), std::string::npos);
}

// A recording as watch writes it, through watch's own printer.
std::string Recording(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

ReportRecord Record(double timeMs, ByteArray data)
{
    ByteArray buffer(data.size() + 2, 0);
    std::copy(data.begin(), data.end(), buffer.begin() + 1);
    return DecodeReport(buffer, data.size() + 1, timeMs);
}

TEST(EmulateReplay, AWatchRecordingBecomesStepsAtItsTimes)
{
    WatchPrinter printer(true, Style(false));
    const ByteArray press = *FrameReportData(23, PressButton::C);
    ByteArray notPress = press;
    notPress[5] ^= 1; // checksum broken
    const std::string text = Recording({
        printer.Connected(0.02, "/dev/hidraw0", 0x1003),
        printer.Report(Record(1000.5, press)),
        printer.Report(Record(1500, notPress)),
        R"({"event": "round", "round": 1, "ranking": []})", // another event: passed over
        printer.Unplugged(2000, "/dev/hidraw0"),
        printer.Connected(2600, "/dev/hidraw0", 0x1003),
        printer.Report(Record(3000, *FrameReportData(7, PressButton::Powered))),
        printer.Unplugged(4000, "/dev/hidraw0"),
        printer.Report(Record(5000, *FrameReportData(8, PressButton::Error))), // replugs first
        "",
    });
    EXPECT_EQ(RecordedModel(text), 0x1003);

    const ParsedFile replay = ParseReplay(text, FrameModel(), 2.0);
    ASSERT_FALSE(replay.problem) << replay.problem->reason;
    const std::vector<std::pair<Kind, std::chrono::microseconds>> expected = {
        {Kind::Send, 500250us},
        {Kind::Send, 750000us},
        {Kind::Unplug, 1000000us},
        {Kind::Replug, 1300000us},
        {Kind::Send, 1500000us},
        {Kind::Unplug, 2000000us},
        {Kind::Replug, 2500000us},
        {Kind::Send, 2500000us},
    };
    ASSERT_EQ(replay.steps.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(replay.steps[i].kind, expected[i].first);
        EXPECT_EQ(replay.steps[i].at, expected[i].second);
    }
    EXPECT_EQ(replay.steps[0].data, press); // the report ID 0 left out
    EXPECT_EQ(replay.steps[0].what, "pad 23 C");
    EXPECT_EQ(replay.steps[1].what, "not a press");
    EXPECT_EQ(replay.steps[4].what, "pad 7 POWERED");
    EXPECT_EQ(replay.steps[7].what, "pad 8 ERROR");
    EXPECT_EQ(replay.steps[0].line, 2u);
}

TEST(EmulateReplay, LinesThatCannotBeReplayedStopItWithTheirNumber)
{
    WatchPrinter printer(true, Style(false));
    const std::string good = printer.Report(Record(10, *FrameReportData(5, PressButton::A)));
    struct Case {
        std::string line;
        const char* reason;
    };
    const Case cases[] = {
        {printer.Report(Record(20, *CodeReportData(5, PressButton::A))),
            "its report has 2 bytes after the report ID, and the 0x1003 model's input reports have 8"},
        {R"({"time_ms": 20, "raw": "01fa07000504fc0000"})", "does not begin with report ID 0"},
        {R"({"time_ms": 20, "raw": "00fa07000504fc00"})", "its report has 7 bytes"},
        {R"({"time_ms": 20, "raw": "00fa07000504fc000"})", "not a report in hex"},
        {R"({"time_ms": 20, "raw": "zz"})", "not a report in hex"},
        {R"({"time_ms": 20, "raw": ""})", "not a report in hex"},
        {R"({"time_ms": 20})", "neither \"event\" nor a \"raw\" report"},
        {R"({"raw": "00fa07000504fc0000"})", "no \"time_ms\" number"},
        {R"({"time_ms": "20", "raw": "00fa07000504fc0000"})", "no \"time_ms\" number"},
        {R"({"time_ms": 5, "raw": "00fa07000504fc0000"})", "lies before that of the line above"},
        {R"({"time_ms": 1e300, "raw": "00fa07000504fc0000"})", "too far ahead"},
        {R"({"event": 3, "time_ms": 20})", "its \"event\" is not a text"},
        {R"({"event": "unplugged"})", "no \"time_ms\" number"},
        {R"(00fa07000504fc0000)", "not a JSON object"},
        {R"({"time_ms": 20, "raw": "00fa07000504fc0000")", "not a JSON object"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const ParsedFile replay = ParseReplay(good + "\n" + c.line + "\n" + good + "\n", FrameModel(), 1.0);
        ASSERT_TRUE(replay.problem);
        EXPECT_EQ(replay.problem->line, 2u);
        EXPECT_NE(replay.problem->reason.find(c.reason), std::string::npos) << replay.problem->reason;
        EXPECT_TRUE(replay.steps.empty());
    }
    EXPECT_EQ(RecordedModel(good), std::nullopt);
}

TEST(EmulateOutput, EveryReadingOfAnOutputReportJoinedByOr)
{
    struct Case {
        ByteArray report; // as /dev/uhid hands it over, report ID 0 first
        bool cmdModel;
        const char* line;
    };
    const Case cases[] = {
        {{0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF}, false, "FA 08 01 07 00 02 F6 AF  LED short pad 7"},
        {{0x00, 0xFA, 0x08, 0x01, 0x0A, 0x00, 0x01, 0xF8, 0xAF}, false, "FA 08 01 0A 00 01 F8 AF  LED on pad 20"},
        {{0x00, 0xFA, 0x08, 0x01, 0x50, 0x00, 0x02, 0xA1, 0xAF}, false,
            "FA 08 01 50 00 02 A1 AF  LED short no particular pad or pad 90"},
        {{0x00, 0x63, 0x6D, 0x64, 0x07, 0x00}, true, "63 6D 64 07 00  LED short pad 7"},
        {{0x00, 0x63, 0x6D, 0x64, 0x51, 0x00}, true,
            "63 6D 64 51 00  LED flash pad 1 or LED on pad 35 or LED short pad 75"},
        {{0x00, 0x63, 0x6D, 0x64, 0xC9, 0x00}, true,
            "63 6D 64 C9 00  LED on no particular pad or LED off pad 75 or LED flash pad 115 or LED on pad 155 or LED "
            "short pad 195"},
        // Neither format: the hex alone.
        {{0x00, 0x63, 0x6D, 0x64, 0x15, 0x00}, true, "63 6D 64 15 00"},
        {{0x00, 0x63, 0x6D, 0x64, 0x07, 0x00}, false, "63 6D 64 07 00"},
        {{0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF7, 0xAF}, false, "FA 08 01 07 00 02 F7 AF"},
        {{0x02, 0x63, 0x6D, 0x64, 0x07, 0x00}, true, "02 63 6D 64 07 00"},
        {{}, true, "(no bytes)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OutputReportLine(c.report, c.cmdModel ? LedFormat::CmdReport : LedFormat::LedFrame), c.line);
    }
}

} // namespace
} // namespace qz::probe
