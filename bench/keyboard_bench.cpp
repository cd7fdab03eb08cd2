// Typing speed: PressString of a 12-character text against its floor of 12
// pauses of 20 ms, through XTest against a private Xvfb, through the uinput
// sink where /dev/uinput opens (inside the test VM: see docs/PERFORMANCE.md)
// and through the ei sink against an EIS server of our own where libei
// exists; and where the time above the floor goes (the layout lookup with
// its server round trip, one key event, the pause itself).
#include "keyboard/keyboard.h"
#include "keyboard/layout_key_injector.h"
#include "keyboard/uinput/uinput_key_sink.h"
#include "keyboard/xkb/x11_layout.h"
#include "keyboard/xkb/xkb_names_layout.h"
#include "x11_keys.h"
#include "x_server.h"

#if QZ_HAVE_EI
#include "eis_server.h"
#endif

#include <benchmark/benchmark.h>
#include <linux/input-event-codes.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace {

std::unique_ptr<qz::test::XServer> server;
// Made at start, as the program makes it, so that its settling time is over
// before the first benchmark.
std::unique_ptr<qz::UinputKeySink> uinput;
std::string uinputWhy;

// An injector on the private server; other programs starting X servers on a
// shared machine can refuse a connection for an instant, so try a few times.
std::unique_ptr<qz::test::X11Keys> Connect()
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        auto keys = std::make_unique<qz::test::X11Keys>(server->Display().c_str());
        if (keys->Connected()) {
            return keys;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return nullptr;
}

constexpr const char* kText = "12ABCDBUZZ34"; // 12 characters; the pad texts' shapes
constexpr double kFloorMs = 12 * 20.0;

// Types the text once an iteration, beside its floor.
void TypeText(benchmark::State& state, qz::KeyInjector& keys)
{
    qz::clsKeyboard kbd(keys);
    for (auto _ : state) {
        kbd.PressString(kText);
    }
    state.counters["floor_us"] = kFloorMs * 1000;
}

void BM_PressString12(benchmark::State& state)
{
    const auto connected = server ? Connect() : nullptr;
    if (!connected) {
        state.SkipWithError("no X server");
        return;
    }
    TypeText(state, connected->keys);
}
BENCHMARK(BM_PressString12)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(20);

void BM_KeyForCharacter(benchmark::State& state)
{
    const auto connected = server ? Connect() : nullptr;
    if (!connected) {
        state.SkipWithError("no X server");
        return;
    }
    qz::KeyInjector& keys = connected->keys;
    for (auto _ : state) {
        benchmark::DoNotOptimize(keys.KeyForCharacter('Z'));
    }
}
BENCHMARK(BM_KeyForCharacter)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_PressKeyNoPause(benchmark::State& state)
{
    const auto connected = server ? Connect() : nullptr;
    if (!connected) {
        state.SkipWithError("no X server");
        return;
    }
    qz::KeyInjector& keys = connected->keys;
    qz::clsKeyboard kbd(keys);
    for (auto _ : state) {
        kbd.PressKey("Z");
        keys.Pause(std::chrono::milliseconds(0)); // the sync every character ends with
    }
}
BENCHMARK(BM_PressKeyNoPause)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The uinput sink with the lookup the program uses: the X server's layout
// when there is one, else a keymap compiled from names.
void BM_PressString12Uinput(benchmark::State& state)
{
    if (!uinput) {
        state.SkipWithError(uinputWhy.c_str());
        return;
    }
    std::unique_ptr<qz::test::X11Keys> x11 = server ? Connect() : nullptr;
    std::unique_ptr<qz::XkbNamesLayout> names;
    qz::KeyLayout* layout = x11 ? static_cast<qz::KeyLayout*>(&x11->layout) : nullptr;
    if (layout == nullptr) {
        names = qz::XkbNamesLayout::Compile("us");
        layout = names.get();
    }
    if (layout == nullptr) {
        state.SkipWithError("no keymap");
        return;
    }
    qz::LayoutKeyInjector keys(*layout, *uinput);
    TypeText(state, keys);
    state.SetLabel(x11 ? "X server's layout" : "keymap from names");
}
BENCHMARK(BM_PressString12Uinput)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(20);

