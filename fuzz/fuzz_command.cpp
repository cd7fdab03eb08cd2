// Any bytes as a message from a client of qz470-probe serve: a command or
// the reason it is none, never a crash; what it reads is within its bounds,
// and its answer is JSON that parses back.
#include "probe/serve/client_command.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const qz::probe::ClientCommand command = qz::probe::ParseClientCommand(text);
    if ((command.kind == qz::probe::ClientCommand::Kind::Invalid) == command.error.empty()) {
        std::abort();
    }
    const qz::probe::Json answer = command.kind == qz::probe::ClientCommand::Kind::Invalid
        ? qz::probe::AnswerError(command.id, command.error)
        : qz::probe::AnswerOk(command.id, "00");
    const std::string sent = qz::probe::JsonLine(answer);
    if (qz::probe::Json::parse(sent, nullptr, false).is_discarded()) {
        std::abort();
    }
    return 0;
}
