#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace qz {

// What the host learns from a HID report descriptor: the longest input and
// output report in bytes, each counting the report ID byte (also when the
// device uses no report IDs; 0 when the device has no report of that kind),
// and whether reports carry an ID byte on the wire.
struct ReportDescriptorInfo {
    std::uint16_t inputReportLength = 0;
    std::uint16_t outputReportLength = 0;
    bool usesReportIds = false;
};

// Parses a report descriptor. nullopt when it is malformed: a truncated item,
// a Pop without Push, or a report too long for a 16-bit length.
std::optional<ReportDescriptorInfo> ParseReportDescriptor(std::span<const std::uint8_t> descriptor);

} // namespace qz
