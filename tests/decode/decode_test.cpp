#include "common/error.h"
#include "decode/pad_code_table.h"
#include "decode/transceiver_data.h"

#include "reports.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace qz {
namespace {

using padcode::Key;
using test::CodeBuffer;

// A sane framed report in the report buffer (9-byte input report plus the
// spare byte): pad 5, key A, checksum at index 6. Each test changes one thing.
ByteArray SaneFrame()
{
    return test::FrameBuffer(5, test::kA);
}

ByteArray WithChecksum(ByteArray frame)
{
    const std::uint8_t length = frame[2];
    frame[length - 1u] = XorChecksum(static_cast<std::int16_t>(length - 2), frame);
    return frame;
}

TEST(TransceiverData, NewRecordHoldsNoPress)
{
    const TransceiverData record;
    EXPECT_EQ(record.Remote(), -1);
    EXPECT_EQ(record.Button(), "");
}

// The table is built from the key code rule; check it against rows written
// out by hand from the kit's code chart, so that a slip in the rule shows.
TEST(PadCodeTable, MatchesTheChartRows)
{
    struct Row {
        int pad;
        std::uint16_t a, b, c, d, buzz;
    };
    const Row rows[] = {
        {1, 0x080, 0x076, 0x06C, 0x062, 0x01},
        {9, 0x088, 0x07E, 0x074, 0x06A, 0x09},
        {10, 0x07F, 0x075, 0x06B, 0x061, 0x0A},
        {11, 0x0BC, 0x0B2, 0x0A8, 0x09E, 0x0B},
        {20, 0x0BB, 0x0B1, 0x0A7, 0x09D, 0x14},
        {21, 0x134, 0x12A, 0x120, 0x116, 0x1B},
        {30, 0x133, 0x129, 0x11F, 0x115, 0x24},
        {31, 0x0F8, 0x0EE, 0x0E4, 0x0DA, 0},
        {39, 0x100, 0x0F6, 0x0EC, 0x0E2, 0},
        {40, 0x0F7, 0x0ED, 0x0E3, 0x0D9, 0},
        {41, 0x170, 0x166, 0x15C, 0x152, 0},
        {60, 0x1AB, 0x1A1, 0x197, 0x18D, 0},
        {61, 0x1E8, 0x1DE, 0x1D4, 0x1CA, 0},
        {70, 0x1E7, 0x1DD, 0x1D3, 0x1C9, 0},
        {71, 0x044, 0x03A, 0x030, 0x026, 0},
        {80, 0x043, 0x039, 0x02F, 0x025, 0},
    };
    for (const auto& row : rows) {
        const std::uint16_t codes[] = {row.a, row.b, row.c, row.d, row.buzz};
        for (int j = 0; j < 5; ++j) {
            if (codes[j] == 0) {
                continue;
            }
            const auto key = static_cast<Key>(j);
            const auto& entry = padcode::kTable[padcode::EntryNumber(row.pad, key) - 1];
            EXPECT_EQ(entry.keyCode, codes[j]) << "pad " << row.pad << " button " << j;
            EXPECT_EQ(entry.pad, row.pad);
            EXPECT_EQ(entry.key, key);
        }
    }
}

TEST(PadCodeTable, EveryEntryDecodesToItself)
{
    for (const auto& entry : padcode::kTable) {
        TransceiverData record;
        record.Parse(CodeBuffer(entry.keyCode));
        EXPECT_EQ(record.Remote(), entry.pad) << "key code " << entry.keyCode;
        EXPECT_EQ(record.Button(), padcode::ButtonText(entry.key)) << "key code " << entry.keyCode;
    }
}

// Walks every 16-bit key code: exactly the 350 table codes decode, the gaps
// of the chart do not, and nothing yields BUZZ above pad 30 or a pad above 80.
TEST(PadCodeTable, OnlyTableCodesDecode)
{
    int decoded = 0;
    for (std::uint32_t code = 0; code <= 0xFFFF; ++code) {
        TransceiverData record;
        record.Parse(CodeBuffer(static_cast<std::uint16_t>(code)));
        if (record.Remote() == -1) {
            continue;
        }
        ++decoded;
        EXPECT_GE(record.Remote(), 1);
        EXPECT_LE(record.Remote(), 80);
        if (record.Button() == "BUZZ") {
            EXPECT_LE(record.Remote(), 30);
        }
    }
    EXPECT_EQ(decoded, 350);
    const std::uint16_t gaps[] = {0, 21, 26, 77, 96, 137, 156, 197, 216, 257, 276, 317, 336, 377, 396, 437, 456, 497};
    for (auto code : gaps) {
        TransceiverData record;
        record.Parse(CodeBuffer(code));
        EXPECT_EQ(record.Remote(), -1) << "key code " << code;
    }
}

// Report samples with their expected decode, kept as data.
TEST(TransceiverData, DecodesTheSampleReports)
{
    std::ifstream file(QZ_TEST_DATA_DIR "/reports.txt");
    ASSERT_TRUE(file) << "missing " QZ_TEST_DATA_DIR "/reports.txt";
    std::string line;
    int samples = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream in(line);
        std::vector<std::string> words;
        for (std::string word; in >> word;) {
            words.push_back(word);
        }
        ASSERT_GE(words.size(), 3u) << line;
        ByteArray bytes;
        for (std::size_t i = 0; i + 2 < words.size(); ++i) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(words[i], nullptr, 16)));
        }
        const int pad = std::stoi(words[words.size() - 2]);
        const std::string button = words.back() == "-" ? "previous" : words.back();

        TransceiverData record;
        record.SetButton("previous");
        record.Parse(bytes);
        EXPECT_EQ(record.Remote(), pad) << line;
        EXPECT_EQ(record.Button(), button) << line;
        ++samples;
    }
    EXPECT_GT(samples, 40);
}

