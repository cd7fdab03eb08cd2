// The probe's logic without a device: the search and the survey over the
// scripted HID bus, the lines and JSON it prints (parsed back, not compared
// as text), the LED request and the PAD argument, the rounds of `watch` and
// the screen of `check`.
#include "fakes/fake_hid_bus.h"
#include "link/open_failure.h"
#include "link/transceiver.h"
#include "probe/check/check_layout.h"
#include "probe/check/kit_check.h"
#include "probe/core/hid_survey.h"
#include "probe/core/led_request.h"
#include "probe/list/list_format.h"
#include "probe/watch/round_ranking.h"
#include "probe/watch/watch_format.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

namespace qz::probe {
namespace {

using nlohmann::json;

constexpr std::uint16_t kVendor = Transceiver::kVendorId;
constexpr std::uint16_t kCmd = Transceiver::kCmdModelProductId;
constexpr std::uint16_t kFrame = Transceiver::kFrameModelProductId;

std::vector<json> Parse(const std::vector<std::string>& lines)
{
    std::vector<json> objects;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find('\n'), std::string::npos);
        objects.push_back(json::parse(line));
    }
    return objects;
}

// A foreign device, a refusing 0x1003 model, a usable 0x1001 model and a
// 0x1003 model behind it: the survey opens each transceiver once and closes
// it, never a foreign device, and takes the refused node's lengths from its
// descriptor.
TEST(ProbeSurvey, ListsTransceiversOpensNoForeignDeviceAndSaysWhyNot)
{
    FakeHidBus bus;
    FakeHidDevice& mouse = bus.AddDevice(0x046D, 0xC077, 5, 0);
    FakeHidDevice& denied = bus.AddDevice(kVendor, kFrame, 9, 9);
    denied.openStatus = HidLayer::OpenStatus::PermissionDenied;
    FakeHidDevice& cmd = bus.AddDevice(kVendor, kCmd, 3, 6);
    FakeHidDevice& frame = bus.AddDevice(kVendor, kFrame, 9, 9);
    const DescriptorLengths fromDescriptor = [&](const std::string& path, HidLayer::ReportLengths& lengths) {
        lengths = path == denied.Path() ? HidLayer::ReportLengths {9, 9} : HidLayer::ReportLengths {5, 0};
        return true;
    };

    const Survey survey = SurveyInterfaces(bus, fromDescriptor, "", false);
    EXPECT_EQ(survey.status, ExitStatus::Success);
    EXPECT_EQ(survey.otherCount, 1u);
    EXPECT_EQ(mouse.OpenCount(), 0);
    EXPECT_EQ(cmd.OpenCount(), 1);
    EXPECT_EQ(frame.OpenCount(), 1);
    EXPECT_EQ(bus.OpenHandleCount(), 0u);

    const auto objects = Parse(ListJsonLines(survey));
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0]["node"], denied.Path());
    EXPECT_EQ(objects[0]["model"], "0x1003");
    EXPECT_EQ(objects[0]["input_length"], 9);
    EXPECT_EQ(objects[0]["openable"], false);
    EXPECT_EQ(objects[0]["reason"], "permission");
    EXPECT_EQ(objects[0]["advice"],
        DescribeOpenFailure(
            {denied.Path(), kVendor, kFrame, HidLayer::OpenStatus::PermissionDenied, 0}, "qz470-probe"));
    EXPECT_EQ(objects[1]["model"], "0x1001");
    EXPECT_EQ(objects[1]["input_length"], 3);
    EXPECT_EQ(objects[1]["output_length"], 6);
    EXPECT_EQ(objects[1]["openable"], true);
    EXPECT_FALSE(objects[1].contains("reason"));

    const auto lines = ListLines(survey, Style(false));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0],
        denied.Path() + "  transceiver 0x1003  input 9 bytes, output 9 bytes  cannot be opened: no permission");
    EXPECT_EQ(lines[3], "1 other HID interface, not a transceiver (qz470-probe list --all lists it)");
    // The advice for the refused one goes to standard error even though another works.
    EXPECT_EQ(DescribeSurveyProblems(survey), std::vector<std::string> {objects[0]["advice"]});

    // --all: the foreign device listed, still not opened.
    const auto all = Parse(ListJsonLines(SurveyInterfaces(bus, fromDescriptor, "", true)));
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0]["transceiver"], false);
    EXPECT_TRUE(all[0]["openable"].is_null());
    EXPECT_TRUE(all[0]["model"].is_null());
    EXPECT_EQ(all[0]["vendor_id"], 0x046D);
    EXPECT_EQ(all[0]["input_length"], 5);
    EXPECT_EQ(mouse.OpenCount(), 0);
}

