#include "x_server.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace qz::test {

namespace {

std::string MakeWorkDir()
{
    char pattern[] = "/tmp/qz-x-server-XXXXXX";
    const char* dir = mkdtemp(pattern);
    return dir != nullptr ? dir : "/tmp";
}

std::string Tail(const std::string& path, std::size_t lines)
{
    std::ifstream in(path);
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);) {
        all.push_back(line);
    }
    std::string text;
    for (std::size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) {
        text += "\n    " + all[i];
    }
    return text;
}

} // namespace

XServer::XServer(int pid, std::string display, std::string workDir)
    : pid_(pid)
    , display_(std::move(display))
    , workDir_(std::move(workDir))
{
}

XServer::~XServer()
{
    kill(pid_, SIGTERM);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
    std::error_code ignored;
    std::filesystem::remove_all(workDir_, ignored);
}

std::unique_ptr<XServer> XServer::Launch(std::vector<std::string> argv, std::string workDir, std::string& why)
{
    int fds[2];
    if (pipe(fds) != 0) {
        why = "pipe failed";
        return nullptr;
    }
    const std::string log = workDir + "/server.out";
    argv.push_back("-displayfd");
    argv.push_back(std::to_string(fds[1]));
    const pid_t pid = fork();
    if (pid < 0) {
        why = "fork failed";
        return nullptr;
    }
    if (pid == 0) {
        // Gone with the test program, also when it crashes or is killed.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        close(fds[0]);
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        std::vector<char*> raw;
        for (std::string& a : argv) {
            raw.push_back(a.data());
        }
        raw.push_back(nullptr);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    close(fds[1]);
    // The server writes its display number once it accepts connections.
    std::string number;
    pollfd look {fds[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && poll(&look, 1, 30000) > 0) {
        char buffer[16];
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        number.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    if (number.find('\n') == std::string::npos) {
        kill(pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        why = WIFEXITED(status) && WEXITSTATUS(status) == 127 ? argv[0] + " is not installed"
                                                              : argv[0] + " did not start:" + Tail(log, 8);
        std::error_code ignored;
        std::filesystem::remove_all(workDir, ignored);
        return nullptr;
    }
    number.erase(number.find('\n'));
    return std::unique_ptr<XServer>(new XServer(pid, ":" + number, std::move(workDir)));
}

std::unique_ptr<XServer> XServer::StartXvfb(int width, int height, std::string& why)
{
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    return Launch({"Xvfb", "-screen", "0", screen, "-nolisten", "tcp", "-noreset"}, MakeWorkDir(), why);
}

std::unique_ptr<XServer> XServer::StartXorgTwoMonitors(std::string& why)
{
    if (access("/usr/lib/xorg/modules/drivers/dummy_drv.so", R_OK) != 0) {
        why = "the Xorg dummy video driver (xserver-xorg-video-dummy) is not installed";
        return nullptr;
    }
    if (geteuid() != 0) {
        why = "Xorg takes a configuration file of our own only when started by root";
        return nullptr;
    }
    const std::string dir = MakeWorkDir();
    std::ofstream(dir + "/xorg.conf") << R"(Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 256000
EndSection
Section "Monitor"
    Identifier "monitor"
    HorizSync 5.0 - 1000.0
    VertRefresh 5.0 - 200.0
EndSection
Section "Screen"
    Identifier "screen"
    Device "dummy"
    Monitor "monitor"
    DefaultDepth 24
    SubSection "Display"
        Depth 24
        Virtual 3200 1080
    EndSubSection
EndSection
Section "ServerFlags"
    Option "AutoAddDevices" "false"
    Option "AutoEnableDevices" "false"
    Option "DontVTSwitch" "true"
EndSection
)";
    auto server = Launch({"Xorg", "-config", dir + "/xorg.conf", "-logfile", dir + "/Xorg.log", "-nolisten", "tcp",
                             "-noreset", "-novtswitch", "-sharevts"},
        dir, why);
    if (!server) {
        return nullptr;
    }
    std::string output;
    const bool monitors = server->Run("xrandr --output DUMMY0 --mode 1920x1080", &output)
        && server->Run("xrandr --fb 3200x1080", &output)
        && server->Run("xrandr --setmonitor LEFT 1920/508x1080/286+0+0 DUMMY0", &output)
        && server->Run("xrandr --setmonitor RIGHT 1280/338x1024/270+1920+0 none", &output)
        && server->Run("xrandr --listmonitors", &output);
    if (!monitors || output.find("Monitors: 2") == std::string::npos) {
        why = "xrandr could not define two monitors: " + output;
        return nullptr;
    }
    return server;
}

bool XServer::Alive(std::string& how) const
{
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == 0) {
        return true;
    }
    how = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                              : "exited with status " + std::to_string(WEXITSTATUS(status));
    return false;
}

bool XServer::Run(const std::string& command, std::string* output) const
{
    FILE* pipe = popen(("DISPLAY=" + display_ + " " + command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    std::string text;
    char buffer[512];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        text.append(buffer, n);
    }
    const int status = pclose(pipe);
    if (output != nullptr) {
        *output = text;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool XServer::SetLayout(const std::string& arguments) const
{
    // A shared machine can refuse a connection for an instant; try again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (Run("setxkbmap " + arguments)) {
            return true;
        }
        usleep(100000);
    }
    return false;
}

} // namespace qz::test