TEST(FramedReport, PadByteRule)
{
    for (int p = 0; p <= 255; ++p) {
        auto frame = SaneFrame();
        frame[4] = static_cast<std::uint8_t>(p);
        TransceiverData record;
        record.Parse(WithChecksum(frame));
        EXPECT_EQ(record.Remote(), p % 10 != 0 ? p : p + 10) << "pad byte " << p;
    }
}

TEST(FramedReport, KeyByteRule)
{
    const char* const texts[] = {"POWERED", "D", "C", "B", "A", "BUZZ"};
    for (int k = 0; k <= 255; ++k) {
        auto frame = SaneFrame();
        frame[5] = static_cast<std::uint8_t>(k);
        TransceiverData record;
        record.Parse(WithChecksum(frame));
        EXPECT_EQ(record.Remote(), 5);
        EXPECT_EQ(record.Button(), k <= 5 ? texts[k] : "ERROR") << "key byte " << k;
    }
}

// Any single byte changed among those the frame test covers, with the
// checksum byte left alone, must fail the test.
TEST(FramedReport, EverySingleByteCorruptionIsRejected)
{
    // (The length byte is left out: changing it moves the checksum index.)
    for (std::size_t index : {1u, 3u, 4u, 5u, 6u}) {
        for (int delta = 1; delta <= 255; ++delta) {
            auto frame = SaneFrame();
            frame[index] = static_cast<std::uint8_t>(frame[index] ^ delta);
            TransceiverData record;
            record.SetButton("B");
            record.Parse(frame);
            EXPECT_EQ(record.Remote(), -1) << "index " << index << " xor " << delta;
            EXPECT_EQ(record.Button(), "B");
        }
    }
}

TEST(FramedReport, BytesOutsideTheFrameAreIgnored)
{
    auto frame = SaneFrame();
    frame[0] = 0x55; // report ID: not examined
    frame[7] = 0xAA;
    frame[9] = 0xBB; // the spare byte past the report
    TransceiverData record;
    record.Parse(frame);
    EXPECT_EQ(record.Remote(), 5);
    EXPECT_EQ(record.Button(), "A");
}

// Reports that would point outside the buffer are a clean "no press": no
// read beyond the last index (the sanitizer build checks that too).
TEST(FramedReport, ShortBuffersAndWildLengthsDecodeToNoPress)
{
    for (std::size_t size = 0; size <= 12; ++size) {
        if (size == 4) {
            continue; // the code report
        }
        for (int length = 0; length <= 255; ++length) {
            ByteArray frame(size, 0);
            const auto sane = SaneFrame();
            std::copy_n(sane.begin(), std::min(size, sane.size()), frame.begin());
            if (size > 2) {
                frame[2] = static_cast<std::uint8_t>(length);
            }
            TransceiverData record;
            record.SetButton("kept");
            record.Parse(frame);
            const bool fits = size >= 6 && length >= 1 && static_cast<std::size_t>(length) <= size;
            if (!fits) {
                EXPECT_EQ(record.Remote(), -1) << "size " << size << " length " << length;
                EXPECT_EQ(record.Button(), "kept");
            }
        }
    }
}

TEST(FramedReport, FourBytePrefixOfALongerBufferIsNotLookedUp)
{
    ByteArray five {0x00, 0x00, 0x80, 0x00, 0x00};
    TransceiverData record;
    record.Parse(five);
    EXPECT_EQ(record.Remote(), -1);
}

TEST(TransceiverData, FailedDecodeKeepsTheButton)
{
    TransceiverData record;
    record.Parse(CodeBuffer(0x0076)); // pad 1, B
    ASSERT_EQ(record.Button(), "B");
    record.Parse(CodeBuffer(21));
    EXPECT_EQ(record.Remote(), -1);
    EXPECT_EQ(record.Button(), "B");
    auto bad = SaneFrame();
    bad[3] = 1;
    record.Parse(bad);
    EXPECT_EQ(record.Remote(), -1);
    EXPECT_EQ(record.Button(), "B");
}

TEST(TransceiverData, ZeroBufferDecodesToNoPressInEitherForm)
{
    for (std::size_t size : {4u, 10u, 1u, 64u}) {
        TransceiverData record;
        record.Parse(ByteArray(size, 0));
        EXPECT_EQ(record.Remote(), -1) << size;
    }
}

TEST(XorChecksum, CoversElementsOneToCount)
{
    const ByteArray buffer {0xFF, 0x01, 0x02, 0x04, 0x08};
    EXPECT_EQ(XorChecksum(0, buffer), 0);
    EXPECT_EQ(XorChecksum(-1, buffer), 0);
    EXPECT_EQ(XorChecksum(-32768, buffer), 0);
    EXPECT_EQ(XorChecksum(1, buffer), 0x01);
    EXPECT_EQ(XorChecksum(4, buffer), 0x0F);
    EXPECT_EQ(XorChecksum(0, ByteArray {}), 0);
}

TEST(XorChecksum, CountBeyondTheBufferIsOutOfRange)
{
    const ByteArray buffer {0, 1, 2, 3, 4};
    try {
        (void)XorChecksum(5, buffer);
        FAIL() << "expected an out-of-range error";
    } catch (const Error& error) {
        EXPECT_EQ(error.Number(), 9);
        EXPECT_FALSE(error.Text().empty());
    }
    EXPECT_THROW((void)XorChecksum(1, ByteArray {0}), Error);
    EXPECT_THROW((void)XorChecksum(32767, buffer), Error);
}

} // namespace
} // namespace qz