// The exit status and the message of `list`, and of the search that `watch`
// and `led` run, for each way of finding no usable transceiver.
TEST(ProbeSurvey, ExitStatusesAndMessagesAgreeForEveryCommand)
{
    struct Case {
        const char* what;
        std::vector<HidLayer::OpenStatus> transceivers; // each a 0x1003 model opening like this
        std::string device;
        ExitStatus status;
        std::string lastMessage; // empty: none
    };
    const std::string noTransceiver = DescribeNoTransceiver("qz470-probe");
    const std::string denied0 = DescribeOpenFailure(
        {"/dev/hidraw1", kVendor, kFrame, HidLayer::OpenStatus::PermissionDenied, EACCES}, "qz470-probe");
    const Case cases[] = {
        {"none at all", {}, "", ExitStatus::NoTransceiver, noTransceiver},
        {"one that refuses", {HidLayer::OpenStatus::PermissionDenied}, "", ExitStatus::NotOpenable, denied0},
        {"one that vanished", {HidLayer::OpenStatus::Gone}, "", ExitStatus::NoTransceiver, noTransceiver},
        {"refuses, then one that works", {HidLayer::OpenStatus::PermissionDenied, HidLayer::OpenStatus::Opened}, "",
            ExitStatus::Success, denied0},
        {"a node that is not there", {HidLayer::OpenStatus::Opened}, "/dev/hidraw7", ExitStatus::NoTransceiver,
            "qz470-probe: there is no HID interface at /dev/hidraw7. Run 'qz470-probe list --all' to see the "
            "interfaces present."},
        {"a foreign node", {HidLayer::OpenStatus::Opened}, "/dev/hidraw0", ExitStatus::NoTransceiver,
            "qz470-probe: /dev/hidraw0 is not a transceiver (USB 046d:c077), so it was not opened. Run 'qz470-probe "
            "list' to see the transceivers present."},
        {"the node asked for", {HidLayer::OpenStatus::PermissionDenied, HidLayer::OpenStatus::Opened}, "/dev/hidraw2",
            ExitStatus::Success, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeHidBus bus;
        FakeHidDevice& mouse = bus.AddDevice(0x046D, 0xC077, 5, 0);
        for (const HidLayer::OpenStatus status : c.transceivers) {
            FakeHidDevice& device = bus.AddDevice(kVendor, kFrame, 9, 9);
            device.openStatus = status;
        }
        const Survey survey = SurveyInterfaces(bus, {}, c.device, false);
        EXPECT_EQ(survey.status, c.status);
        const auto listed = DescribeSurveyProblems(survey);
        EXPECT_EQ(listed.empty() ? "" : listed.back(), c.lastMessage);

        const Selection selection = OpenTransceiver(bus, c.device);
        EXPECT_EQ(selection.status, c.status);
        EXPECT_EQ(mouse.OpenCount(), 0);
        if (selection.opened) {
            EXPECT_EQ(selection.opened->lengths.input, 9);
            EXPECT_FALSE(selection.opened->CmdModel());
            if (!c.device.empty()) {
                EXPECT_EQ(selection.opened->interface.path, c.device);
            }
            bus.Close(selection.opened->handle);
        }
        const auto lines = DescribeSelection(selection);
        EXPECT_EQ(lines.empty() ? "" : lines.back(), c.lastMessage);
    }
}

TEST(ProbeWatch, ReportsAndEventsAsJsonLinesAndText)
{
    WatchPrinter lines(true, Style(false));
    WatchPrinter text(false, Style(false));

    // The tester's buffer of a 0x1003 model: nine bytes read, a spare tenth.
    ByteArray buffer {0x00, 0xFA, 0x07, 0x00, 0x05, 0x04, 0xFC, 0x00, 0x00, 0x00};
    const ReportRecord press = DecodeReport(buffer, 9, 1234.567);
    const json pressed = json::parse(lines.Report(press));
    EXPECT_EQ(pressed, json::parse(R"({"time_ms": 1234.567, "raw": "00fa07000504fc0000", "pad": 5, "button": "A"})"));
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

LedFormat Format(bool cmdModel)
{
    return cmdModel ? LedFormat::CmdReport : LedFormat::LedFrame;
}

TEST(ProbeLed, TheTestersBytesAndAClearLineForWhatCannotBeSent)
{
    const HidLayer::ReportLengths frameLengths {9, 9};
    const HidLayer::ReportLengths cmdLengths {3, 6};
    const struct {
        LedCommand command;
        std::int16_t pad;
        bool cmdModel;
        ByteArray sent;
    } sends[] = {
        {LedCommand::OnShort, 7, false, {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF}},
        {LedCommand::OnShort, 7, true, {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00}},
        {LedCommand::On, 20, false, {0x00, 0xFA, 0x08, 0x01, 0x0A, 0x00, 0x01, 0xF8, 0xAF}},
        {LedCommand::On, 0, false, {0x00, 0xFA, 0x08, 0x01, 0x50, 0x00, 0x01, 0xA2, 0xAF}},
        {LedCommand::Off, 0, true, {0x00, 0x63, 0x6D, 0x64, 0xCB, 0x00}},
    };
    for (const auto& s : sends) {
        const LedBytes led = BuildLedBytes(
            s.command, s.pad, Format(s.cmdModel), "/dev/hidraw1", true, s.cmdModel ? cmdLengths : frameLengths);
        ASSERT_TRUE(led.ok) << led.error;
        EXPECT_EQ(led.bytes, s.sent);
    }

    const struct {
        LedCommand command;
        std::int16_t pad;
        bool cmdModel;
        HidLayer::ReportLengths lengths;
        std::string error;
    } refusals[] = {
        {LedCommand::On, 300, false, frameLengths,
            "qz470-probe: pad 300 does not fit the LEDOn report of the 0x1003 model: its pad byte would be 290, and a "
            "byte holds 0 to 255; nothing was sent. Choose all or a pad from 1 to 255 or 260."},
        {LedCommand::Off, 130, true, cmdLengths,
            "qz470-probe: pad 130 does not fit the LEDOff report of the 0x1001 model: its command code would be 256, "
            "and a byte holds 0 to 255; nothing was sent. Choose all or a pad from 1 to 129."},
        {LedCommand::OnShort, -1, true, cmdLengths,
            "qz470-probe: the 0x1001 model has no LEDOnShort for pad -1 (the tester sends nothing for it), so nothing "
            "was sent. Choose all or a pad from 1 to 249."},
        {LedCommand::On, 5, false, {3, 9},
            "qz470-probe: the transceiver at /dev/hidraw1 has input reports of 3 bytes, too short for the LED frame "
            "that the tester builds in its report buffer; nothing was sent."},
        {LedCommand::On, 5, false, {9, 0},
            "qz470-probe: the transceiver at /dev/hidraw1 has no output report, so it cannot take LED commands; "
            "nothing was sent."},
    };
    for (const auto& r : refusals) {
        const LedBytes led = BuildLedBytes(r.command, r.pad, Format(r.cmdModel), "/dev/hidraw1", true, r.lengths);
        EXPECT_FALSE(led.ok);
        EXPECT_TRUE(led.bytes.empty());
        EXPECT_EQ(led.error, r.error);
    }
    EXPECT_FALSE(BuildLedBytes(LedCommand::On, 5, LedFormat::LedFrame, "/dev/hidraw1", false, {}).ok);
}

TEST(ProbeLed, ActionsAndPads)
{
    EXPECT_EQ(ParseLedAction("short"), LedCommand::OnShort);
    EXPECT_EQ(ParseLedAction("flash"), LedCommand::Flash);
    EXPECT_FALSE(ParseLedAction("ON"));
    const struct {
        const char* text;
        std::optional<std::int16_t> pad;
    } pads[] = {{"all", 0}, {"0", 0}, {"7", 7}, {"-32768", -32768}, {"32767", 32767}, {"32768", std::nullopt},
        {"-32769", std::nullopt}, {"+5", std::nullopt}, {"5x", std::nullopt}, {"", std::nullopt}, {" 5", std::nullopt},
        {"0x10", std::nullopt}, {"ALL", std::nullopt}};
    for (const auto& p : pads) {
        EXPECT_EQ(ParsePad(p.text), p.pad) << "'" << p.text << "'";
    }
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
    EXPECT_EQ(ParseRoundButton("buzz"), "BUZZ");
    EXPECT_EQ(ParseRoundButton("POWERED"), std::nullopt);
}

// At every terminal size, from none at all to a wide one, the screen stays
// inside the terminal, and paging through the grid shows every pad once.
TEST(ProbeCheck, TheScreenFitsEveryTerminalAndThePagesShowEveryPadOnce)
{
    KitCheck kit(kMaxPads);
    kit.Apply(1, "A");
    kit.Apply(35, "BUZZ");
    kit.Apply(260, "ERROR");
    kit.Apply(2, "POWERED");
    kit.Apply(300, "A"); // beyond the kit
    CheckStatus status;
    status.connection = "transceiver 0x1003 at /dev/hidraw-with-a-rather-long-name-that-does-not-fit";
    status.light = true;
    status.note = "LEDOn not sent to pad 3: writing to the transceiver failed";
    for (int width = 0; width <= 160; width += 3) {
        for (int height = 0; height <= 50; ++height) {
            GridPager pager(kit.PadCount());
            const GridFit fit = FitGrid(width, height);
            pager.Fit(fit);
            std::set<int> shown;
            for (int page = 0; page < kMaxPads + 1; ++page) {
                for (const Span& span : LayOutCheck(kit, status, pager, width, height)) {
                    ASSERT_TRUE(span.row >= 0 && span.row < height && span.column >= 0
                        && span.column + static_cast<int>(span.text.size()) <= width)
                        << width << "x" << height << ": '" << span.text << "' at " << span.row << "," << span.column;
                    if (span.tone == Tone::Seen || span.tone == Tone::Unseen) {
                        EXPECT_TRUE(shown.insert(std::stoi(span.text)).second) << span.text;
                    }
                }
                const int last = pager.Last();
                pager.Next();
                if (pager.Last() == last) {
                    break;
                }
            }
            EXPECT_EQ(shown.size(), fit.Usable() ? 260u : 0u) << width << "x" << height;
        }
    }
}

// A kit of 260 pads is complete once every pad byte has been heard: the
// four pads that no report can name (256 to 259) are not waited for.
TEST(ProbeCheck, PadsNoReportCanNameAreNotCounted)
{
    KitCheck kit(kMaxPads);
    EXPECT_EQ(SeenLine(kit), "0 of 256 pads seen");
    for (int padByte = 0; padByte <= 255; ++padByte) {
        // A framed report: report ID, start byte, length 7, reserved, pad
        // byte, key byte (POWERED), checksum, padding, the spare byte.
        ByteArray buffer {0x00, 0xFA, 0x07, 0x00, static_cast<std::uint8_t>(padByte), 0x00, 0, 0x00, 0x00, 0x00};
        buffer[6] = static_cast<std::uint8_t>(0xFA ^ 0x07 ^ padByte);
        const ReportRecord record = DecodeReport(buffer, 9, 0);
        ASSERT_TRUE(record.press);
        EXPECT_TRUE(kit.Apply(record.pad, record.button).firstTime) << padByte;
    }
    EXPECT_TRUE(kit.Complete());
    EXPECT_EQ(CheckSummary(kit), "qz470-probe: 256 of 256 pads seen.");
    const auto lines = TableLines(kit);
    EXPECT_EQ(lines[255], "pad 256: not counted, no report can name it");
    EXPECT_EQ(lines[259], "pad 260: no button; POWERED");
    EXPECT_EQ(json::parse(TableJsonLines(kit)[256])["counted"], false);
}

} // namespace
} // namespace qz::probe
