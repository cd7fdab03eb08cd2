#pragma once

#include "link/led_report.h"

#include <cstdint>
#include <span>
#include <string>

namespace qz::probe {

// The line `emulate` prints for an output report as /dev/uhid hands it over:
// its bytes in hex without the leading report ID 0, then every reading of it
// as an LED report of the model, joined by "or":
//   FA 08 01 07 00 02 F6 AF  LED short pad 7
//   FA 08 01 50 00 02 A1 AF  LED short no particular pad or pad 90
//   63 6D 64 51 00  LED flash pad 1 or LED on pad 35 or LED short pad 75
// The hex alone when no LED report of the model has these bytes.
std::string OutputReportLine(std::span<const std::uint8_t> report, LedFormat format);

} // namespace qz::probe
