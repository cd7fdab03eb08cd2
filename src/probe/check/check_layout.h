#pragma once

#include "probe/check/kit_check.h"

#include <string>
#include <vector>

namespace qz::probe {

// What `check` shows on the terminal, laid out as text with tones, so that
// the terminal library only paints it:
//
//   qz470-probe check: transceiver 0x1003 at /dev/hidraw1
//   27 of 40 pads seen   LEDs lit: 27   last: pad 12 BUZZ
//
//     1 ABCD Z       2 A... . P     3 .... .       4 .... .       5 .... .
//   ...
//   (a note: an LED command not sent, pads beyond the kit)
//   pads 1 to 40 of 40
//   A B C D Z: buttons seen (Z is BUZZ)  .: not yet  P: POWERED  E: ERROR  q: end
//
// A cell is 13 characters: the pad number, a mark for each of A to D, a mark
// for BUZZ where the pad has a place for it, and the flags.

enum class Tone {
    Plain,
    Title,
    Alert, // something the user should act on
    Seen, // the number of a pad seen
    Unseen, // the number of a pad not yet seen
    Mark, // a button seen
    Missing, // a button not yet seen
    Powered,
    Error,
    Hint,
};

struct Span {
    int row = 0;
    int column = 0;
    std::string text;
    Tone tone = Tone::Plain;
};

inline constexpr int kCellWidth = 13;
inline constexpr int kCellGap = 2;
// Rows around the grid: title, count, a blank line above it; note, page
// line and legend below it.
inline constexpr int kRowsAbove = 3;
inline constexpr int kRowsBelow = 3;

// How many cells fit: columns of 10, 5, 2 or 1 pads (so that the tens line
// up), and as many rows as the height leaves. No columns when the terminal
// is too small for one cell and one row.
struct GridFit {
    int columns = 0;
    int rows = 0;
    int PerPage() const { return columns * rows; }
    bool Usable() const { return PerPage() > 0; }
};
GridFit FitGrid(int width, int height);

// The pads the grid shows: whole pages from pad 1 on. When the page size
// changes, the page that holds the first pad shown is kept.
class GridPager {
public:
    explicit GridPager(int padCount);

    void Fit(const GridFit& fit);
    void Next();
    void Previous();

    int First() const { return first_; }
    int Last() const;
    bool Paged() const { return perPage_ < padCount_; }

private:
    int padCount_;
    int perPage_ = 0;
    int first_ = 1;
};

// The state around the grid.
struct CheckStatus {
    std::string connection; // "transceiver 0x1003 at /dev/hidraw1", or what is wrong
    bool connected = true;
    bool light = false; // --light: count the LEDs lit
    int lit = 0;
    std::string note; // the latest problem or notice; empty: none
};

// The whole screen for a terminal of width x height.
std::vector<Span> LayOutCheck(
    const KitCheck& kit, const CheckStatus& status, const GridPager& pager, int width, int height);

} // namespace qz::probe
