#include "child_process.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qz::test {

namespace {

using Clock = std::chrono::steady_clock;

} // namespace

std::unique_ptr<ChildProcess> ChildProcess::Start(const std::vector<std::string>& argv, const ChildOptions& options)
{
    uid_t uid = 0;
    gid_t gid = 0;
    if (options.asNobody) {
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) {
            return nullptr;
        }
        uid = nobody->pw_uid;
        gid = nobody->pw_gid;
    }
    int out[2];
    int err[2];
    int in[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
        return nullptr;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    // The environment is built before the fork: the child only calls what is
    // safe between fork and exec.
    std::vector<std::string> environment;
    const auto given = [&options](const std::string& variable) {
        const std::string name = variable.substr(0, variable.find('=') + 1);
        for (const std::string& assignment : options.environment) {
            if (assignment.rfind(name, 0) == 0) {
                return true;
            }
        }
        return false;
    };
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (!given(*variable)) {
            environment.emplace_back(*variable);
        }
    }
    environment.insert(environment.end(), options.environment.begin(), options.environment.end());
    std::vector<char*> envp;
    for (std::string& variable : environment) {
        envp.push_back(variable.data());
    }
    envp.push_back(nullptr);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(devNull);
        return nullptr;
    }
    if (pid == 0) {
        ::close(in[1]); // the program's end; with ClosedPipe the only one: end of input at once
        ::dup2(options.input == ChildOptions::Input::Null ? devNull : in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        // Nothing else of the test's: a PTY master held here would keep an
        // emulated node from hanging up on unplug.
        ::close_range(3, ~0U, 0);
        if (options.asNobody && (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)) {
            ::_exit(126);
        }
        // Signals the test process blocks are not the program's business.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(args[0], args.data(), envp.data());
        ::_exit(127);
    }
    ::close(devNull);
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    std::unique_ptr<ChildProcess> child(new ChildProcess);
    if (options.input == ChildOptions::Input::Pipe) {
        child->inFd_ = in[1];
    } else {
        ::close(in[1]);
    }
    child->pid_ = pid;
    child->outFd_ = out[0];
    child->errFd_ = err[0];
    return child;
}

ChildProcess::~ChildProcess()
{
    if (!ended_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    CloseInput();
    if (outFd_ >= 0) {
        ::close(outFd_);
    }
    if (errFd_ >= 0) {
        ::close(errFd_);
    }
}

bool ChildProcess::WriteInput(const std::string& text)
{
    std::size_t done = 0;
    while (inFd_ >= 0 && done < text.size()) {
        const ssize_t n = ::write(inFd_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return inFd_ >= 0;
}

void ChildProcess::CloseInput()
{
    if (inFd_ >= 0) {
        ::close(inFd_);
        inFd_ = -1;
    }
}

bool ChildProcess::Pump(std::chrono::milliseconds wait)
{
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0) {
        return false;
    }
    bool any = false;
    const auto drain = [&any](int& fd, short revents, std::string& into) {
        if (fd < 0 || revents == 0) {
            return;
        }
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
            any = true;
        } else if (n == 0 || errno != EINTR) {
            ::close(fd);
            fd = -1;
        }
    };
    drain(outFd_, fds[0].revents, out_);
    drain(errFd_, fds[1].revents, err_);
    return any;
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds patience)
{
    const auto until = Clock::now() + patience;
    for (;;) {
        if (const auto end = out_.find('\n'); end != std::string::npos) {
            std::string line = out_.substr(0, end);
            out_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0 || (outFd_ < 0 && errFd_ < 0)) {
            return std::nullopt;
        }
        if (outFd_ < 0) {
            return std::nullopt; // the output has ended
        }
        Pump(left);
    }
}

void ChildProcess::Signal(int signal) const
{
    ::kill(pid_, signal);
}

int ChildProcess::Wait(std::chrono::milliseconds patience)
{
    const auto until = Clock::now() + patience;
    while (!ended_) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            ended_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (Clock::now() >= until) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
            ended_ = true;
            status_ = -1;
            break;
        }
        Pump(std::chrono::milliseconds(20));
    }
    while (outFd_ >= 0 || errFd_ >= 0) {
        if (!Pump(std::chrono::milliseconds(1000)) && (outFd_ >= 0 || errFd_ >= 0)) {
            break; // a grandchild holds a pipe open: enough
        }
    }
    return status_;
}

long ChildProcess::CpuTicks() const
{
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields 14 and 15 (utime, stime) follow the command name in parentheses.
    const auto close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    long utime = 0;
    long stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stol(field);
        } else if (i == 15) {
            stime = std::stol(field);
        }
    }
    return utime + stime;
}

RunResult RunToEnd(const std::vector<std::string>& argv, const ChildOptions& options)
{
    RunResult result;
    auto child = ChildProcess::Start(argv, options);
    if (!child) {
        result.err = "cannot start " + argv.front();
        return result;
    }
    result.status = child->Wait();
    result.out = child->Stdout();
    result.err = child->Stderr();
    return result;
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

} // namespace qz::test
