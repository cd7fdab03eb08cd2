#pragma once

#include <memory>
#include <string>

namespace qz::test {

// A private Xvfb for one test program, on a display number the server picks
// itself (-displayfd), stopped when the object goes.
class XvfbServer {
public:
    // nullptr when no server could be started; `why` then says what failed.
    static std::unique_ptr<XvfbServer> Start(std::string& why);
    ~XvfbServer();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    const std::string& DisplayName() const { return displayName_; }
    // Whether the server process is still running (and how it ended if not).
    bool Alive(std::string& how) const;

    // Runs setxkbmap with `arguments` against this server; true on success.
    bool SetLayout(const std::string& arguments) const;

private:
    XvfbServer(int pid, std::string displayName)
        : pid_(pid)
        , displayName_(std::move(displayName))
    {
    }
    int pid_;
    std::string displayName_;
};

} // namespace qz::test
