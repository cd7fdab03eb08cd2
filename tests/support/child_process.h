#pragma once

// A program started by a test, with its standard output and error read
// through pipes: line by line while it runs, and in full once it has ended.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz::test {

struct ChildOptions {
    // Standard input: /dev/null, a pipe whose writing end is already closed
    // (end of input at once), or a pipe the test writes to (WriteInput).
    enum class Input { Null, ClosedPipe, Pipe };
    Input input = Input::Null;
    // Run as the user "nobody" (only a test running as root can).
    bool asNobody = false;
    // NAME=value pairs added to the environment, each in place of the
    // variable of that name.
    std::vector<std::string> environment;
};

class ChildProcess {
public:
    // Starts argv[0] (a path) with the arguments; nullptr when it cannot.
    static std::unique_ptr<ChildProcess> Start(const std::vector<std::string>& argv, const ChildOptions& options = {});
    // Kills the program if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    int Pid() const { return pid_; }

    // The next line of standard output, without its newline; nullopt when
    // none came within `patience` (a guard against a hang, not a measure) or
    // the output ended.
    std::optional<std::string> ReadLine(std::chrono::milliseconds patience = std::chrono::seconds(20));

    void Signal(int signal) const;

    // Input::Pipe: writes to the program's standard input; false when it
    // could not be written whole.
    bool WriteInput(const std::string& text);
    // Input::Pipe: closes it, which the program reads as the end of input.
    void CloseInput();

    // Waits for the end, reading what is left of both outputs. The exit
    // status, 128 + the signal for a program killed by one, or -1 when it
    // did not end within `patience` (it is killed then).
    int Wait(std::chrono::milliseconds patience = std::chrono::seconds(20));

    // Standard output not yet returned by ReadLine, and all of standard error.
    const std::string& Stdout() const { return out_; }
    const std::string& Stderr() const { return err_; }

    // Processor time used so far, user and system, in clock ticks of /proc.
    long CpuTicks() const;

private:
    ChildProcess() = default;
    // Reads what is ready on either pipe; waits up to `wait` for something.
    bool Pump(std::chrono::milliseconds wait);

    int pid_ = -1;
    int inFd_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool ended_ = false;
    int status_ = -1;
    std::string out_;
    std::string err_;
};

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end.
RunResult RunToEnd(const std::vector<std::string>& argv, const ChildOptions& options = {});

// The lines of a text, without their newlines.
std::vector<std::string> Lines(const std::string& text);

} // namespace qz::test
