// qz470-probe as a user runs it, against transceivers of both models and a
// foreign HID device that umockdev emulates: what `list`, `watch` and `led`
// print (JSON parsed back), the rounds of `watch` as the program runs them,
// the bytes `led` writes, the exit statuses, and that a foreign device is
// never opened. Runs under umockdev-wrapper; the probe, started as a child,
// inherits the emulation. Exits 77 without it.
#include "child_process.h"
#include "descriptor_files.h"
#include "link/open_failure.h"
#include "reports.h"
#include "umockdev_bed.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using test::ChildOptions;
using test::EmulatedHid;
using test::Lines;
using test::RunToEnd;
using Bytes = std::vector<std::uint8_t>;

const std::string kProbe = QZ_PROBE;

std::vector<std::uint8_t> Descriptor(const char* name)
{
    return testdata::LoadNamedDescriptor(name).bytes;
}

std::vector<json> ParseLines(const std::string& text)
{
    std::vector<json> objects;
    for (const std::string& line : Lines(text)) {
        objects.push_back(json::parse(line)); // every line on standard output is JSON
    }
    return objects;
}

// Counts the opens of some nodes, seen by the kernel (inotify IN_OPEN on
// the PTY each node resolves to).
class OpenWatch {
public:
    OpenWatch() { fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC); }
    ~OpenWatch() { ::close(fd_); }
    void Watch(const std::string& target) { watches_.push_back(::inotify_add_watch(fd_, target.c_str(), IN_OPEN)); }
    // Opens per watched node, in the order they were watched.
    std::vector<int> Opens()
    {
        alignas(inotify_event) char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(p);
                for (std::size_t i = 0; i < watches_.size(); ++i) {
                    counts_.resize(watches_.size());
                    counts_[i] += watches_[i] == event->wd ? 1 : 0;
                }
                p += sizeof(inotify_event) + event->len;
            }
        }
        counts_.resize(watches_.size());
        return counts_;
    }

private:
    int fd_ = -1;
    std::vector<int> watches_;
    std::vector<int> counts_;
};

Bytes Receive(int master, std::size_t count, std::chrono::milliseconds patience = 2s)
{
    return test::ReceiveAtMaster(master, count, patience);
}

void Send(int master, const Bytes& bytes)
{
    ASSERT_TRUE(test::SendAtMaster(master, bytes));
}

class ProbeTest : public ::testing::Test {
protected:
    EmulatedHid AddMouse() { return bed.Add("1-1", 0x046D, 0xC077, Descriptor("mouse_boot"), "hidraw0"); }
    EmulatedHid AddFrameModel(const std::string& port = "1-2", const std::string& node = "hidraw1")
    {
        return bed.Add(port, 0x0003, 0x1003, Descriptor("transceiver_1003"), node);
    }
    EmulatedHid AddCmdModel(const std::string& port = "1-3", const std::string& node = "hidraw2")
    {
        return bed.Add(port, 0x0003, 0x1001, Descriptor("transceiver_1001"), node);
    }

    test::RunResult Probe(std::vector<std::string> arguments, const ChildOptions& options = {})
    {
        arguments.insert(arguments.begin(), options.asNobody ? nobodysProbe_ : kProbe);
        return RunToEnd(arguments, options);
    }

    // Makes `refusing` a node that the probe may not open, as the transceiver
    // is without the udev rule: the probe then runs as "nobody", which may
    // open the other nodes. false when that cannot be arranged here.
    bool ShutOut(const EmulatedHid& refusing, const std::vector<EmulatedHid>& others)
    {
        if (::geteuid() != 0) {
            return false;
        }
        bed.OpenToOtherUsers();
        for (const EmulatedHid& hid : others) {
            ::chmod(bed.NodeTarget(hid).c_str(), 0666);
        }
        ::chmod(bed.NodeTarget(refusing).c_str(), 0600);
        // "nobody" must be able to run the probe wherever the build lives.
        namespace fs = std::filesystem;
        const fs::path dir = fs::temp_directory_path() / ("qz-probe-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        fs::permissions(dir,
            fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec | fs::perms::group_read
                | fs::perms::others_read);
        nobodysProbe_ = (dir / "qz470-probe").string();
        fs::copy_file(kProbe, nobodysProbe_, fs::copy_options::overwrite_existing);
        fs::permissions(nobodysProbe_,
            fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec | fs::perms::group_read
                | fs::perms::others_read);
        copied_ = dir.string();
        return true;
    }

