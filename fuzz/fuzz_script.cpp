// Any text as an emulate script, for either model: a clean list of steps or
// one problem with its line, never a crash; and every press it accepts is a
// report the tester decodes to that very press. The same bytes also go
// through the line emulate prints for an output report the host writes.
#include "decode/transceiver_data.h"
#include "probe/emulate/output_report_line.h"
#include "probe/emulate/script_grammar.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    const bool cmdModel = (data[0] & 1) != 0;
    const qz::probe::EmulatedModel& model = *qz::probe::FindEmulatedModel(cmdModel ? 0x1001 : 0x1003);
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    const qz::probe::ParsedFile script = qz::probe::ParseScript(text, model);
    if (script.problem) {
        if (!script.steps.empty() || script.problem->line == 0 || script.problem->reason.empty()) {
            std::abort(); // nothing may be sent from a file with a bad line
        }
    }
    bool plugged = true;
    for (const qz::probe::EmulateStep& step : script.steps) {
        using Kind = qz::probe::EmulateStep::Kind;
        if (step.kind == Kind::Unplug || step.kind == Kind::Replug) {
            plugged = step.kind == Kind::Replug;
        }
        if (step.kind == Kind::Wait && (step.pause.count() < 0 || step.pause.count() > qz::probe::kLongestWaitMs)) {
            std::abort();
        }
        if (step.kind != Kind::Send) {
            continue;
        }
        if (!plugged || step.data.size() != model.InputDataSize()) {
            std::abort();
        }
        qz::ByteArray buffer(step.data.size() + 2, 0);
        std::copy(step.data.begin(), step.data.end(), buffer.begin() + 1);
        qz::TransceiverData TRData;
        TRData.Parse(buffer);
        if (TRData.Remote() == -1 || step.what != "pad " + std::to_string(TRData.Remote()) + " " + TRData.Button()) {
            std::abort();
        }
    }

    const std::string line = qz::probe::OutputReportLine(std::span<const std::uint8_t>(data + 1, size - 1),
        cmdModel ? qz::LedFormat::CmdReport : qz::LedFormat::LedFrame);
    if (line.empty() || line.find('\n') != std::string::npos) {
        std::abort();
    }
    return 0;
}
