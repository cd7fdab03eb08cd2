#include "xvfb_server.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::test {

std::unique_ptr<XvfbServer> XvfbServer::Start(std::string& why)
{
    int fds[2];
    if (pipe(fds) != 0) {
        why = "pipe failed";
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        why = "fork failed";
        return nullptr;
    }
    if (pid == 0) {
        // Gone with the test program, also when it crashes or is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        const int devNull = open("/dev/null", O_RDWR);
        if (devNull >= 0) {
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
            static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    // Xvfb writes the display number it took once it accepts connections.
    std::string number;
    pollfd pfd {fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&pfd, 1, 15000) > 0) {
        char buffer[16];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        number.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.empty() || number.find('\n') == std::string::npos) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        why = WIFEXITED(status) && WEXITSTATUS(status) == 127 ? "Xvfb is not installed" : "Xvfb did not start";
        return nullptr;
    }
    number.erase(number.find('\n'));
    return std::unique_ptr<XvfbServer>(new XvfbServer(pid, ":" + number));
}

XvfbServer::~XvfbServer()
{
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
}

bool XvfbServer::Alive(std::string& how) const
{
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == 0) {
        return true;
    }
    how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                              : "exited with status " + std::to_string(WEXITSTATUS(status));
    return false;
}

bool XvfbServer::SetLayout(const std::string& arguments) const
{
    const std::string command = "setxkbmap -display " + displayName_ + " " + arguments + " >/dev/null 2>&1";
    // A shared machine can refuse a connection for an instant; try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (std::system(command.c_str()) == 0) {
            return true;
        }
        usleep(100000);
    }
    return false;
}

} // namespace qz::test
