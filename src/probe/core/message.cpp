#include "probe/core/message.h"

namespace qz::probe {

std::string Message(std::string_view text)
{
    std::string line(kProgramName);
    line += ": ";
    line += text;
    return line;
}

} // namespace qz::probe