    // Starts `watch --json` with `options`, unplugs `plugged` once it is
    // connected, calls `comeBack` (which brings a transceiver back and gives
    // the line expected of it), then expects that line on standard error
    // and watch to end well at Ctrl+C.
    void ExpectLineAfterUnplug(const std::string& program, ChildOptions options, const EmulatedHid& plugged,
        const std::function<std::string()>& comeBack)
    {
        options.input = ChildOptions::Input::ClosedPipe;
        auto watch = test::ChildProcess::Start({program, "watch", "--json"}, options);
        ASSERT_TRUE(watch);
        ASSERT_TRUE(watch->ReadLine()) << watch->Stderr(); // connected
        bed.Unplug(plugged);
        const std::string line = comeBack();
        const auto until = std::chrono::steady_clock::now() + 10s;
        while (watch->Stderr().find(line) == std::string::npos && std::chrono::steady_clock::now() < until) {
            watch->ReadLine(100ms);
        }
        watch->Signal(SIGINT);
        EXPECT_EQ(watch->Wait(), 0);
        EXPECT_NE(watch->Stderr().find(line + "\n"), std::string::npos) << watch->Stderr();
    }

    void TearDown() override
    {
        if (!copied_.empty()) {
            std::filesystem::remove_all(copied_);
        }
    }

    test::HidTestBed bed;
    std::string nobodysProbe_;
    std::string copied_;
};

TEST_F(ProbeTest, ListShowsBothModelsAndNeverOpensTheForeignDevice)
{
    const EmulatedHid mouse = AddMouse();
    const EmulatedHid frame = AddFrameModel();
    const EmulatedHid cmd = AddCmdModel();
    OpenWatch opens;
    opens.Watch(bed.NodeTarget(mouse));
    opens.Watch(bed.NodeTarget(frame));

    const auto text = Probe({"list"});
    EXPECT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(Lines(text.out),
        (std::vector<std::string> {
            "/dev/hidraw1  transceiver 0x1003  input 9 bytes, output 9 bytes  can be opened",
            "/dev/hidraw2  transceiver 0x1001  input 3 bytes, output 6 bytes  can be opened",
            "1 other HID interface, not a transceiver (qz470-probe list --all lists it)",
        }));
    EXPECT_EQ(text.err, "");

    const auto listed = Probe({"list", "--json", "--all"});
    EXPECT_EQ(listed.status, 0);
    const auto objects = ParseLines(listed.out);
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0]["node"], "/dev/hidraw0");
    EXPECT_EQ(objects[0]["transceiver"], false);
    EXPECT_TRUE(objects[0]["openable"].is_null());
    EXPECT_EQ(objects[0]["input_length"], 5); // from the descriptor
    EXPECT_EQ(objects[1]["model"], "0x1003");
    EXPECT_EQ(objects[1]["openable"], true);
    EXPECT_EQ(objects[2]["model"], "0x1001");
    EXPECT_EQ(objects[2]["output_length"], 6);

    const auto foreign = Probe({"list", "--device", "/dev/hidraw0"});
    EXPECT_EQ(foreign.status, 3);
    EXPECT_EQ(Lines(foreign.err).size(), 1u);
    EXPECT_NE(foreign.err.find("/dev/hidraw0 is not a transceiver (USB 046d:c077)"), std::string::npos);

    // The lists opened the 0x1003 model (inotify merges repeated events, so
    // "at least once"); the mouse never.
    const std::vector<int> counted = opens.Opens();
    EXPECT_EQ(counted[0], 0);
    EXPECT_GE(counted[1], 1);
}

