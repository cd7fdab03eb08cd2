#pragma once

#include "decode/pad_code_table.h"

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace qz::probe {

// The pads `check` can be told to expect: a framed report names pads up to
// 260.
inline constexpr int kMaxPads = 260;
inline constexpr int kDefaultPads = 80;

// Whether a report can name the pad at all. A framed report carries the pad
// in one byte, a multiple of ten as the pad minus ten: it names pads 1 to
// 255 and 260, never 256 to 259. (A code report names pads 1 to 80.)
bool PadCanReport(int pad);

// The buttons a cell marks, in the order it shows them.
inline constexpr std::array<padcode::Key, 5> kPadButtons
    = {padcode::Key::A, padcode::Key::B, padcode::Key::C, padcode::Key::D, padcode::Key::Buzz};

// What one pad has sent since the check began.
struct PadState {
    bool seen = false; // any report decoded, POWERED and ERROR included
    std::array<bool, 5> buttons {}; // by padcode::Key
    bool powered = false;
    bool error = false;

    bool Has(padcode::Key button) const { return buttons[static_cast<std::size_t>(button)]; }
    // Whether the pad's cell has a place for BUZZ: the pads that have the
    // button (1 to 30), and a higher pad once a BUZZ came from it.
    bool BuzzPlace(int pad) const { return pad <= padcode::kLastBuzzPad || Has(padcode::Key::Buzz); }
};

// The whole-kit check: pads 1 to N, each with the buttons seen and the
// POWERED and ERROR flags.
class KitCheck {
public:
    // padCount: 1 to kMaxPads.
    explicit KitCheck(int padCount);

    struct Heard {
        bool inKit = false; // the pad lies within 1 to N
        bool firstTime = false; // it had not been seen before
    };
    // Takes one decoded report: the pad and the button text of a press.
    Heard Apply(std::int16_t pad, std::string_view button);

    int PadCount() const { return static_cast<int>(pads_.size()); }
    // The pads that count: 1 to N, less those no report can name.
    int CountedPads() const { return counted_; }
    int SeenCount() const { return seen_; }
    bool Complete() const { return seen_ == counted_; }
    // Pad 1 to PadCount().
    const PadState& Pad(int pad) const { return pads_[static_cast<std::size_t>(pad - 1)]; }
    // Pads above N that sent something, which the kit should not have.
    const std::set<int>& Beyond() const { return beyond_; }
    // The last report taken, as "pad 12 BUZZ"; empty before the first.
    const std::string& Last() const { return last_; }

private:
    std::vector<PadState> pads_;
    int counted_ = 0;
    int seen_ = 0;
    std::set<int> beyond_;
    std::string last_;
};

// "27 of 40 pads seen", of the pads that count.
std::string SeenLine(const KitCheck& kit);

// Pad numbers as ranges: "3, 5 to 7, 12".
std::string PadRanges(const std::vector<int>& pads);

// The table `check` prints when it ends, one line per pad:
//   pad 1: A B C D BUZZ
//   pad 2: A C; POWERED
//   pad 3: not seen
//   pad 4: no button; POWERED, ERROR
//   pad 256: not counted, no report can name it
std::vector<std::string> TableLines(const KitCheck& kit);
// The same as JSON Lines, one object per pad:
//   {"pad": 2, "seen": true, "buttons": ["A", "C"], "flags": ["POWERED"], "counted": true}
std::vector<std::string> TableJsonLines(const KitCheck& kit);

// The closing line for standard error: the count, the pads not seen, and
// any pads beyond the kit that were heard from.
std::string CheckSummary(const KitCheck& kit);

} // namespace qz::probe
