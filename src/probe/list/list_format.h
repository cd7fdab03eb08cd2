#pragma once

#include "probe/core/hid_survey.h"
#include "probe/core/style.h"

#include <string>
#include <vector>

namespace qz::probe {

// What `list` prints on standard output: one line per interface listed, then
// one line that counts the other HID interfaces, if any were left out.
std::vector<std::string> ListLines(const Survey& survey, const Style& style);

// The same as JSON Lines: one object per interface listed. Each has "node",
// "transceiver", "model", "vendor_id", "product_id", "input_length",
// "output_length" and "openable" (null for interfaces never opened); one that
// would not open also has "reason" (permission, gone or other), "error" (the
// system's text) and "advice" (the line that says what to do).
std::vector<std::string> ListJsonLines(const Survey& survey);

// The line that counts the HID interfaces left out; empty when none were.
std::string OtherInterfacesLine(const Survey& survey);

} // namespace qz::probe
