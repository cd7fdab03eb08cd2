#pragma once

// A private X server for one test program or benchmark, on a display number
// the server picks itself (-displayfd), stopped when the object goes and
// also when the program dies.

#include <memory>
#include <string>
#include <vector>

namespace qz::test {

class XServer {
public:
    // Xvfb with one screen. nullptr when it cannot start; `why` says why.
    static std::unique_ptr<XServer> StartXvfb(int width, int height, std::string& why);
    // Xorg on the dummy video driver, one output set to 1920x1080 in a
    // 3200x1080 frame buffer, split into two RandR monitors: LEFT (primary)
    // at 0,0 1920x1080 and RIGHT at 1920,0 1280x1024.
    static std::unique_ptr<XServer> StartXorgTwoMonitors(std::string& why);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    const std::string& Display() const { return display_; }
    // Whether the server still runs; if not, `how` says how it ended.
    bool Alive(std::string& how) const;
    // Runs setxkbmap with `arguments` against this server; true on success.
    bool SetLayout(const std::string& arguments) const;
    // Runs a command with DISPLAY set to this server; true when it exits 0.
    // Its standard output and error go to `output` when given.
    bool Run(const std::string& command, std::string* output = nullptr) const;

private:
    XServer(int pid, std::string display, std::string workDir);
    static std::unique_ptr<XServer> Launch(std::vector<std::string> argv, std::string workDir, std::string& why);

    int pid_;
    std::string display_;
    std::string workDir_;
};

} // namespace qz::test
