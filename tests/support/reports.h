#pragma once

// Input reports of a press, built from the pad and the button, for the tests
// and benchmarks. Each report comes in three lengths, one per place it meets
// our code:
//   ...Data:   the data bytes the transceiver sends (it numbers no reports),
//              as a hidraw node, uhid or umockdev carries them;
//   ...Report: report ID 0 and the data bytes, as a read delivers them
//              (FakeHidDevice::QueueReport);
//   ...Buffer: the report and one spare byte, as it lies in the report buffer
//              (TransceiverData::Parse).

#include "decode/pad_code_table.h"
#include "decode/transceiver_data.h"

#include <algorithm>
#include <cstdint>

namespace qz::test {

// The key byte of a 0x1003 frame; 6 to 255 all read as "ERROR".
enum FrameKey : std::uint8_t { kPowered = 0, kD = 1, kC = 2, kB = 3, kA = 4, kBuzz = 5, kError = 6 };

// The frame of the 0x1003 model, 8 data bytes: start byte 0xFA, length 7 (the
// checksum is the 7th byte counted from the report ID), reserved 0, pad byte,
// key byte, checksum (XOR of the five bytes before it), two padding bytes.
// Pad byte rule: a pad that is a multiple of ten travels as the pad minus ten
// (10 as 0, 260 as 250). Pads 1 to 260.
inline ByteArray FrameData(int pad, FrameKey key)
{
    const auto padByte = static_cast<std::uint8_t>(pad % 10 == 0 ? pad - 10 : pad);
    ByteArray data {0xFA, 0x07, 0x00, padByte, key, 0x00, 0x00, 0x00};
    data[5] = static_cast<std::uint8_t>(data[0] ^ data[1] ^ data[2] ^ data[3] ^ data[4]);
    return data;
}

// The code report of the 0x1001 model, 2 data bytes: the button's key code
// (the pad code table's rule), high byte first. Pads 1 to 80, BUZZ on 1 to 30.
inline ByteArray CodeData(std::uint16_t keyCode)
{
    return ByteArray {static_cast<std::uint8_t>(keyCode >> 8), static_cast<std::uint8_t>(keyCode & 0xFF)};
}
inline ByteArray CodeData(int pad, padcode::Key key)
{
    return CodeData(padcode::KeyCode(pad, key));
}

// Report ID 0 before the data bytes.
inline ByteArray WithReportId(const ByteArray& data)
{
    ByteArray report(data.size() + 1, 0x00);
    std::copy(data.begin(), data.end(), report.begin() + 1);
    return report;
}

inline ByteArray FrameReport(int pad, FrameKey key)
{
    return WithReportId(FrameData(pad, key));
}
inline ByteArray FrameBuffer(int pad, FrameKey key)
{
    ByteArray buffer = FrameReport(pad, key);
    buffer.push_back(0x00);
    return buffer;
}

inline ByteArray CodeReport(int pad, padcode::Key key)
{
    return WithReportId(CodeData(pad, key));
}
inline ByteArray CodeBuffer(std::uint16_t keyCode)
{
    ByteArray buffer = WithReportId(CodeData(keyCode));
    buffer.push_back(0x00);
    return buffer;
}
inline ByteArray CodeBuffer(int pad, padcode::Key key)
{
    return CodeBuffer(padcode::KeyCode(pad, key));
}

} // namespace qz::test