TEST_F(ProbeTest, ANodeThatRefusesIsExplainedAndEveryCommandExitsFour)
{
    const EmulatedHid mouse = AddMouse();
    const EmulatedHid frame = AddFrameModel();
    if (!ShutOut(frame, {mouse})) {
        GTEST_SKIP() << "only a test run as root can run the probe as another user, and only then can a node refuse";
    }
    ChildOptions asNobody;
    asNobody.asNobody = true;
    const std::string advice = DescribeOpenFailure(
        {"/dev/hidraw1", 0x0003, 0x1003, HidLayer::OpenStatus::PermissionDenied, 0}, "qz470-probe");

    const auto text = Probe({"list"}, asNobody);
    EXPECT_EQ(text.status, 4);
    EXPECT_EQ(Lines(text.out)[0],
        "/dev/hidraw1  transceiver 0x1003  input 9 bytes, output 9 bytes  cannot be opened: "
        "no permission");
    EXPECT_EQ(text.err, advice + "\n");

    const auto listed = Probe({"list", "--json"}, asNobody);
    EXPECT_EQ(listed.status, 4);
    const auto objects = ParseLines(listed.out);
    ASSERT_EQ(objects.size(), 1u);
    EXPECT_EQ(objects[0]["openable"], false);
    EXPECT_EQ(objects[0]["reason"], "permission");
    EXPECT_EQ(objects[0]["advice"], advice);
    EXPECT_EQ(objects[0]["input_length"], 9); // read from sysfs, not from the node

    for (const std::vector<std::string>& command : {std::vector<std::string> {"watch"}, {"led", "on", "1"}}) {
        const auto run = Probe(command, asNobody);
        EXPECT_EQ(run.status, 4) << command[0];
        EXPECT_EQ(run.err, advice + "\n");
        EXPECT_EQ(run.out, "");
    }

    // A 0x1001 model that opens: list and led succeed, and still tell of the refusing one.
    const EmulatedHid cmd = AddCmdModel();
    ::chmod(bed.NodeTarget(cmd).c_str(), 0666);
    EXPECT_EQ(Probe({"list"}, asNobody).status, 0);
    const auto led = Probe({"led", "on", "1"}, asNobody);
    EXPECT_EQ(led.status, 0) << led.err;
    EXPECT_EQ(led.err, advice + "\n"); // passed over, as the tester does, and told of
    EXPECT_EQ(Receive(bed.Master(cmd), 6), (Bytes {0x00, 0x63, 0x6D, 0x64, 0x29, 0x00}));
}

// After an unplug, watch looks for a transceiver until one opens: one that
// comes back refusing is told of once it has refused for a while, in the
// words for a program that is still looking (a replug is enough).
TEST_F(ProbeTest, AfterAnUnplugARefusalSaysThatTheProbeIsLookingForIt)
{
    const EmulatedHid mouse = AddMouse();
    const EmulatedHid frame = AddFrameModel();
    if (!ShutOut(mouse, {frame})) {
        GTEST_SKIP() << "only a test run as root can run the probe as another user, and only then can a node refuse";
    }
    ChildOptions asNobody;
    asNobody.asNobody = true;
    ExpectLineAfterUnplug(nobodysProbe_, asNobody, frame, [&]() {
        // Back at another node, which like any new node refuses "nobody".
        const EmulatedHid back = AddFrameModel("1-4", "hidraw3");
        bed.OpenToOtherUsers();
        return DescribeOpenFailure(
            {back.node, 0x0003, 0x1003, HidLayer::OpenStatus::PermissionDenied, 0, true}, "qz470-probe");
    });
}

// A transceiver whose report descriptor describes no input report cannot be
// watched: at start the probe gives up and says to start it again; after an
// unplug it goes on looking, so a replug is enough.
TEST_F(ProbeTest, AnUnreadableTransceiverIsToldOfInTheWordsForWhenItCame)
{
    const auto unreadableLine = [](const std::string& node, const std::string& advice) {
        return "qz470-probe: the transceiver at " + node
            + " has no input report that its report descriptor describes, so no press can be read from it. " + advice;
    };
    const EmulatedHid unreadable = bed.Add("1-4", 0x0003, 0x1003, Descriptor("truncated"), "hidraw3");
    const auto atStart = Probe({"watch", "--json"});
    EXPECT_EQ(atStart.status, 1);
    EXPECT_EQ(Lines(atStart.err).back(), unreadableLine(unreadable.node, "Replug it and start qz470-probe again."));
    bed.Unplug(unreadable);

    const EmulatedHid frame = AddFrameModel();
    ExpectLineAfterUnplug(kProbe, {}, frame, [&]() {
        const EmulatedHid back = bed.Add("1-5", 0x0003, 0x1003, Descriptor("truncated"), "hidraw4");
        return unreadableLine(back.node, "Replug it: qz470-probe is looking for it and will pick it up.");
    });
}

