#include "decode/press_report.h"

#include "decode/pad_code_table.h"

#include <array>

namespace qz {

namespace {

// Frame data bytes, by index on the wire (one less than in the report
// buffer, which has the report ID at index 0).
constexpr std::size_t kStartIndex = 0; // start byte 0xFA
constexpr std::size_t kLengthIndex = 1; // length byte 7: the checksum is the 7th byte counted from the report ID
constexpr std::size_t kReservedIndex = 2; // 0
constexpr std::size_t kPadIndex = 3; // pad byte P
constexpr std::size_t kKeyIndex = 4; // key byte K
constexpr std::size_t kChecksumIndex = 5; // XOR of the five bytes before it
constexpr std::uint8_t kStartByte = 0xFA;
constexpr std::uint8_t kLengthByte = 7;

// Key byte K of each button, in PressButton order; the decoder reads 0 as
// "POWERED" and 6 to 255 as "ERROR".
constexpr std::array<std::uint8_t, 7> kKeyBytes {4, 3, 2, 1, 5, 0, 6};

// PressButton's first five values are the table's keys, in the same order.
static_assert(static_cast<int>(PressButton::A) == static_cast<int>(padcode::Key::A)
    && static_cast<int>(PressButton::Buzz) == static_cast<int>(padcode::Key::Buzz));

} // namespace

std::string_view PressButtonText(PressButton button)
{
    constexpr std::array<std::string_view, 7> texts {"A", "B", "C", "D", "BUZZ", "POWERED", "ERROR"};
    return texts[static_cast<std::size_t>(button)];
}

std::optional<ByteArray> CodeReportData(int pad, PressButton button)
{
    if (pad < padcode::kFirstPad || pad > padcode::kLastPad || button == PressButton::Powered
        || button == PressButton::Error || (button == PressButton::Buzz && pad > padcode::kLastBuzzPad)) {
        return std::nullopt;
    }
    const std::uint16_t keyCode = padcode::KeyCode(pad, static_cast<padcode::Key>(button));
    return ByteArray {static_cast<std::uint8_t>(keyCode >> 8), static_cast<std::uint8_t>(keyCode & 0xFF)};
}

std::optional<std::uint8_t> FramePadByte(int pad)
{
    const int padByte = pad % 10 == 0 ? pad - 10 : pad;
    if (pad < 1 || padByte > 255) {
        return std::nullopt;
    }
    return static_cast<std::uint8_t>(padByte);
}

std::optional<ByteArray> FrameReportData(int pad, PressButton button)
{
    const std::optional<std::uint8_t> padByte = FramePadByte(pad);
    if (!padByte) {
        return std::nullopt;
    }
    ByteArray data(kFrameReportDataSize, 0x00);
    data[kStartIndex] = kStartByte;
    data[kLengthIndex] = kLengthByte;
    data[kReservedIndex] = 0x00;
    data[kPadIndex] = *padByte;
    data[kKeyIndex] = kKeyBytes[static_cast<std::size_t>(button)];
    for (std::size_t i = kStartIndex; i < kChecksumIndex; ++i) {
        data[kChecksumIndex] ^= data[i];
    }
    return data;
}

} // namespace qz
