// The uinput sink against a real kernel (run_in_vm.sh boots one with evdev and
// uinput; elsewhere the test exits 77): typing through the real sink, the
// virtual keyboard's events read back from its /dev/input/eventN node, exactly
// and in order, each with its sync report, and then read by xkbcommon with
// the keymap the lookup used, as a compositor reads them.
#include "keyboard/keyboard.h"
#include "keyboard/layout_key_injector.h"
#include "keyboard/uinput/uinput_key_sink.h"
#include "keyboard/xkb/xkb_names_layout.h"
#include "xkb_decoder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace qz {
namespace {

using namespace std::chrono_literals;

struct KeyEvent {
    std::uint16_t type;
    std::uint16_t code;
    std::int32_t value;
    bool operator==(const KeyEvent&) const = default;
};

std::string Describe(const std::vector<KeyEvent>& events)
{
    std::string text;
    for (const KeyEvent& e : events) {
        text += e.type == EV_SYN ? "syn"
            : e.type == EV_KEY   ? "key"
            : e.type == EV_LED   ? "led"
                                 : "t" + std::to_string(e.type);
        text += e.type == EV_SYN ? " " : ":" + std::to_string(e.code) + "=" + std::to_string(e.value) + " ";
    }
    return text;
}

void PrintTo(const KeyEvent& e, std::ostream* os)
{
    *os << Describe({e});
}

// A key event with its sync report, as the sink must send each one.
void Add(std::vector<KeyEvent>& events, std::uint16_t code, bool down)
{
    events.push_back({EV_KEY, code, down ? 1 : 0});
    events.push_back({EV_SYN, SYN_REPORT, 0});
}

// Reads the virtual keyboard's event node in a thread of its own, as a
// compositor would, so that no event is lost while a test types.
class EventReader {
public:
    // Opens the device's event node (devtmpfs makes it; no udev runs here).
    explicit EventReader(const std::string& node)
    {
        const auto until = std::chrono::steady_clock::now() + 3s;
        while (fd_ < 0 && std::chrono::steady_clock::now() < until) {
            fd_ = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
            if (fd_ < 0) {
                std::this_thread::sleep_for(10ms);
            }
        }
        if (fd_ >= 0) {
            const int clock = CLOCK_MONOTONIC;
            ::ioctl(fd_, EVIOCSCLOCKID, &clock);
            thread_ = std::thread([this] { Run(); });
        }
    }
    ~EventReader()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    bool Open() const { return fd_ >= 0; }

    // The events read so far, waiting up to 3 s for at least `count`.
    std::vector<KeyEvent> Take(std::size_t count)
    {
        const auto until = std::chrono::steady_clock::now() + 3s;
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (events_.size() >= count || std::chrono::steady_clock::now() >= until) {
                    // A moment more would show events beyond those expected.
                    return std::exchange(events_, {});
                }
            }
            std::this_thread::sleep_for(5ms);
        }
    }
    // Everything read within a short while.
    std::vector<KeyEvent> TakeSettled()
    {
        std::this_thread::sleep_for(200ms);
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(events_, {});
    }

    // When the first event read arrived (CLOCK_MONOTONIC, the steady clock).
    std::chrono::steady_clock::time_point FirstEventTime()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return first_;
    }

    // True once a read has found the device gone.
    bool Gone() const { return gone_; }

    // Writes a lock LED as a compositor does on its keyboards.
    void SetLed(std::uint16_t led, bool on)
    {
        const input_event events[] = {{{}, EV_LED, led, on ? 1 : 0}, {{}, EV_SYN, SYN_REPORT, 0}};
        ASSERT_EQ(::write(fd_, events, sizeof events), static_cast<ssize_t>(sizeof events));
    }

