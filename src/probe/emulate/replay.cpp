#include "probe/emulate/replay.h"

#include "probe/core/hex.h"
#include "probe/core/json_line.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace qz::probe {

namespace {

// The latest time a replayed step may be due, in milliseconds after the start.
constexpr double kLatestReplayMs = 1e11;

std::optional<ByteArray> FromHex(std::string_view hex)
{
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    ByteArray bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        std::uint8_t byte = 0;
        const auto [end, error] = std::from_chars(hex.data() + i, hex.data() + i + 2, byte, 16);
        if (error != std::errc() || end != hex.data() + i + 2) {
            return std::nullopt;
        }
        bytes.push_back(byte);
    }
    return bytes;
}

// What a replayed report is, as watch would show it.
std::string Decoded(const ByteArray& data)
{
    ByteArray buffer(data.size() + 2, 0); // report ID 0, the data, the spare byte
    std::copy(data.begin(), data.end(), buffer.begin() + 1);
    TransceiverData TRData;
    TRData.Parse(buffer);
    return TRData.Remote() == -1 ? std::string("not a press")
                                 : "pad " + std::to_string(TRData.Remote()) + " " + TRData.Button();
}

} // namespace

std::optional<std::uint16_t> RecordedModel(std::string_view text)
{
    std::optional<std::uint16_t> model;
    ForEachLine(text, [&model](std::size_t, std::string_view line) {
        const Json object = Json::parse(line, nullptr, false);
        if (!object.is_object() || !object.contains("event") || object["event"] != "connected"
            || !object.contains("model") || !object["model"].is_string()) {
            return true;
        }
        // "0x1003", as watch writes it.
        const std::string name = object["model"].get<std::string>();
        std::uint16_t value = 0;
        if (name.size() > 2 && name.rfind("0x", 0) == 0) {
            const auto [end, error] = std::from_chars(name.data() + 2, name.data() + name.size(), value, 16);
            if (error == std::errc() && end == name.data() + name.size()) {
                model = value;
            }
        }
        return false;
    });
    return model;
}

ParsedFile ParseReplay(std::string_view text, const EmulatedModel& model, double speed)
{
    ParsedFile file;
    bool plugged = true;
    double lastMs = 0;
    const auto fail = [&file](std::size_t number, std::string reason) {
        file.problem = FileProblem {number, std::move(reason)};
        return false;
    };
    ForEachLine(text, [&](std::size_t number, std::string_view line) {
        if (std::all_of(line.begin(), line.end(), IsBlank)) {
            return true;
        }
        const Json object = Json::parse(line, nullptr, false);
        if (!object.is_object()) {
            return fail(number, "not a JSON object, as qz470-probe watch --json writes one a line");
        }
        std::string event;
        if (object.contains("event")) {
            if (!object["event"].is_string()) {
                return fail(number, "its \"event\" is not a text");
            }
            event = object["event"].get<std::string>();
            if (event != "press" && event != "connected" && event != "unplugged") {
                return true; // nothing to replay
            }
        }
        // A press, or a report that decodes to none (which has no "event").
        const bool isEvent = !event.empty() && event != "press";
        if (!object.contains("time_ms") || !object["time_ms"].is_number()) {
            return fail(number, "it has no \"time_ms\" number");
        }
        const double timeMs = object["time_ms"].get<double>();
        if (!(timeMs >= 0)) {
            return fail(number, "its \"time_ms\" is below 0");
        }
        if (timeMs < lastMs) {
            return fail(number, "its \"time_ms\" lies before that of the line above");
        }
        lastMs = timeMs;
        const double replayMs = timeMs / speed;
        if (!(replayMs <= kLatestReplayMs)) {
            return fail(number, "its \"time_ms\" lies too far ahead to be replayed");
        }
        EmulateStep step;
        step.line = number;
        step.at = std::chrono::microseconds(std::llround(replayMs * 1000.0));

        if (isEvent) {
            if ((event == "unplugged") == plugged) {
                step.kind = plugged ? EmulateStep::Kind::Unplug : EmulateStep::Kind::Replug;
                plugged = !plugged;
                file.steps.push_back(step);
            }
            return true;
        }
        if (!object.contains("raw") || !object["raw"].is_string()) {
            return fail(number, "it has neither \"event\" nor a \"raw\" report in hex");
        }
        const std::string raw = object["raw"].get<std::string>();
        const auto report = FromHex(raw);
        if (!report || report->empty()) {
            return fail(number, "its \"raw\" is not a report in hex");
        }
        if ((*report)[0] != 0) {
            return fail(number, "its \"raw\" does not begin with report ID 0, which the transceivers send");
        }
        const std::size_t dataSize = report->size() - 1;
        if (dataSize != model.InputDataSize()) {
            return fail(number,
                "its report has " + std::to_string(dataSize) + " bytes after the report ID, and the "
                    + ModelName(model.productId) + " model's input reports have "
                    + std::to_string(model.InputDataSize()));
        }
        if (!plugged) {
            EmulateStep replug = step;
            replug.kind = EmulateStep::Kind::Replug;
            file.steps.push_back(replug);
            plugged = true;
        }
        step.kind = EmulateStep::Kind::Send;
        step.data.assign(report->begin() + 1, report->end());
        step.what = Decoded(step.data);
        file.steps.push_back(std::move(step));
        return true;
    });
    if (file.problem) {
        file.steps.clear();
    }
    return file;
}

} // namespace qz::probe
