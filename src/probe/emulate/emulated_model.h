#pragma once

#include "link/hid_layer.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace qz::probe {

// A transceiver model as `emulate` makes it: the report descriptor of the
// real one (data/descriptors, built into the program) and the report
// lengths the host learns from it.
struct EmulatedModel {
    std::uint16_t productId = 0;
    std::span<const std::uint8_t> descriptor;
    HidLayer::ReportLengths lengths; // each counting the report ID byte, as the host sees them
    bool CmdModel() const;
    // Data bytes of one input report: the transceivers number no reports.
    std::size_t InputDataSize() const { return lengths.input - 1u; }
};

// The model with this product ID, 0x1001 or 0x1003; nullptr for any other.
const EmulatedModel* FindEmulatedModel(std::uint16_t productId);

} // namespace qz::probe