private:
    void Run()
    {
        while (!stop_) {
            pollfd look {fd_, POLLIN, 0};
            if (::poll(&look, 1, 20) != 1) {
                continue;
            }
            input_event buffer[64];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n < 0 && errno == ENODEV) {
                gone_ = true;
                return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof(input_event)); ++i) {
                const input_event& e = buffer[i];
                if (first_ == std::chrono::steady_clock::time_point {}) {
                    first_ = std::chrono::steady_clock::time_point(
                        std::chrono::seconds(e.input_event_sec) + std::chrono::microseconds(e.input_event_usec));
                }
                events_.push_back({e.type, e.code, e.value});
            }
        }
    }

    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_ {false};
    std::atomic<bool> gone_ {false};
    std::mutex mutex_;
    std::vector<KeyEvent> events_;
    std::chrono::steady_clock::time_point first_ {};
};

using test::CompileOrSkip;

class UinputKernelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        created_ = std::chrono::steady_clock::now();
        std::string why;
        sink_ = UinputKeySink::Create(why).release();
        if (sink_ == nullptr) {
            std::printf("SKIP: %s (this test runs inside a VM through run_in_vm.sh)\n", why.c_str());
            std::exit(77);
        }
        reader_ = new EventReader(sink_->DeviceNode());
    }
    static void TearDownTestSuite()
    {
        delete reader_;
        delete sink_;
    }

    void SetUp() override { ASSERT_TRUE(reader_->Open()) << "cannot open " << sink_->DeviceNode(); }

    // Types `text` on `layout` and returns the events the device sent.
    std::vector<KeyEvent> Type(XkbNamesLayout& layout, const std::string& text, std::size_t expectedEvents)
    {
        LayoutKeyInjector keys(layout, *sink_);
        clsKeyboard(keys).PressString(text, false);
        return reader_->Take(expectedEvents);
    }

    // What xkbcommon makes of the events with the keymap the lookup used.
    static std::string Decode(test::XkbDecoder& decoder, const std::vector<KeyEvent>& events)
    {
        for (const KeyEvent& e : events) {
            if (e.type == EV_KEY) {
                decoder.Key(e.code, e.value != 0);
            }
        }
        return decoder.TakeText();
    }

    static std::chrono::steady_clock::time_point created_;
    static UinputKeySink* sink_;
    static EventReader* reader_;
};

std::chrono::steady_clock::time_point UinputKernelTest::created_;
UinputKeySink* UinputKernelTest::sink_ = nullptr;
EventReader* UinputKernelTest::reader_ = nullptr;

TEST_F(UinputKernelTest, GermanPadNumberButtonAndAltGrArriveExactlyWithSyncReports)
{
    auto de = CompileOrSkip("de");
    test::XkbDecoder decoder(de->Keymap());

    std::vector<KeyEvent> expected;
    for (std::uint16_t digit : {KEY_1, KEY_2}) {
        Add(expected, digit, true);
        Add(expected, digit, false);
    }
    // Shift down and up around each capital; Z is on the Y key in German.
    for (std::uint16_t letter : {KEY_B, KEY_U, KEY_Y, KEY_Y}) {
        Add(expected, KEY_LEFTSHIFT, true);
        Add(expected, letter, true);
        Add(expected, letter, false);
        Add(expected, KEY_LEFTSHIFT, false);
    }
    // @ and { on level 3: AltGr, never Ctrl and Alt.
    for (std::uint16_t key : {KEY_Q, KEY_7}) {
        Add(expected, KEY_RIGHTALT, true);
        Add(expected, key, true);
        Add(expected, key, false);
        Add(expected, KEY_RIGHTALT, false);
    }

    std::vector<KeyEvent> events = Type(*de, "12", 8);
    EXPECT_EQ(Decode(decoder, events), "12");
    for (const char* text : {"BUZZ", "@", "{"}) {
        const std::vector<KeyEvent> more = Type(*de, text, std::string(text).size() == 1 ? 8 : 32);
        EXPECT_EQ(Decode(decoder, more), text);
        events.insert(events.end(), more.begin(), more.end());
    }
    EXPECT_EQ(events, expected) << "got:      " << Describe(events) << "\nexpected: " << Describe(expected);
    EXPECT_TRUE(reader_->TakeSettled().empty());
    EXPECT_FALSE(decoder.AnyKeyDown());

    // Nothing reached the device before the compositor's settling time.
    EXPECT_GE(reader_->FirstEventTime() - created_, UinputKeySink::kSettleTime);
}

