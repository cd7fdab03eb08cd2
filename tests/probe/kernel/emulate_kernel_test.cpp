// qz470-probe emulate against a real kernel: the virtual transceiver it makes
// through /dev/uhid is seen by the probe's own list and watch exactly as a
// real one, the LED reports that led writes come back decoded, unplug and
// replug work, a watch recording replays to the same presses, and what
// cannot be done is refused with a clear line and nothing sent.
// run_in_vm.sh boots a kernel with this test as its only program and the
// probe beside it, named by QZ_PROBE; elsewhere it exits 77.
#include "child_process.h"
#include "uhid_device.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace qz {
namespace {

using nlohmann::json;
using test::ChildOptions;
using test::ChildProcess;

struct Press {
    int pad;
    std::string button;
    bool operator==(const Press&) const = default;
};

// What each model is asked to send, and the LED commands asked of it with
// the line emulate must print for each.
struct ModelCase {
    std::uint16_t product;
    std::string model; // as --model takes it
    int inputLength;
    int outputLength;
    std::vector<std::pair<std::string, Press>> presses; // script line, decoded press
    std::vector<std::pair<std::vector<std::string>, std::string>> leds; // led arguments, emulate's line
};

const ModelCase kCmdModel {
    0x1001,
    "1001",
    3,
    6,
    {{"1 a", {1, "A"}}, {"2 B", {2, "B"}}, {"3 c", {3, "C"}}, {"4 d", {4, "D"}}, {"30 buzz", {30, "BUZZ"}},
        {"39 a", {39, "A"}}, {"80 d", {80, "D"}}},
    {{{"short", "7"}, "63 6D 64 07 00  LED short pad 7"},
        {{"flash", "1"}, "63 6D 64 51 00  LED flash pad 1 or LED on pad 35 or LED short pad 75"},
        {{"on", "35"}, "63 6D 64 51 00  LED flash pad 1 or LED on pad 35 or LED short pad 75"},
        {{"short", "35"}, "63 6D 64 29 00  LED on pad 1 or LED short pad 35"},
        {{"off", "all"},
            "63 6D 64 CB 00  LED off no particular pad or pad 77 or LED flash pad 117 or LED on pad 157 or LED short "
            "pad 197"}},
};

const ModelCase kFrameModel {
    0x1003,
    "1003",
    9,
    9,
    {{"1 a", {1, "A"}}, {"2 b", {2, "B"}}, {"3 C", {3, "C"}}, {"4 d", {4, "D"}}, {"5 buzz", {5, "BUZZ"}},
        {"6 power", {6, "POWERED"}}, {"7 ERROR", {7, "ERROR"}}, {"10 a", {10, "A"}}, {"255 b", {255, "B"}},
        {"260 d", {260, "D"}}},
    {{{"short", "7"}, "FA 08 01 07 00 02 F6 AF  LED short pad 7"},
        {{"on", "20"}, "FA 08 01 0A 00 01 F8 AF  LED on pad 20"},
        {{"short", "all"}, "FA 08 01 50 00 02 A1 AF  LED short no particular pad or pad 90"},
        {{"flash", "90"}, "FA 08 01 50 00 03 A0 AF  LED flash no particular pad or pad 90"}},
};

class EmulateKernelTest : public ::testing::TestWithParam<ModelCase> {
protected:
    void SetUp() override
    {
        probe_ = test::ProbeInVmOrSkip();
        std::signal(SIGPIPE, SIG_IGN);
    }

    std::vector<std::string> Probe(std::vector<std::string> arguments) const
    {
        arguments.insert(arguments.begin(), probe_);
        return arguments;
    }

    static std::string WriteFile(const std::string& name, const std::string& text)
    {
        const std::string path = "/tmp/" + name;
        std::ofstream(path) << text;
        return path;
    }

    // Starts emulate and waits for its node (looked up in sysfs: opening it
    // would start a script).
    std::unique_ptr<ChildProcess> Emulate(const std::vector<std::string>& arguments, const ChildOptions& options = {})
    {
        auto emulate = ChildProcess::Start(Probe(arguments), options);
        EXPECT_TRUE(emulate);
        node_ = test::WaitForHidrawNode(GetParam().product, std::chrono::seconds(20));
        EXPECT_FALSE(node_.empty()) << "no node; emulate said: " << (emulate->Wait(), emulate->Stderr());
        return emulate;
    }

