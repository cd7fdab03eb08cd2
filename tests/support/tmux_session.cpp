#include "tmux_session.h"

#include "child_process.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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

} // namespace

TmuxSession::TmuxSession(const std::vector<std::string>& argv, int width, int height,
    const std::vector<std::string>& environment, const std::string& outPath, const std::string& errPath)
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
    std::string command = "exec env";
    for (const char* name : {"LD_PRELOAD", "UMOCKDEV_DIR", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = std::getenv(name)) {
            command += " " + Quoted(std::string(name) + "=" + value);
        }
    }
    for (const std::string& assignment : environment) {
        command += " " + Quoted(assignment);
    }
    for (const std::string& word : argv) {
        command += " " + Quoted(word);
    }
    command += " >" + Quoted(outPath) + " 2>" + Quoted(errPath);
    // The pane stays when the program ends, to tell its exit status.
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
        const std::string state = Tmux({"display-message", "-p", "-t", "check", "#{pane_dead} #{pane_dead_status}"});
        if (state.rfind("1 ", 0) == 0) {
            return std::atoi(state.c_str() + 2);
        }
        if (Clock::now() >= until) {
            return -1;
        }
        std::this_thread::sleep_for(50ms);
    }
}

} // namespace qz::test