// The same on the X server's layout with a sink that drops every event: all
// the typing costs but the sink's own.
void BM_PressString12NoSink(benchmark::State& state)
{
    const auto connected = server ? Connect() : nullptr;
    if (!connected) {
        state.SkipWithError("no X server");
        return;
    }
    qz::NoKeySink sink;
    qz::LayoutKeyInjector keys(connected->layout, sink);
    TypeText(state, keys);
}
BENCHMARK(BM_PressString12NoSink)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(20);

#if QZ_HAVE_EI
// The ei sink against an EIS server of our own (in a thread of the
// benchmark), on the US keymap that the server sends; made once, with the
// new keyboard's settling time behind it. Null, the benchmark skipped, when
// it cannot be had.
qz::EiKeyboard* Ei(benchmark::State& state)
{
    static std::string why;
    static const auto eis = qz::test::EisServer::Start({"us"}, why);
    static const auto names = qz::XkbNamesLayout::Compile("us");
    static const auto ei = [] {
        auto keyboard = eis && names ? qz::test::ConnectEiKeyboard(eis->NewClient(), *names, why) : nullptr;
        if (keyboard) {
            keyboard->Send(KEY_A, false);
        }
        return keyboard;
    }();
    if (!ei) {
        state.SkipWithError(("no EIS keyboard: " + why).c_str());
    }
    return ei.get();
}

// Every character ends with a round trip to the server.
void BM_PressString12Ei(benchmark::State& state)
{
    if (qz::EiKeyboard* ei = Ei(state)) {
        qz::LayoutKeyInjector keys(*ei, *ei);
        TypeText(state, keys);
    }
}
BENCHMARK(BM_PressString12Ei)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(20);

// One key event and its round trip.
void BM_EiKeyRoundTrip(benchmark::State& state)
{
    if (qz::EiKeyboard* ei = Ei(state)) {
        bool down = true;
        for (auto _ : state) {
            ei->Send(KEY_A, down);
            ei->Flush();
            down = !down;
        }
        ei->Send(KEY_A, false);
    }
}
BENCHMARK(BM_EiKeyRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
#endif

// One key event with its sync report.
void BM_UinputKeyEvent(benchmark::State& state)
{
    if (!uinput) {
        state.SkipWithError(uinputWhy.c_str());
        return;
    }
    bool down = true;
    for (auto _ : state) {
        uinput->Send(30, down); // KEY_A
        down = !down;
    }
    if (!down) {
        uinput->Send(30, false);
    }
}
BENCHMARK(BM_UinputKeyEvent)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Sleep20(benchmark::State& state)
{
    for (auto _ : state) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}
BENCHMARK(BM_Sleep20)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(50);

// The injector's own pause: the same 20 ms, without the late wake-up.
void BM_Pause20(benchmark::State& state)
{
    for (auto _ : state) {
        qz::PreciseSleep(std::chrono::milliseconds(20));
    }
}
BENCHMARK(BM_Pause20)->Unit(benchmark::kMicrosecond)->UseRealTime()->Iterations(50);

} // namespace

int main(int argc, char** argv)
{
    uinput = qz::UinputKeySink::Create(uinputWhy);
    const auto uinputReady = std::chrono::steady_clock::now() + qz::UinputKeySink::kSettleTime;
    std::string why;
    server = qz::test::XServer::StartXvfb(640, 480, why);
    if (!server) {
        std::fprintf(stderr, "cannot start a private X server (%s): X11 benchmarks skipped\n", why.c_str());
    }
    std::this_thread::sleep_until(uinputReady);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    server.reset();
    uinput.reset();
    return 0;
}
