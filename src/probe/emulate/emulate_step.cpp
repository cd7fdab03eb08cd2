#include "probe/emulate/emulate_step.h"

#include "probe/core/message.h"

namespace qz::probe {

std::string FileProblemLine(const std::string& file, const FileProblem& problem)
{
    const std::string where = problem.line == 0 ? file : file + ":" + std::to_string(problem.line);
    return Message(where + ": " + problem.reason + "; nothing was sent.");
}

} // namespace qz::probe
