#include "tmux_session.h"

#include "child_process.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

namespace qz::test {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const char* const kTmux = "/usr/bin/tmux";

// A word for sh -c, quoted.
std::string Quoted(const std::string& word)
{
    std::string quoted = "'";
    for (const char c : word) {
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

TmuxSession::TmuxSession(const std::vector<std::string>& argv, int width, int height,
    const std::vector<std::string>& environment, const std::string& directory)
    : directory_(directory)
{
    if (::access(kTmux, X_OK) != 0) {
        std::printf("SKIP: tmux is not installed (Debian: tmux), so there is no terminal to drive\n");
        std::exit(77);
    }
    static int sessions = 0;
    socket_ = "qz-test-" + std::to_string(::getpid()) + "-" + std::to_string(++sessions);
    // The program's environment is given on its command line: tmux's server
    // hands its own to the pane, and that is kept free of a preload (such as
    // umockdev's) that is meant for the program only.
    std::string program = "env";
    for (const char* name : {"LD_PRELOAD", "UMOCKDEV_DIR", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            program += " " + Quoted(std::string(name) + "=" + value);
        }
    }
    for (const std::string& assignment : environment) {
        program += " " + Quoted(assignment);
    }
    for (const std::string& word : argv) {
        program += " " + Quoted(word);
    }
    // tmux does not always learn the exit status of a pane's process, so a
    // shell notes it in a file. The shell only catches the signals that the
    // terminal sends, to outlive the program; the program gets them as usual.
    const std::string command = "trap : INT TERM HUP QUIT; " + program + " >" + Quoted(directory + "/out") + " 2>"
        + Quoted(directory + "/err") + "; status=$?; echo $status >" + Quoted(directory + "/status.new") + " && mv "
        + Quoted(directory + "/status.new") + " " + Quoted(directory + "/status");
    ChildOptions options;
    options.environment = {"LD_PRELOAD=", "TMUX="};
    const RunResult started
        = RunToEnd({kTmux, "-L", socket_, "-f", "/dev/null", "set-option", "-g", "exit-empty", "off", ";", "set-option",
                       "-g", "remain-on-exit", "on", ";", "new-session", "-d", "-s", "check", "-x",
                       std::to_string(width), "-y", std::to_string(height), command},
            options);
    if (started.status != 0) {
        std::printf("SKIP: tmux could not start a session: %s\n", started.err.c_str());
        std::exit(77);
    }
}

TmuxSession::~TmuxSession()
{
    Tmux({"kill-server"});
}

std::string TmuxSession::Tmux(const std::vector<std::string>& arguments) const
{
    std::vector<std::string> argv {kTmux, "-L", socket_};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildOptions options;
    options.environment = {"LD_PRELOAD=", "TMUX="};
    return RunToEnd(argv, options).out;
}

std::string TmuxSession::Screen() const
{
    return Tmux({"capture-pane", "-p", "-t", "check"});
}

std::string TmuxSession::WaitForScreen(
    const std::function<bool(const std::string&)>& done, std::chrono::milliseconds patience) const
{
    const auto until = Clock::now() + patience;
    std::string screen = Screen();
    while (!done(screen) && Clock::now() < until) {
        std::this_thread::sleep_for(50ms);
        screen = Screen();
    }
    return screen;
}

bool TmuxSession::WaitFor(const std::string& text, std::chrono::milliseconds patience) const
{
    const std::string screen
        = WaitForScreen([&text](const std::string& s) { return s.find(text) != std::string::npos; }, patience);
    return screen.find(text) != std::string::npos;
}

void TmuxSession::SendKeys(const std::string& keys) const
{
    Tmux({"send-keys", "-t", "check", keys});
}

void TmuxSession::Resize(int width, int height) const
{
    Tmux({"resize-window", "-t", "check", "-x", std::to_string(width), "-y", std::to_string(height)});
}

int TmuxSession::Wait(std::chrono::milliseconds patience) const
{
    const auto until = Clock::now() + patience;
    for (;;) {
        const std::string status = ReadFile(directory_ + "/status");
        if (!status.empty()) {
            return std::atoi(status.c_str());
        }
        if (Clock::now() >= until) {
            return -1;
        }
        std::this_thread::sleep_for(50ms);
    }
}

std::string TmuxSession::Out() const
{
    return ReadFile(directory_ + "/out");
}

std::string TmuxSession::Err() const
{
    return ReadFile(directory_ + "/err");
}

} // namespace qz::test
