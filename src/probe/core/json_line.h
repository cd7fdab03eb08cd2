#pragma once

#include <nlohmann/json.hpp>

#include <string>

namespace qz::probe {

// JSON objects keep their keys in the order they were set.
using Json = nlohmann::ordered_json;

// One object on one line. Text that is not UTF-8 (a node name is only bytes)
// has its bad bytes replaced rather than ending the program.
inline std::string JsonLine(const Json& object)
{
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

} // namespace qz::probe
