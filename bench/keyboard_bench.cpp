// Typing speed against a private Xvfb: PressString of a 12-character text
// against its floor of 12 pauses of 20 ms, and where the time above the floor
// goes (the layout lookup with its server round trip, the pause itself).
#include "keyboard/keyboard.h"
#include "x11_keys.h"
#include "x_server.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

std::unique_ptr<qz::test::XServer> server;

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

void BM_PressString12(benchmark::State& state)
{
    const auto connected = server ? Connect() : nullptr;
    if (!connected) {
        state.SkipWithError("no X server");
        return;
    }
    qz::KeyInjector& keys = connected->keys;
    qz::clsKeyboard kbd(keys);
    for (auto _ : state) {
        kbd.PressString(kText);
    }
    state.counters["floor_us"] = kFloorMs * 1000;
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
    std::string why;
    server = qz::test::XServer::StartXvfb(640, 480, why);
    if (!server) {
        std::fprintf(stderr, "cannot start a private X server (%s): X11 benchmarks skipped\n", why.c_str());
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    server.reset();
    return 0;
}
