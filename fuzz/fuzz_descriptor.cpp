// Any byte sequence read from sysfs as a report descriptor gives report
// lengths or a clean refusal: no read past the end, no overflow, no runaway
// memory from nested Push items.
#include "link/report_descriptor.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> descriptor(data, size);
    const auto info = qz::ParseReportDescriptor(descriptor);
    if (!info) {
        return 0;
    }
    // Report IDs are announced by a Report ID item (prefix 0x85, 0x86 or 0x87);
    // without any such byte the parser cannot have seen one.
    bool mayHaveIds = false;
    for (std::size_t i = 0; i < size; ++i) {
        mayHaveIds = mayHaveIds || (data[i] & 0xFC) == 0x84;
    }
    if (info->usesReportIds && !mayHaveIds) {
        std::abort();
    }
    // Parsing is a pure function of the bytes.
    const auto again = qz::ParseReportDescriptor(descriptor);
    if (!again || again->inputReportLength != info->inputReportLength
        || again->outputReportLength != info->outputReportLength) {
        std::abort();
    }
    return 0;
}