    static json Next(ChildProcess& watch)
    {
        const auto line = watch.ReadLine();
        EXPECT_TRUE(line) << "no line; standard error: " << watch.Stderr();
        return line ? json::parse(*line) : json::object();
    }

    // Reads watch's JSON Lines up to its `count`th unplug; the presses in
    // order, and the events between them as presses with pad 0.
    static std::vector<Press> ReadSession(ChildProcess& watch, int unplugs, std::vector<std::string>* lines = nullptr)
    {
        std::vector<Press> seen;
        while (unplugs > 0) {
            const auto line = watch.ReadLine();
            if (!line) {
                ADD_FAILURE() << "watch ended early; standard error: " << watch.Stderr();
                break;
            }
            if (lines != nullptr) {
                lines->push_back(*line);
            }
            const json object = json::parse(*line);
            if (!object.contains("raw")) {
                seen.push_back({0, object["event"].get<std::string>()});
                unplugs -= object["event"] == "unplugged" ? 1 : 0;
            } else {
                seen.push_back({object["pad"].get<int>(), object["button"].get<std::string>()});
            }
        }
        return seen;
    }

    std::string probe_;
    std::string node_;
};

// A script of every press the model carries, an unplug and a replug: list
// and watch see a transceiver of the model, watch decodes each press in
// order, and each LED command of led comes back decoded, ambiguous ones too.
TEST_P(EmulateKernelTest, ScriptedPressesAreSeenAndLedReportsComeBackDecoded)
{
    const ModelCase& model = GetParam();
    std::string script = "# every press the model carries\n";
    for (const auto& [line, press] : model.presses) {
        script += line + "\n";
    }
    script += "unplug\nwait 200\nreplug\n11 c   # after the replug\nwait 600000\n";
    auto emulate = Emulate({"emulate", "--model", model.model, "--script", WriteFile("script.txt", script)});

    auto watch = ChildProcess::Start(Probe({"watch", "--json"}));
    const json connected = Next(*watch);
    EXPECT_EQ(connected["event"], "connected");
    EXPECT_EQ(connected["node"], node_);
    EXPECT_EQ(connected["model"], "0x" + model.model);
    std::vector<Press> expected;
    for (const auto& [line, press] : model.presses) {
        expected.push_back(press);
    }
    expected.push_back({0, "unplugged"});
    expected.push_back({0, "connected"});
    expected.push_back({11, "C"});
    std::vector<Press> seen;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const json object = Next(*watch);
        if (object.contains("node")) {
            node_ = object["node"]; // the replug may bring a new node, while the old one is still going
        }
        seen.push_back(!object.contains("raw") ? Press {0, object["event"].get<std::string>()}
                                               : Press {object["pad"].get<int>(), object["button"].get<std::string>()});
    }
    EXPECT_EQ(seen, expected);

    // Seen by list as a transceiver of the model, with its lengths.
    const test::RunResult list = test::RunToEnd(Probe({"list", "--json"}));
    EXPECT_EQ(list.status, 0) << list.err;
    const json entry = json::parse(test::Lines(list.out).at(0));
    EXPECT_EQ(entry["node"], node_);
    EXPECT_EQ(entry["model"], "0x" + model.model);
    EXPECT_EQ(entry["input_length"], model.inputLength);
    EXPECT_EQ(entry["output_length"], model.outputLength);
    EXPECT_EQ(entry["openable"], true);

    for (const auto& [arguments, line] : model.leds) {
        std::vector<std::string> led = {"led"};
        led.insert(led.end(), arguments.begin(), arguments.end());
        const test::RunResult sent = test::RunToEnd(Probe(led));
        EXPECT_EQ(sent.status, 0) << sent.err;
        EXPECT_EQ(emulate->ReadLine().value_or("no line"), line) << "after led " << arguments[0] << " " << arguments[1];
    }

