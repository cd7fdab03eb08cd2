#pragma once

#include <string>
#include <string_view>

namespace qz::probe {

// The program's name, which starts every message.
inline constexpr std::string_view kProgramName = "qz470-probe";

// A message line: the program's name, ": ", the text.
std::string Message(std::string_view text);

} // namespace qz::probe
