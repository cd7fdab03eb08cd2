#pragma once

// A program run on a real pseudo-terminal by tmux, for tests of full-screen
// views: the screen read back with capture-pane, keys typed with send-keys,
// the window resized. Each session has a tmux server of its own. Without
// tmux the program exits 77.

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qz::test {

class TmuxSession {
public:
    // Starts `argv` in a width x height window, with the NAME=value pairs of
    // `environment` added to the test's environment. Its standard output and
    // error go to files in `directory`, which must exist; the terminal is its
    // only one (/dev/tty).
    TmuxSession(const std::vector<std::string>& argv, int width, int height,
        const std::vector<std::string>& environment, const std::string& directory);
    ~TmuxSession();
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    // The screen as text, one line per row.
    std::string Screen() const;
    // Waits until the screen satisfies `done` (a guard against a hang, not a
    // measure), and returns the last screen seen.
    std::string WaitForScreen(const std::function<bool(const std::string&)>& done,
        std::chrono::milliseconds patience = std::chrono::seconds(20)) const;
    // Waits until the screen shows `text`; false when it never did.
    bool WaitFor(const std::string& text, std::chrono::milliseconds patience = std::chrono::seconds(20)) const;

    // Keys as tmux names them: "q", "NPage", "PPage", "C-c".
    void SendKeys(const std::string& keys) const;
    void Resize(int width, int height) const;

    // Waits for the program to end: its exit status (128 + the signal for a
    // program killed by one), or -1 when it did not end within `patience`.
    int Wait(std::chrono::milliseconds patience = std::chrono::seconds(20)) const;
    // What the program wrote to its standard output and error.
    std::string Out() const;
    std::string Err() const;

private:
    std::string Tmux(const std::vector<std::string>& arguments) const;

    std::string socket_;
    std::string directory_;
};

} // namespace qz::test
