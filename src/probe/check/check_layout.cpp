#include "probe/check/check_layout.h"

#include "probe/core/message.h"

#include <algorithm>
#include <cstdio>

namespace qz::probe {

namespace {

constexpr int kColumnChoices[] = {10, 5, 2, 1};
constexpr const char* kLegend = "A B C D Z: buttons seen (Z is BUZZ)  .: not yet  P: POWERED  E: ERROR  q: end";

// Spans for one text, cut to the width.
void Put(std::vector<Span>& spans, int row, int column, std::string text, Tone tone, int width)
{
    if (column >= width || text.empty()) {
        return;
    }
    if (static_cast<int>(text.size()) > width - column) {
        text.resize(static_cast<std::size_t>(width - column));
    }
    spans.push_back({row, column, std::move(text), tone});
}

void PutCell(std::vector<Span>& spans, int row, int column, int pad, const PadState& state)
{
    char number[16];
    std::snprintf(number, sizeof number, "%3d", pad);
    spans.push_back({row, column, number, state.seen ? Tone::Seen : Tone::Unseen});
    if (!PadCanReport(pad)) {
        spans.push_back({row, column + 4, "n/a", Tone::Missing});
        return;
    }
    // Marks: A B C D at +4..+7, BUZZ at +9, POWERED at +11, ERROR at +12.
    static constexpr int kOffsets[] = {4, 5, 6, 7, 9};
    for (std::size_t i = 0; i < kPadButtons.size(); ++i) {
        const padcode::Key button = kPadButtons[i];
        if (button == padcode::Key::Buzz && !state.BuzzPlace(pad)) {
            continue;
        }
        const bool has = state.Has(button);
        const char mark = !has ? '.' : button == padcode::Key::Buzz ? 'Z' : padcode::ButtonText(button)[0];
        spans.push_back({row, column + kOffsets[i], std::string(1, mark), has ? Tone::Mark : Tone::Missing});
    }
    if (state.powered) {
        spans.push_back({row, column + 11, "P", Tone::Powered});
    }
    if (state.error) {
        spans.push_back({row, column + 12, "E", Tone::Error});
    }
}

std::string PageLine(const KitCheck& kit, const GridPager& pager)
{
    std::string text = "pads " + std::to_string(pager.First()) + " to " + std::to_string(pager.Last()) + " of "
        + std::to_string(kit.PadCount());
    if (pager.Paged()) {
        const bool first = pager.First() == 1;
        const bool last = pager.Last() == kit.PadCount();
        text += first ? "  PgDn: next pads" : last ? "  PgUp: earlier pads" : "  PgUp/PgDn: earlier/next pads";
    }
    return text;
}

} // namespace

GridFit FitGrid(int width, int height)
{
    GridFit fit;
    const int rows = height - kRowsAbove - kRowsBelow;
    if (rows < 1) {
        return fit;
    }
    for (const int columns : kColumnChoices) {
        if (columns * (kCellWidth + kCellGap) - kCellGap <= width) {
            fit.columns = columns;
            fit.rows = rows;
            break;
        }
    }
    return fit;
}

GridPager::GridPager(int padCount)
    : padCount_(std::max(padCount, 1))
{
}

void GridPager::Fit(const GridFit& fit)
{
    perPage_ = fit.PerPage();
    first_ = perPage_ > 0 ? (first_ - 1) / perPage_ * perPage_ + 1 : 1;
}

void GridPager::Next()
{
    if (perPage_ > 0 && first_ + perPage_ <= padCount_) {
        first_ += perPage_;
    }
}

void GridPager::Previous()
{
    first_ = std::max(1, first_ - perPage_);
}

int GridPager::Last() const
{
    return perPage_ > 0 ? std::min(padCount_, first_ + perPage_ - 1) : first_;
}

std::vector<Span> LayOutCheck(
    const KitCheck& kit, const CheckStatus& status, const GridPager& pager, int width, int height)
{
    std::vector<Span> spans;
    const GridFit fit = FitGrid(width, height);
    if (!fit.Usable()) {
        char text[96];
        std::snprintf(text, sizeof text, "%s check: make the terminal at least %d columns by %d rows",
            std::string(kProgramName).c_str(), kCellWidth, kRowsAbove + kRowsBelow + 1);
        if (height > 0) {
            Put(spans, 0, 0, text, Tone::Alert, width);
        }
        return spans;
    }

    Put(spans, 0, 0, std::string(kProgramName) + " check: " + status.connection,
        status.connected ? Tone::Title : Tone::Alert, width);
    std::string count = SeenLine(kit);
    if (status.light) {
        count += "   LEDs lit: " + std::to_string(status.lit);
    }
    if (!kit.Last().empty()) {
        count += "   last: " + kit.Last();
    }
    Put(spans, 1, 0, count, kit.Complete() ? Tone::Title : Tone::Plain, width);

    // The pager is fitted to the same size; never more cells than fit.
    const int last = std::min(pager.Last(), pager.First() + fit.PerPage() - 1);
    for (int pad = pager.First(); pad <= last; ++pad) {
        const int index = pad - pager.First();
        PutCell(
            spans, kRowsAbove + index / fit.columns, index % fit.columns * (kCellWidth + kCellGap), pad, kit.Pad(pad));
    }

    std::string note = status.note;
    if (note.empty() && !kit.Beyond().empty()) {
        note = "also heard from pads beyond " + std::to_string(kit.PadCount()) + ": "
            + PadRanges(std::vector<int>(kit.Beyond().begin(), kit.Beyond().end()));
    }
    Put(spans, height - 3, 0, note, Tone::Alert, width);
    Put(spans, height - 2, 0, PageLine(kit, pager), Tone::Plain, width);
    Put(spans, height - 1, 0, kLegend, Tone::Hint, width);
    return spans;
}

} // namespace qz::probe