TEST_F(UinputKernelTest, FrenchDigitsComeWithShift)
{
    auto fr = CompileOrSkip("fr");
    test::XkbDecoder decoder(fr->Keymap());
    const std::vector<KeyEvent> events = Type(*fr, "1234567890", 10 * 8);
    EXPECT_EQ(Decode(decoder, events), "1234567890") << Describe(events);
    std::vector<KeyEvent> one;
    Add(one, KEY_LEFTSHIFT, true);
    Add(one, KEY_1, true);
    Add(one, KEY_1, false);
    Add(one, KEY_LEFTSHIFT, false);
    EXPECT_EQ(std::vector<KeyEvent>(events.begin(), events.begin() + 8), one) << Describe(events);
    EXPECT_EQ(Decode(decoder, Type(*fr, "BUZZ", 32)), "BUZZ");
}

TEST_F(UinputKernelTest, WithCapsLockLockedTheButtonArrivesInLowerCase)
{
    auto us = CompileOrSkip("us");
    test::XkbDecoder decoder(us->Keymap());
    LayoutKeyInjector keys(*us, *sink_);
    clsKeyboard kbd(keys);
    kbd.PressKeyVK(VirtualKey::kCapsLock);
    Decode(decoder, reader_->Take(4));
    ASSERT_TRUE(decoder.CapsLocked());
    EXPECT_EQ(Decode(decoder, Type(*us, "BUZZ", 32)), "buzz");
    EXPECT_EQ(Decode(decoder, Type(*us, "12", 8)), "12");
    kbd.PressKeyVK(VirtualKey::kCapsLock);
    Decode(decoder, reader_->Take(4));
    EXPECT_FALSE(decoder.CapsLocked());
    EXPECT_EQ(Decode(decoder, Type(*us, "BUZZ", 32)), "BUZZ");
}

TEST_F(UinputKernelTest, CapsLockIsReadFromTheLedsACompositorSets)
{
    auto us = CompileOrSkip("us");
    LayoutKeyInjector keys(*us, *sink_);
    clsKeyboard kbd(keys);
    const auto capsLock = [&] {
        bool caps = false;
        bool num = false;
        bool scroll = false;
        kbd.GetLockStatus(caps, num, scroll);
        return caps;
    };
    EXPECT_FALSE(capsLock());
    reader_->SetLed(LED_CAPSL, true);
    EXPECT_TRUE(capsLock());
    reader_->SetLed(LED_CAPSL, false);
    EXPECT_FALSE(capsLock());
    reader_->TakeSettled(); // the LED events themselves
}

TEST_F(UinputKernelTest, KeysStillHeldAreReleasedBeforeTheDeviceGoes)
{
    auto us = CompileOrSkip("us");
    std::string why;
    auto sink = UinputKeySink::Create(why);
    ASSERT_NE(sink, nullptr) << why;
    EventReader reader(sink->DeviceNode());
    ASSERT_TRUE(reader.Open()) << "cannot open " << sink->DeviceNode();
    auto keys = std::make_unique<LayoutKeyInjector>(*us, *sink);
    clsKeyboard(*keys).PressKey("A", true);
    std::vector<KeyEvent> events = reader.Take(4);
    std::vector<KeyEvent> expected;
    Add(expected, KEY_LEFTSHIFT, true);
    Add(expected, KEY_A, true);
    EXPECT_EQ(events, expected) << Describe(events);
    keys.reset();
    sink.reset();
    events = reader.TakeSettled();
    expected.clear();
    Add(expected, KEY_A, false);
    Add(expected, KEY_LEFTSHIFT, false);
    EXPECT_EQ(events, expected) << Describe(events);
    EXPECT_TRUE(reader.Gone());
}

} // namespace
} // namespace qz
