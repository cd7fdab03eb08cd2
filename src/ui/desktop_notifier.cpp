#include "ui/desktop_notifier.h"

namespace qz {

namespace {

// "qz470-tester: no transceiver found ..." becomes "No transceiver found ...".
std::string WithoutProgram(std::string line, std::string_view program)
{
    const std::string prefix = std::string(program) + ": ";
    if (line.compare(0, prefix.size(), prefix) == 0) {
        line.erase(0, prefix.size());
    }
    if (!line.empty() && line[0] >= 'a' && line[0] <= 'z') {
        line[0] = static_cast<char>(line[0] - 'a' + 'A');
    }
    return line;
}

} // namespace

Notice OpenFailureNotice(const OpenFailure& failure, std::string_view program)
{
    const char* summary = failure.status == HidLayer::OpenStatus::PermissionDenied
        ? "No permission to open the transceiver"
        : "Cannot open the transceiver";
    return {summary, WithoutProgram(DescribeOpenFailure(failure, program), program)};
}

Notice TypingRefusedNotice(const std::string& line, std::string_view program, bool closedLater)
{
    return {closedLater ? "Keystrokes no longer allowed" : "Keystrokes not allowed", WithoutProgram(line, program)};
}

Notice NoTransceiverNotice(std::string_view program)
{
    return {"No transceiver found", WithoutProgram(DescribeNoTransceiver(program), program)};
}

} // namespace qz
