#include "probe/list/list_command.h"

#include "link/hidraw/hidraw_layer.h"
#include "probe/core/hid_survey.h"
#include "probe/core/message.h"
#include "probe/list/list_format.h"

#include <cstring>

namespace qz::probe {

int RunList(const CommonOptions& options, bool all, HidrawLayer& hid, Output& output)
{
    const Survey survey = SurveyInterfaces(
        hid,
        [&hid](const std::string& path, HidLayer::ReportLengths& lengths) {
            return hid.DescriptorReportLengths(path, lengths);
        },
        options.device, all);
    if (options.json) {
        for (const std::string& line : ListJsonLines(survey)) {
            output.Line(line);
        }
        // Standard output carries only JSON: the count goes with the messages.
        if (const std::string others = OtherInterfacesLine(survey); !others.empty()) {
            output.Error(Message(others + "."));
        }
    } else {
        for (const std::string& line : ListLines(survey, output.OutStyle())) {
            output.Line(line);
        }
    }
    for (const std::string& line : DescribeSurveyProblems(survey)) {
        output.Error(line);
    }
    if (output.Broken() && !output.ReaderGone()) {
        output.Error(
            Message(std::string("cannot write to standard output: ") + std::strerror(output.BrokenError()) + "."));
        return ToInt(ExitStatus::Failed);
    }
    return ToInt(survey.status);
}

} // namespace qz::probe
