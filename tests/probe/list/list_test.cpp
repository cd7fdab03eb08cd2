// What `list` prints, as lines and as JSON (parsed back, not compared as
// text), for a survey over the scripted HID bus.
#include "fakes/fake_hid_bus.h"
#include "link/open_failure.h"
#include "link/transceiver.h"
#include "probe/core/hid_survey.h"
#include "probe/list/list_format.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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

} // namespace
} // namespace qz::probe
