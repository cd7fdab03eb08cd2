#include "probe/check/kit_check.h"

#include "probe/core/json_line.h"
#include "probe/core/message.h"
#include "probe/core/report_record.h"

#include <algorithm>

namespace qz::probe {

namespace {

std::vector<std::string> SeenButtons(const PadState& state)
{
    std::vector<std::string> names;
    for (const padcode::Key button : kPadButtons) {
        if (state.Has(button)) {
            names.emplace_back(padcode::ButtonText(button));
        }
    }
    return names;
}

std::vector<std::string> Flags(const PadState& state)
{
    std::vector<std::string> flags;
    if (state.powered) {
        flags.emplace_back("POWERED");
    }
    if (state.error) {
        flags.emplace_back("ERROR");
    }
    return flags;
}

std::string Joined(const std::vector<std::string>& words, const char* between)
{
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : between) + word;
    }
    return text;
}

} // namespace

bool PadCanReport(int pad)
{
    // Pad bytes run 0 to 255; a multiple of ten stands for itself plus ten.
    return pad >= 1 && (pad <= 255 || pad == kMaxPads);
}

KitCheck::KitCheck(int padCount)
    : pads_(static_cast<std::size_t>(std::clamp(padCount, 1, kMaxPads)))
{
    for (int pad = 1; pad <= PadCount(); ++pad) {
        counted_ += PadCanReport(pad) ? 1 : 0;
    }
}

KitCheck::Heard KitCheck::Apply(std::int16_t pad, std::string_view button)
{
    if (pad < 1) {
        return {};
    }
    last_ = "pad " + std::to_string(pad) + " " + std::string(button);
    if (pad > PadCount()) {
        beyond_.insert(pad);
        return {};
    }
    PadState& state = pads_[static_cast<std::size_t>(pad - 1)];
    Heard heard {true, !state.seen};
    if (!state.seen) {
        state.seen = true;
        ++seen_;
    }
    // The decoder's texts: a player's button, POWERED, or ERROR for a key
    // byte it does not know.
    if (button == "POWERED") {
        state.powered = true;
    } else if (IsPlayerButton(button)) {
        for (const padcode::Key known : kPadButtons) {
            if (button == padcode::ButtonText(known)) {
                state.buttons[static_cast<std::size_t>(known)] = true;
            }
        }
    } else {
        state.error = true;
    }
    return heard;
}

std::string SeenLine(const KitCheck& kit)
{
    return std::to_string(kit.SeenCount()) + " of " + std::to_string(kit.CountedPads()) + " pads seen";
}

std::string PadRanges(const std::vector<int>& pads)
{
    std::string text;
    for (std::size_t i = 0; i < pads.size();) {
        std::size_t j = i;
        while (j + 1 < pads.size() && pads[j + 1] == pads[j] + 1) {
            ++j;
        }
        text += (text.empty() ? "" : ", ") + std::to_string(pads[i]);
        if (j > i) {
            text += " to " + std::to_string(pads[j]);
        }
        i = j + 1;
    }
    return text;
}

std::vector<std::string> TableLines(const KitCheck& kit)
{
    std::vector<std::string> lines;
    for (int pad = 1; pad <= kit.PadCount(); ++pad) {
        const PadState& state = kit.Pad(pad);
        std::string line = "pad " + std::to_string(pad) + ": ";
        if (!PadCanReport(pad)) {
            lines.push_back(line + "not counted, no report can name it");
            continue;
        }
        if (!state.seen) {
            lines.push_back(line + "not seen");
            continue;
        }
        const std::vector<std::string> buttons = SeenButtons(state);
        const std::vector<std::string> flags = Flags(state);
        line += buttons.empty() ? "no button" : Joined(buttons, " ");
        if (!flags.empty()) {
            line += "; " + Joined(flags, ", ");
        }
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> TableJsonLines(const KitCheck& kit)
{
    std::vector<std::string> lines;
    for (int pad = 1; pad <= kit.PadCount(); ++pad) {
        const PadState& state = kit.Pad(pad);
        Json object;
        object["pad"] = pad;
        object["seen"] = state.seen;
        object["buttons"] = SeenButtons(state);
        object["flags"] = Flags(state);
        object["counted"] = PadCanReport(pad);
        lines.push_back(JsonLine(object));
    }
    return lines;
}

std::string CheckSummary(const KitCheck& kit)
{
    std::vector<int> missing;
    for (int pad = 1; pad <= kit.PadCount(); ++pad) {
        if (!kit.Pad(pad).seen && PadCanReport(pad)) {
            missing.push_back(pad);
        }
    }
    std::string text = SeenLine(kit);
    if (!missing.empty()) {
        text += "; not seen: " + PadRanges(missing);
    }
    if (!kit.Beyond().empty()) {
        text += "; also heard from pads beyond " + std::to_string(kit.PadCount()) + ": "
            + PadRanges(std::vector<int>(kit.Beyond().begin(), kit.Beyond().end()));
    }
    return Message(text + ".");
}

} // namespace qz::probe
