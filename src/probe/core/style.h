#pragma once

#include <string>
#include <string_view>

namespace qz::probe {

// Colours for terminal output, or none at all (whether to colour is the
// output's decision: WantColour).
class Style {
public:
    enum class Colour { Good, Bad, Quiet, Event, Press };

    explicit Style(bool colour = false)
        : colour_(colour)
    {
    }
    // The text between the colour's escape sequences, or as it is.
    std::string Paint(std::string_view text, Colour colour) const;

private:
    bool colour_;
};

} // namespace qz::probe
