#pragma once

#include "link/led_report.h"
#include "probe/core/json_line.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qz::probe {

// One message a client of `serve` sends, read:
//   {"led": "on|off|short|flash", "pad": N}    N from -32768 to 32767, or "all"
//   {"round": "close"}
// either with an "id" of any JSON value, which the answer echoes. Other
// members are passed over.
struct ClientCommand {
    enum class Kind { Led, CloseRound, Invalid };
    Kind kind = Kind::Invalid;
    LedCommand led = LedCommand::On;
    std::int16_t pad = 0; // 0 for "all", as for `led`
    std::optional<Json> id;
    std::string error; // for Invalid: why, as the answer says it
};

ClientCommand ParseClientCommand(std::string_view text);

// The answers, one JSON object each:
//   {"ok": true, "id": ..., "sent": "<hex bytes>"}   an LED command written
//   {"ok": true, "id": ...}                          a round closed
//   {"ok": false, "id": ..., "error": "..."}
// "id" only when the message carried one.
Json AnswerOk(const std::optional<Json>& id, std::optional<std::string> sent = std::nullopt);
Json AnswerError(const std::optional<Json>& id, const std::string& error);

// An error line of the probe's LED request (BuildLedBytes) as an answer
// says it: without the program's name in front.
std::string WithoutProgramName(const std::string& message);

} // namespace qz::probe
