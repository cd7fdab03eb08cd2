#include "probe/serve/client_command.h"

#include "probe/core/led_request.h"
#include "probe/core/message.h"

#include <limits>

namespace qz::probe {

namespace {

ClientCommand Invalid(ClientCommand command, std::string error)
{
    command.kind = ClientCommand::Kind::Invalid;
    command.error = std::move(error);
    return command;
}

} // namespace

ClientCommand ParseClientCommand(std::string_view text)
{
    ClientCommand command;
    const Json message = Json::parse(text, nullptr, false);
    if (message.is_discarded()) {
        return Invalid(command, "the message is not JSON");
    }
    if (!message.is_object()) {
        return Invalid(command, "the message is not a JSON object");
    }
    if (message.contains("id")) {
        command.id = message["id"];
    }
    const bool led = message.contains("led");
    const bool round = message.contains("round");
    if (led == round) {
        return Invalid(command,
            led ? "the message has both \"led\" and \"round\": send one command a message"
                : "the message is no command: it has neither \"led\" nor \"round\"");
    }
    if (round) {
        if (message["round"] != "close") {
            return Invalid(command, "\"round\" takes \"close\" only");
        }
        command.kind = ClientCommand::Kind::CloseRound;
        return command;
    }
    const Json& action = message["led"];
    const std::optional<LedCommand> ledCommand
        = action.is_string() ? ParseLedAction(action.get<std::string>()) : std::nullopt;
    if (!ledCommand) {
        return Invalid(command, "\"led\" takes \"on\", \"off\", \"short\" or \"flash\"");
    }
    const std::string padRule = "\"pad\" takes a whole number from -32768 to 32767, or \"all\"";
    if (!message.contains("pad")) {
        return Invalid(command, "an LED command needs a pad: " + padRule);
    }
    const Json& pad = message["pad"];
    if (pad == "all") {
        command.pad = 0;
    } else if (pad.is_number_integer() && pad >= std::numeric_limits<std::int16_t>::min()
        && pad <= std::numeric_limits<std::int16_t>::max()) {
        command.pad = pad.get<std::int16_t>();
    } else {
        return Invalid(command, padRule);
    }
    command.kind = ClientCommand::Kind::Led;
    command.led = *ledCommand;
    return command;
}

Json AnswerOk(const std::optional<Json>& id, std::optional<std::string> sent)
{
    Json answer;
    answer["ok"] = true;
    if (id) {
        answer["id"] = *id;
    }
    if (sent) {
        answer["sent"] = std::move(*sent);
    }
    return answer;
}

Json AnswerError(const std::optional<Json>& id, const std::string& error)
{
    Json answer;
    answer["ok"] = false;
    if (id) {
        answer["id"] = *id;
    }
    answer["error"] = error;
    return answer;
}

std::string WithoutProgramName(const std::string& message)
{
    const std::string prefix = Message("");
    return message.rfind(prefix, 0) == 0 ? message.substr(prefix.size()) : message;
}

} // namespace qz::probe
