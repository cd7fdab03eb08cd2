#pragma once

#include <string>

namespace qz::probe {

// Options every command that reads a transceiver takes.
struct CommonOptions {
    std::string device; // --device NODE; empty: the first transceiver in the tester's search order
    bool json = false; // --json
};

} // namespace qz::probe