TEST_F(ProbeTest, NoTransceiverAtAllExitsThree)
{
    AddMouse();
    for (const std::vector<std::string>& command : {std::vector<std::string> {"list"}, {"list", "--json"},
             {"watch", "--json"}, {"led", "short", "all"}, {"serve", "--port", "0"}}) {
        const auto run = Probe(command);
        EXPECT_EQ(run.status, 3) << command[0];
        EXPECT_EQ(Lines(run.err).back(), DescribeNoTransceiver("qz470-probe"));
        if (command.size() > 1 && command[1] == "--json") {
            EXPECT_EQ(run.out, ""); // nothing but JSON on standard output
        }
    }
}

TEST_F(ProbeTest, LedWritesTheTestersBytesToEitherModel)
{
    AddMouse();
    const EmulatedHid frame = AddFrameModel();
    const EmulatedHid cmd = AddCmdModel();
    const struct {
        std::vector<std::string> arguments;
        const EmulatedHid* to;
        Bytes sent;
    } cases[] = {
        // The first transceiver in the tester's search order, unless told.
        {{"led", "short", "7"}, &frame, {0x00, 0xFA, 0x08, 0x01, 0x07, 0x00, 0x02, 0xF6, 0xAF}},
        {{"led", "short", "7", "--device", "/dev/hidraw2"}, &cmd, {0x00, 0x63, 0x6D, 0x64, 0x07, 0x00}},
        {{"led", "on", "20"}, &frame, {0x00, 0xFA, 0x08, 0x01, 0x0A, 0x00, 0x01, 0xF8, 0xAF}},
        {{"led", "flash", "all", "--device", "/dev/hidraw2"}, &cmd, {0x00, 0x63, 0x6D, 0x64, 0xCA, 0x00}},
        {{"led", "off", "-5", "--device", "/dev/hidraw2"}, &cmd, {0x00, 0x63, 0x6D, 0x64, 0xCB, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[1] + " " + c.arguments[2]);
        const auto run = Probe(c.arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(Receive(bed.Master(*c.to), c.sent.size()), c.sent);
    }

    const auto scripted = Probe({"led", "on", "20", "--json"});
    const json sent = json::parse(scripted.out);
    EXPECT_EQ(sent["command"], "LEDOn");
    EXPECT_EQ(sent["pad"], 20);
    EXPECT_EQ(sent["node"], "/dev/hidraw1");
    EXPECT_EQ(sent["sent"], "00fa08010a0001f8af");
    Receive(bed.Master(frame), 9);

    // What cannot be sent: one line, a status, and nothing written.
    const struct {
        std::vector<std::string> arguments;
        int status;
        const char* says;
    } refusals[] = {
        {{"led", "on", "300"}, 1, "its pad byte would be 290"},
        {{"led", "on", "210", "--device", "/dev/hidraw2"}, 1, "its command code would be 256"},
        {{"led", "short", "-1", "--device", "/dev/hidraw2"}, 1, "no LEDOnShort for pad -1"},
        {{"led", "on", "32768"}, 2, "PAD"},
        {{"led", "blink", "1"}, 2, "ACTION"},
        {{"led", "on"}, 2, "PAD"},
        {{"led", "on", "1", "--device", "/dev/hidraw0"}, 3, "not a transceiver"},
    };
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.arguments[1] + " " + (r.arguments.size() > 2 ? r.arguments[2] : ""));
        const auto run = Probe(r.arguments);
        EXPECT_EQ(run.status, r.status);
        EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_NE(run.err.find(r.says), std::string::npos) << run.err;
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(Receive(bed.Master(frame), 1, 200ms).empty());
    EXPECT_TRUE(Receive(bed.Master(cmd), 1, 200ms).empty());
}

// Colour on a terminal (script(1) gives the probe one), none in a pipe, and
// none on a terminal when NO_COLOR is set.
TEST_F(ProbeTest, ColourOnlyOnATerminalAndNeverWithNoColor)
{
    AddFrameModel();
    if (::access("/usr/bin/script", X_OK) != 0) {
        GTEST_SKIP() << "script(1) from util-linux is not installed, so there is no terminal to run the probe on";
    }
    const std::string colour = "\033[";
    const auto onTerminal = [](const char* noColor) {
        ChildOptions options;
        options.environment = {"TERM=xterm", std::string("NO_COLOR=") + noColor};
        return RunToEnd({"/usr/bin/script", "-qec", kProbe + " list", "/dev/null"}, options);
    };
    const auto coloured = onTerminal("");
    EXPECT_EQ(coloured.status, 0);
    EXPECT_NE(coloured.out.find(colour + "32mcan be opened"), std::string::npos) << coloured.out;
    const auto plain = onTerminal("1");
    EXPECT_NE(plain.out.find("can be opened"), std::string::npos) << plain.out;
    EXPECT_EQ(plain.out.find(colour), std::string::npos) << plain.out;
    EXPECT_EQ(Probe({"list"}).out.find(colour), std::string::npos);
}

TEST_F(ProbeTest, UsageHelpAndVersion)
{
    const auto none = Probe({});
    EXPECT_EQ(none.status, 2);
    EXPECT_EQ(Lines(none.err).size(), 1u);
    EXPECT_EQ(Probe({"list", "--bogus"}).status, 2);
    EXPECT_EQ(Probe({"frobnicate"}).status, 2);
    const auto version = Probe({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("qz470-probe ") + QZ_VERSION + "\n");
    EXPECT_EQ(Probe({"watch", "--version"}).out, version.out);
    for (const char* command : {"list", "watch", "led", "serve"}) {
        const auto help = Probe({command, "--help"});
        EXPECT_EQ(help.status, 0) << command;
        EXPECT_NE(help.out.find(std::string("Usage: qz470-probe ") + command), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("4 a transceiver found but not openable"), std::string::npos);
    }
}

// One watch, JSON Lines: a press decoded, a report that is not a press, a
// pad's POWERED, Ctrl+C and the summary; with its standard input at end of
// input from the start, which must neither end it nor make it spin. (The
// unplug and the return of a transceiver: the kernel test.)
TEST_F(ProbeTest, WatchFollowsReportsUntilCtrlC)
{
    AddMouse();
    const EmulatedHid frame = AddFrameModel();
    ChildOptions options;
    options.input = ChildOptions::Input::ClosedPipe;
    auto watch = test::ChildProcess::Start({kProbe, "watch", "--json"}, options);
    ASSERT_TRUE(watch);
    const auto next = [&watch]() {
        const auto line = watch->ReadLine();
        EXPECT_TRUE(line) << "no line; standard error: " << watch->Stderr();
        return line ? json::parse(*line) : json();
    };

    const json connected = next();
    EXPECT_EQ(connected["event"], "connected");
    EXPECT_EQ(connected["node"], "/dev/hidraw1");
    EXPECT_EQ(connected["model"], "0x1003");

    // Idle, with standard input at its end: no spinning. A busy loop would
    // use up most of the second; allow a generous 0.3 s of processor time.
    const long before = watch->CpuTicks();
    std::this_thread::sleep_for(1s);
    const long ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    EXPECT_LT(watch->CpuTicks() - before, ticksPerSecond * 3 / 10);

    const int master = bed.Master(frame);
    Send(master, test::FrameData(5, test::kA));
    json report = next();
    EXPECT_EQ(report["raw"], "00fa07000504fc0000");
    EXPECT_EQ(report["pad"], 5);
    EXPECT_EQ(report["button"], "A");
    EXPECT_GE(report["time_ms"].get<double>(), connected["time_ms"].get<double>());
    EXPECT_EQ(report["event"], "press");

    Bytes broken = test::FrameData(5, test::kA);
    broken[5] ^= 0xFF; // checksum
    Send(master, broken);
    report = next();
    EXPECT_TRUE(report["pad"].is_null());
    EXPECT_TRUE(report["button"].is_null());
    EXPECT_EQ(report["raw"], "00fa07000504030000");
    EXPECT_FALSE(report.contains("event")); // no press: watch's form as it was

    Send(master, test::FrameData(260, test::kPowered));
    report = next();
    EXPECT_EQ(report["pad"], 260);
    EXPECT_EQ(report["button"], "POWERED");

    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(), 0);
    EXPECT_EQ(watch->Stdout(), "");
    EXPECT_EQ(Lines(watch->Stderr()).size(), 1u) << watch->Stderr();
    EXPECT_NE(watch->Stderr().find("qz470-probe: 3 reports in "), std::string::npos) << watch->Stderr();
    EXPECT_NE(watch->Stderr().find("(2 presses, 1 not a press)."), std::string::npos);
}

// Rounds as the program runs them (what a round ranks is watch's unit test):
// --round-button reaches the ranking, Enter closes a round and two Enters
// read at once close two, each delay is the gap between the report lines'
// times, presses read in one wake-up keep the queue's order, and SIGUSR1
// closes a round once standard input has ended.
TEST_F(ProbeTest, RoundsRankTheFirstPressOfEachPadByArrival)
{
    const EmulatedHid frame = AddFrameModel();
    ChildOptions options;
    options.input = ChildOptions::Input::Pipe;
    auto watch = test::ChildProcess::Start({kProbe, "watch", "--json", "--round-button", "buzz"}, options);
    ASSERT_TRUE(watch);
    const auto next = [&watch]() {
        const auto line = watch->ReadLine();
        EXPECT_TRUE(line) << "no line; standard error: " << watch->Stderr();
        return line ? json::parse(*line) : json::object();
    };
    const auto timeOf = [&next](int pad) {
        const json report = next();
        EXPECT_EQ(report["pad"], pad);
        return report.value("time_ms", -1.0);
    };
    EXPECT_EQ(next()["event"], "connected");
    const int master = bed.Master(frame);

    // Pad 12 first, pad 3's A (not the round's button) and then its BUZZ in
    // later wake-ups, pads 40 and 41 in one write: read in one go, their
    // order is the queue's.
    Send(master, test::FrameData(12, test::kBuzz));
    const double first = timeOf(12);
    Send(master, test::FrameData(3, test::kA));
    timeOf(3);
    Send(master, test::FrameData(3, test::kBuzz));
    const double third = timeOf(3);
    Bytes pair = test::FrameData(40, test::kBuzz);
    const Bytes second = test::FrameData(41, test::kBuzz);
    pair.insert(pair.end(), second.begin(), second.end());
    Send(master, pair);
    const double forty = timeOf(40);
    const double fortyOne = timeOf(41);
    ASSERT_TRUE(watch->WriteInput("\n\n"));
    const json round = next();
    EXPECT_EQ(round["round"], 1);
    const struct {
        int pad;
        double delay;
    } places[] = {{12, 0}, {3, third - first}, {40, forty - first}, {41, fortyOne - first}};
    ASSERT_EQ(round["ranking"].size(), std::size(places)) << round.dump();
    for (std::size_t i = 0; i < std::size(places); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(round["ranking"][i]["pad"], places[i].pad);
        EXPECT_EQ(round["ranking"][i]["button"], "BUZZ");
        EXPECT_NEAR(round["ranking"][i]["delay_ms"].get<double>(), places[i].delay, 0.0011); // both to the microsecond
    }
    // The second Enter: the next round began at once, and nothing was pressed.
    EXPECT_EQ(next(), json::parse(R"({"event": "round", "round": 2, "ranking": []})"));

    // Without standard input, SIGUSR1 closes the round.
    watch->CloseInput();
    Send(master, test::FrameData(260, test::kBuzz));
    timeOf(260);
    watch->Signal(SIGUSR1);
    EXPECT_EQ(next(), json::parse(R"({"event": "round", "round": 3, "ranking": [{"pad": 260, "button": "BUZZ",
        "delay_ms": 0.0}]})"));

    watch->Signal(SIGINT);
    EXPECT_EQ(watch->Wait(), 0);
    EXPECT_EQ(watch->Stdout(), "");
    EXPECT_NE(watch->Stderr().find("(6 presses, 0 not a press), 3 rounds."), std::string::npos) << watch->Stderr();
}

} // namespace
} // namespace qz
