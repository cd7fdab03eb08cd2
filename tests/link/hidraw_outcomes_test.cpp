// The four outcomes of a look at the input queue, against real kernel
// objects that behave like a hidraw node in the way that matters: a PTY whose
// other side hangs up (unplug), a descriptor closed behind the layer's back
// (a failed wait). umockdev cannot make a node fail these ways by itself.
#include "link/hidraw/hidraw_layer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <string>

namespace qz {
namespace {

// A raw PTY: the test writes reports at the master, the layer opens the
// slave by path as it would open /dev/hidrawN (no descriptor: no report IDs).
class Pty {
public:
    Pty()
    {
        int slave = -1;
        char name[128] = {};
        if (::openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
            std::printf("SKIP: no pseudo-terminal available\n");
            std::exit(77);
        }
        termios raw {};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::close(slave);
        path_ = name;
    }
    ~Pty() { HangUp(); }
    const std::string& Path() const { return path_; }
    void Write(std::initializer_list<std::uint8_t> bytes)
    {
        const std::vector<std::uint8_t> data(bytes);
        ASSERT_EQ(::write(master_, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        // The PTY hands bytes over a moment later; wait until the other side can read.
        const int watch = ::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        pollfd look {watch, POLLIN, 0};
        ::poll(&look, 1, 2000);
        ::close(watch);
    }
    void HangUp()
    {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

private:
    int master_ = -1;
    std::string path_;
};

TEST(HidrawOutcomes, ReportNothingGoneAndFailedWait)
{
    Pty pty;
    HidrawLayer layer;
    const auto opened = layer.Open(pty.Path());
    ASSERT_EQ(opened.status, HidLayer::OpenStatus::Opened);
    std::array<std::uint8_t, 6> buffer {9, 9, 9, 9, 9, 9};

    EXPECT_EQ(layer.ReadReport(opened.handle, buffer).outcome, HidLayer::ReadOutcome::Nothing);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 6> {9, 9, 9, 9, 9, 9}));

    // Without report IDs the data lands behind a 0 at index 0, and a short
    // report leaves the rest of the buffer as it was.
    pty.Write({0xFA, 0x07, 0x00});
    const auto read = layer.ReadReport(opened.handle, buffer);
    EXPECT_EQ(read.outcome, HidLayer::ReadOutcome::Report);
    EXPECT_EQ(read.bytes, 4u);
    EXPECT_EQ(buffer, (std::array<std::uint8_t, 6> {0x00, 0xFA, 0x07, 0x00, 9, 9}));

    // Unplugged: the node hangs up, and stays gone.
    pty.HangUp();
    EXPECT_EQ(layer.ReadReport(opened.handle, buffer).outcome, HidLayer::ReadOutcome::Gone);
    EXPECT_EQ(layer.ReadReport(opened.handle, buffer).outcome, HidLayer::ReadOutcome::Gone);
    // Writes to a gone device fail without a signal.
    const std::array<std::uint8_t, 3> report {0, 1, 2};
    EXPECT_FALSE(layer.WriteReport(opened.handle, report));
    layer.Close(opened.handle);

    // A descriptor that is no longer valid: the look itself fails, and the
    // layer lets go of the number, so that neither writing to the handle nor
    // closing it later can reach whatever reuses that number meanwhile.
    Pty other;
    const auto second = layer.Open(other.Path());
    ASSERT_EQ(second.status, HidLayer::OpenStatus::Opened);
    int pipeEnds[2];
    ASSERT_EQ(::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK), 0);
    ::close(second.handle);
    EXPECT_EQ(layer.ReadReport(second.handle, buffer).outcome, HidLayer::ReadOutcome::WaitFailed);
    ASSERT_EQ(::dup2(pipeEnds[1], second.handle), second.handle); // someone else now has the number
    ::close(pipeEnds[1]);
    EXPECT_FALSE(layer.WriteReport(second.handle, report));
    std::uint8_t leaked = 0;
    EXPECT_EQ(::read(pipeEnds[0], &leaked, 1), -1) << "an LED report went to a descriptor the layer no longer owned";
    layer.Close(second.handle);
    EXPECT_NE(::fcntl(second.handle, F_GETFD), -1) << "the layer closed a descriptor it no longer owned";
    ::close(second.handle);
    ::close(pipeEnds[0]);
    EXPECT_EQ(layer.ReadReport(12345, buffer).outcome, HidLayer::ReadOutcome::WaitFailed); // never opened
}

TEST(HidrawOutcomes, OpenFailuresAreClassified)
{
    HidrawLayer layer;
    const auto gone = layer.Open("/dev/hidraw-that-does-not-exist");
    EXPECT_EQ(gone.status, HidLayer::OpenStatus::Gone);
    EXPECT_EQ(gone.handle, HidLayer::kNoHandle);
    const auto directory = layer.Open("/"); // EISDIR
    EXPECT_EQ(directory.status, HidLayer::OpenStatus::Failed);
    if (::geteuid() != 0) {
        // Only where the test does not run as root can a node refuse us.
        char path[] = "/tmp/qz-hidraw-XXXXXX";
        const int fd = ::mkstemp(path);
        ASSERT_GE(fd, 0);
        ::fchmod(fd, 0);
        ::close(fd);
        EXPECT_EQ(layer.Open(path).status, HidLayer::OpenStatus::PermissionDenied);
        ::unlink(path);
    }
}

} // namespace
} // namespace qz
