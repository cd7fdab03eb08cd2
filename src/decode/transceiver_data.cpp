#include "decode/transceiver_data.h"

#include "common/error.h"
#include "decode/pad_code_table.h"

#include <string>

namespace qz {

namespace {

// Framed report, by buffer index (index 0 is the HID report ID, not examined).
constexpr std::size_t kStartIndex = 1; // start byte, must be 0xFA
constexpr std::size_t kLengthIndex = 2; // length byte L: the checksum is at index L-1
constexpr std::size_t kReservedIndex = 3; // must be 0
constexpr std::size_t kPadIndex = 4; // pad byte P
constexpr std::size_t kKeyIndex = 5; // key byte K
constexpr std::uint8_t kStartByte = 0xFA;

// Code report: exactly four bytes, ID 0, key code big-endian at 1..2, index 3 zero.
constexpr std::size_t kCodeReportSize = 4;

// K -> button text; 6 to 255 is "ERROR".
const std::string& FramedButton(std::uint8_t key)
{
    static const std::string texts[] = {"POWERED", "D", "C", "B", "A", "BUZZ"};
    static const std::string error = "ERROR";
    return key < std::size(texts) ? texts[key] : error;
}

} // namespace

std::uint8_t XorChecksum(std::int16_t count, const ByteArray& buffer)
{
    if (count < 1) {
        return 0;
    }
    if (static_cast<std::size_t>(count) >= buffer.size()) {
        throw Error::OutOfRange("checksum count " + std::to_string(count) + " beyond a buffer of "
            + std::to_string(buffer.size()) + " bytes");
    }
    std::uint8_t sum = 0;
    for (std::size_t i = 1; i <= static_cast<std::size_t>(count); ++i) {
        sum ^= buffer[i];
    }
    return sum;
}

void TransceiverData::Parse(const ByteArray& buffer)
{
    if (buffer.size() == kCodeReportSize) {
        ParseCodeReport(buffer);
    } else {
        ParseFramedReport(buffer);
    }
}

void TransceiverData::ParseCodeReport(const ByteArray& buffer)
{
    // The table pattern is (0, key code high, key code low, 0): index 0 (report
    // ID) and index 3 must be zero for any entry to match.
    const padcode::Entry* entry = nullptr;
    if (buffer[0] == 0 && buffer[3] == 0) {
        entry = padcode::Find(static_cast<std::uint16_t>(buffer[1] << 8 | buffer[2]));
    }
    if (entry == nullptr) {
        remote_ = -1;
        return;
    }
    remote_ = entry->pad;
    button_ = padcode::ButtonText(entry->key);
}

void TransceiverData::ParseFramedReport(const ByteArray& buffer)
{
    // A frame needs indices up to the key byte, and a checksum index L-1 that
    // lies inside the buffer; anything shorter fails the frame test.
    if (buffer.size() <= kKeyIndex) {
        remote_ = -1;
        return;
    }
    const std::uint8_t length = buffer[kLengthIndex];
    if (length == 0 || static_cast<std::size_t>(length) - 1 >= buffer.size()) {
        remote_ = -1;
        return;
    }
    const std::uint8_t checksum = buffer[length - 1u];
    const std::uint8_t computed = XorChecksum(static_cast<std::int16_t>(length - 2), buffer);
    if (computed != checksum || buffer[kReservedIndex] != 0 || buffer[kStartIndex] != kStartByte) {
        remote_ = -1;
        return;
    }
    // A pad number that is a multiple of ten travels as the number minus ten.
    const std::uint8_t pad = buffer[kPadIndex];
    remote_ = static_cast<std::int16_t>(pad % 10 != 0 ? pad : pad + 10);
    button_ = FramedButton(buffer[kKeyIndex]);
}

} // namespace qz
