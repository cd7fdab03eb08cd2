// Decoding cost per report, beside a reference that walks the code table
// entry by entry, building each four-byte pattern and comparing it byte by
// byte, the way the code report lookup is defined.
#include "decode/pad_code_table.h"
#include "decode/transceiver_data.h"

#include "reports.h"

#include <benchmark/benchmark.h>

#include <array>

namespace {

using qz::ByteArray;

ByteArray ToPattern(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d)
{
    return ByteArray {a, b, c, d};
}

bool SameBytes(const ByteArray& x, const ByteArray& y)
{
    if (x.size() != y.size()) {
        return false;
    }
    for (std::size_t i = 0; i < 4; ++i) {
        if (x[i] != y[i]) {
            return false;
        }
    }
    return true;
}

// Reference: first match by walking all entries in table order.
std::int16_t ReferenceCodeLookup(const ByteArray& buffer, std::string& button)
{
    for (const auto& entry : qz::padcode::kTable) {
        const auto pattern = ToPattern(
            0, static_cast<std::uint8_t>(entry.keyCode >> 8), static_cast<std::uint8_t>(entry.keyCode & 0xFF), 0);
        if (SameBytes(buffer, pattern)) {
            button = qz::padcode::ButtonText(entry.key);
            return entry.pad;
        }
    }
    return -1;
}

// The same walk without building a pattern per entry: the four-byte
// comparison alone, the cheapest form of the entry-by-entry lookup.
std::int16_t ReferenceCompareOnly(const ByteArray& buffer)
{
    for (const auto& entry : qz::padcode::kTable) {
        if (buffer.size() == 4 && buffer[0] == 0 && buffer[1] == (entry.keyCode >> 8)
            && buffer[2] == (entry.keyCode & 0xFF) && buffer[3] == 0) {
            return entry.pad;
        }
    }
    return -1;
}

// A spread of code reports: every table entry in turn (hits).
std::vector<ByteArray> HitReports()
{
    std::vector<ByteArray> reports;
    for (const auto& entry : qz::padcode::kTable) {
        reports.push_back(qz::test::CodeBuffer(entry.keyCode));
    }
    return reports;
}

void BM_ParseCodeReportHit(benchmark::State& state)
{
    const auto reports = HitReports();
    std::size_t i = 0;
    for (auto _ : state) {
        qz::TransceiverData record;
        record.Parse(reports[i]);
        benchmark::DoNotOptimize(record.Remote());
        i = (i + 1) % reports.size();
    }
}
BENCHMARK(BM_ParseCodeReportHit);

void BM_ParseCodeReportMiss(benchmark::State& state)
{
    const ByteArray report = qz::test::CodeBuffer(21); // a gap in the table
    for (auto _ : state) {
        qz::TransceiverData record;
        record.Parse(report);
        benchmark::DoNotOptimize(record.Remote());
    }
}
BENCHMARK(BM_ParseCodeReportMiss);

void BM_ParseFramedReport(benchmark::State& state)
{
    const ByteArray report = qz::test::FrameBuffer(5, qz::test::kA);
    for (auto _ : state) {
        qz::TransceiverData record;
        record.Parse(report);
        benchmark::DoNotOptimize(record.Remote());
    }
}
BENCHMARK(BM_ParseFramedReport);

void BM_ReferenceWalkHit(benchmark::State& state)
{
    const auto reports = HitReports();
    std::size_t i = 0;
    for (auto _ : state) {
        std::string button;
        benchmark::DoNotOptimize(ReferenceCodeLookup(reports[i], button));
        i = (i + 1) % reports.size();
    }
}
BENCHMARK(BM_ReferenceWalkHit);

void BM_ReferenceWalkMiss(benchmark::State& state)
{
    const ByteArray report = qz::test::CodeBuffer(21); // a gap in the table
    for (auto _ : state) {
        std::string button;
        benchmark::DoNotOptimize(ReferenceCodeLookup(report, button));
    }
}
BENCHMARK(BM_ReferenceWalkMiss);

void BM_ReferenceCompareOnlyHit(benchmark::State& state)
{
    const auto reports = HitReports();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReferenceCompareOnly(reports[i]));
        i = (i + 1) % reports.size();
    }
}
BENCHMARK(BM_ReferenceCompareOnlyHit);

} // namespace

BENCHMARK_MAIN();
