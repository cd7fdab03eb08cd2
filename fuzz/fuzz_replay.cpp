// Any text as a watch recording to replay, for either model and a range of
// speeds: a clean list of steps or one problem with its line, never a crash;
// each report it would send has the model's length, and the times never go
// back.
#include "probe/emulate/replay.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const bool cmdModel = (data[0] & 1) != 0;
    const double speed = 0.25 * (1 + (data[0] >> 1)); // 0.25 to 32
    const qz::probe::EmulatedModel& model = *qz::probe::FindEmulatedModel(cmdModel ? 0x1001 : 0x1003);
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    (void)qz::probe::RecordedModel(text);
    const qz::probe::ParsedFile replay = qz::probe::ParseReplay(text, model, speed);
    if (replay.problem && (!replay.steps.empty() || replay.problem->line == 0 || replay.problem->reason.empty())) {
        std::abort();
    }
    std::chrono::microseconds last {0};
    for (const qz::probe::EmulateStep& step : replay.steps) {
        if (!step.at || *step.at < last || step.line == 0) {
            std::abort();
        }
        last = *step.at;
        if (step.kind == qz::probe::EmulateStep::Kind::Send && step.data.size() != model.InputDataSize()) {
            std::abort();
        }
    }
    return 0;
}
