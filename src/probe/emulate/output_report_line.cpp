#include "probe/emulate/output_report_line.h"

#include "link/led_report.h"
#include "probe/core/hex.h"
#include "probe/core/led_request.h"

#include <vector>

namespace qz::probe {

std::string OutputReportLine(std::span<const std::uint8_t> report, LedFormat format)
{
    if (report.empty()) {
        return "(no bytes)";
    }
    if (report[0] != 0) {
        return HexSpaced(report); // no report ID 0 to leave out: no LED report either
    }
    const std::string hex = HexSpaced(report.subspan(1));
    const std::vector<LedReading> readings = ReadLedReport(report, format);
    if (readings.empty()) {
        return hex.empty() ? "(report ID 0 only)" : hex;
    }
    std::string line = hex + "  ";
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const LedReading& reading = readings[i];
        if (i > 0) {
            line += " or ";
        }
        if (i == 0 || readings[i - 1].command != reading.command) {
            line += "LED " + LedActionWord(reading.command) + " ";
        }
        line += reading.pad == 0 ? std::string("no particular pad") : "pad " + std::to_string(reading.pad);
    }
    return line;
}

} // namespace qz::probe