    // Ctrl+C ends the run with an unplug.
    emulate->Signal(SIGINT);
    EXPECT_EQ(emulate->Wait(), 0) << emulate->Stderr();
    EXPECT_EQ(Next(*watch)["event"], "unplugged");
    EXPECT_NE(emulate->Stderr().find("sent " + std::to_string(model.presses.size() + 1) + " input reports and received "
                  + std::to_string(model.leds.size()) + " output reports"),
        std::string::npos)
        << emulate->Stderr();
    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(), 0);
}

// Presses typed on standard input, one refused, recorded by watch --json with
// an unplug and a replug between; the recording replayed (twice as fast, the
// model taken from it) gives watch the same presses in the same order.
TEST_P(EmulateKernelTest, ATypedSessionRecordedByWatchReplaysToTheSamePresses)
{
    const ModelCase& model = GetParam();
    ChildOptions typed;
    typed.input = ChildOptions::Input::Pipe;
    auto emulate = Emulate({"emulate", "--model", model.model}, typed);
    auto watch = ChildProcess::Start(Probe({"watch", "--json"}));
    std::vector<std::string> recording;
    const auto record = [&]() {
        const auto line = watch->ReadLine();
        EXPECT_TRUE(line) << watch->Stderr();
        recording.push_back(line.value_or("{}"));
        return json::parse(recording.back());
    };
    EXPECT_EQ(record()["event"], "connected");

    // Pad 300 fits neither model: refused, nothing sent; the press after it
    // is the next report watch sees.
    const auto& first = model.presses;
    emulate->WriteInput(first[0].first + "\nwait 30\n" + first[1].first + "\n300 a\n" + first[2].first + "\n");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(record()["pad"], first[static_cast<std::size_t>(i)].second.pad);
    }
    emulate->WriteInput("unplug\n");
    EXPECT_EQ(record()["event"], "unplugged");
    emulate->WriteInput("replug\n");
    EXPECT_EQ(record()["event"], "connected");
    // Typed presses go out at once, so the test waits for watch to be back.
    emulate->WriteInput(first[3].first + "\n" + first[4].first + "\n");
    EXPECT_EQ(record()["pad"], first[3].second.pad);
    EXPECT_EQ(record()["pad"], first[4].second.pad);
    emulate->CloseInput(); // end of input ends the run: an unplug
    EXPECT_EQ(record()["event"], "unplugged");
    EXPECT_EQ(emulate->Wait(), 0);
    const std::vector<std::string> said = test::Lines(emulate->Stderr());
    EXPECT_TRUE(std::any_of(said.begin(), said.end(), [](const std::string& line) {
        return line.rfind("qz470-probe: ", 0) == 0 && line.find("pad 300") != std::string::npos
            && line.ends_with("; nothing was sent.");
    })) << emulate->Stderr();
    watch->Signal(SIGINT);
    watch->Wait();

    std::string text;
    for (const std::string& line : recording) {
        text += line + "\n";
    }
    auto replay = Emulate({"emulate", "--replay", WriteFile("recording.jsonl", text), "--speed", "2"});
    auto again = ChildProcess::Start(Probe({"watch", "--json"}));
    std::vector<std::string> replayed;
    const std::vector<Press> seen = ReadSession(*again, 2, &replayed);
    EXPECT_EQ(replay->Wait(), 0) << replay->Stderr();
    again->Signal(SIGINT);
    again->Wait();

    std::vector<Press> recorded;
    for (const std::string& line : recording) {
        const json object = json::parse(line);
        recorded.push_back(!object.contains("raw")
                ? Press {0, object["event"].get<std::string>()}
                : Press {object["pad"].get<int>(), object["button"].get<std::string>()});
    }
    EXPECT_EQ(seen, recorded);
    // The very bytes, too.
    for (std::size_t i = 0; i < std::min(recording.size(), replayed.size()); ++i) {
        const json a = json::parse(recording[i]);
        const json b = json::parse(replayed[i]);
        if (a.contains("raw")) {
            EXPECT_EQ(a["raw"], b["raw"]);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothModels, EmulateKernelTest, ::testing::Values(kCmdModel, kFrameModel),
    [](const ::testing::TestParamInfo<ModelCase>& info) { return "Model" + info.param.model; });

// What cannot be done is refused with its line and status, and nothing is
// made or sent: a bad script line, a press the model cannot carry, a replay
// line of the wrong length, no access to /dev/uhid, no /dev/uhid at all.
class EmulateRefusalTest : public EmulateKernelTest { };

TEST_P(EmulateRefusalTest, EachRefusalHasItsLineAndStatusAndSendsNothing)
{
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string line;
    };
    const Case cases[] = {
        {{"emulate", "--script", WriteFile("bad.txt", "5 a\nwait 10\n\n5 press\n")}, 2,
            "qz470-probe: /tmp/bad.txt:4: 'press' is not a button: give a, b, c, d, buzz, power or error; nothing "
            "was sent."},
        {{"emulate", "--model", "1001", "--script", WriteFile("buzz.txt", "# pads\n30 buzz\n31 buzz\n")}, 2,
            "qz470-probe: /tmp/buzz.txt:3: pad 31 has no BUZZ on the 0x1001 model: its code table gives BUZZ to "
            "pads 1 to 30 only; nothing was sent."},
        {{"emulate", "--model", "1001", "--script", WriteFile("power.txt", "5 power\n")}, 2,
            "qz470-probe: /tmp/power.txt:1: the 0x1001 model's code reports carry no POWERED (only the frames of "
            "the 0x1003 model do); nothing was sent."},
        {{"emulate", "--replay",
             WriteFile("short.jsonl",
                 "{\"event\":\"connected\",\"time_ms\":0.1,\"node\":\"/dev/hidraw0\",\"model\":\"0x1003\"}\n"
                 "{\"time_ms\":5.0,\"raw\":\"00fa07000504fc0000\",\"pad\":5,\"button\":\"A\"}\n"
                 "{\"time_ms\":9.0,\"raw\":\"00fa07000504fc00\",\"pad\":5,\"button\":\"A\"}\n")},
            2,
            "qz470-probe: /tmp/short.jsonl:3: its report has 7 bytes after the report ID, and the 0x1003 model's "
            "input reports have 8; nothing was sent."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        const test::RunResult run = test::RunToEnd(Probe(c.arguments));
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.err, c.line + "\n");
        EXPECT_EQ(run.out, "");
        // Nothing was made, so nothing can have been sent.
        EXPECT_TRUE(test::WaitForHidrawNode(0x1001, std::chrono::milliseconds(0)).empty());
        EXPECT_TRUE(test::WaitForHidrawNode(0x1003, std::chrono::milliseconds(0)).empty());
    }

    // /dev/uhid belongs to root: one line that says to use sudo.
    if (!std::filesystem::exists("/etc/passwd")) {
        std::filesystem::create_directories("/etc");
        std::ofstream("/etc/passwd") << "root:x:0:0::/:/bin/sh\nnobody:x:65534:65534::/:/bin/false\n";
        std::ofstream("/etc/group") << "root:x:0:\nnogroup:x:65534:\n";
    }
    ChildOptions nobody;
    nobody.asNobody = true;
    const test::RunResult denied = test::RunToEnd(Probe({"emulate"}), nobody);
    EXPECT_EQ(denied.status, 4);
    EXPECT_EQ(denied.err,
        "qz470-probe: only root may use /dev/uhid, which can make any input device: run it with sudo, as 'sudo "
        "qz470-probe emulate'.\n");

    // Without the uhid driver's node.
    std::filesystem::rename("/dev/uhid", "/dev/uhid.away");
    const test::RunResult missing = test::RunToEnd(Probe({"emulate", "--model", "1001"}));
    std::filesystem::rename("/dev/uhid.away", "/dev/uhid");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err,
        "qz470-probe: /dev/uhid is missing, so no virtual transceiver can be made. Load the kernel's uhid module "
        "('sudo modprobe uhid') and try again.\n");
}

INSTANTIATE_TEST_SUITE_P(OneModel, EmulateRefusalTest, ::testing::Values(kFrameModel),
    [](const ::testing::TestParamInfo<ModelCase>&) { return std::string("Model1003"); });

} // namespace
} // namespace qz
