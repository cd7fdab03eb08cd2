#include "keyboard/portal/restore_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace qz {

namespace {

constexpr const char* kFolder = "/qz470-tester";
constexpr const char* kFile = "/remote-desktop-token";
// A token is a short printable text (the portal's are UUIDs); anything longer
// than this is not one of ours.
constexpr std::size_t kLongestToken = 256;

bool Set(const char* value)
{
    return value != nullptr && *value != '\0';
}

bool WriteAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

RestoreTokenFile RestoreTokenFile::FromEnvironment()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    // XDG base directories: a relative XDG_STATE_HOME is to be ignored.
    if (Set(state) && state[0] == '/') {
        return RestoreTokenFile(std::string(state) + kFolder + kFile);
    }
    if (Set(home)) {
        return RestoreTokenFile(std::string(home) + "/.local/state" + kFolder + kFile);
    }
    return RestoreTokenFile(std::string());
}

std::string RestoreTokenFile::Load() const
{
    if (path_.empty()) {
        return {};
    }
    std::ifstream in(path_);
    std::string token;
    std::getline(in, token);
    if (token.size() > kLongestToken) {
        return {};
    }
    return token;
}

bool RestoreTokenFile::Save(const std::string& token) const
{
    if (path_.empty() || token.empty() || token.size() > kLongestToken || token.find('\n') != std::string::npos) {
        return false;
    }
    // The folder and, where missing, the state home above it: the owner's only.
    const std::string folder = path_.substr(0, path_.rfind('/'));
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos; slash = folder.find('/', slash + 1)) {
        ::mkdir(folder.substr(0, slash).c_str(), 0700);
    }
    ::mkdir(folder.c_str(), 0700);
    std::string temporary = path_ + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = ::fchmod(fd, 0600) == 0 && WriteAll(fd, token + "\n") && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written || ::rename(temporary.c_str(), path_.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}

void RestoreTokenFile::Remove() const
{
    if (!path_.empty()) {
        ::unlink(path_.c_str());
    }
}

} // namespace qz
