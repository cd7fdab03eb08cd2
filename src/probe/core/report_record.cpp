#include "probe/core/report_record.h"

#include <algorithm>
#include <array>

namespace qz::probe {

namespace {

constexpr std::array<std::string_view, 5> kPlayerButtons = {"A", "B", "C", "D", "BUZZ"};

} // namespace

ReportRecord DecodeReport(const ByteArray& buffer, std::size_t delivered, double timeMs)
{
    ReportRecord record;
    record.timeMs = timeMs;
    record.raw.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(std::min(delivered, buffer.size())));
    TransceiverData TRData;
    TRData.Parse(buffer);
    record.press = TRData.Remote() != -1;
    if (record.press) {
        record.pad = TRData.Remote();
        record.button = TRData.Button();
    }
    return record;
}

double MillisecondsBetween(std::chrono::steady_clock::time_point origin, std::chrono::steady_clock::time_point then)
{
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(then - origin).count();
    return static_cast<double>(micros) / 1000.0;
}

bool IsPlayerButton(std::string_view button)
{
    return std::find(kPlayerButtons.begin(), kPlayerButtons.end(), button) != kPlayerButtons.end();
}

} // namespace qz::probe
