// What every command shares, without a device: the tester's search and the
// survey of `list` over the scripted HID bus, with their exit statuses and
// messages, and the LED request with the PAD argument.
#include "fakes/fake_hid_bus.h"
#include "link/open_failure.h"
#include "link/transceiver.h"
#include "probe/core/hid_survey.h"
#include "probe/core/led_request.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace qz::probe {
namespace {

constexpr std::uint16_t kVendor = Transceiver::kVendorId;
constexpr std::uint16_t kFrame = Transceiver::kFrameModelProductId;

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

} // namespace
} // namespace qz::probe
