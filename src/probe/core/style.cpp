#include "probe/core/style.h"

namespace qz::probe {

std::string Style::Paint(std::string_view text, Colour colour) const
{
    if (!colour_) {
        return std::string(text);
    }
    // SGR: green, bold red, dim, cyan, bold.
    const char* start = "";
    switch (colour) {
    case Colour::Good:
        start = "\033[32m";
        break;
    case Colour::Bad:
        start = "\033[1;31m";
        break;
    case Colour::Quiet:
        start = "\033[2m";
        break;
    case Colour::Event:
        start = "\033[36m";
        break;
    case Colour::Press:
        start = "\033[1m";
        break;
    }
    return start + std::string(text) + "\033[0m";
}

} // namespace qz::probe
