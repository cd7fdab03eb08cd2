#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qz {

// A report in or out: bytes indexed from 0; the last index is size() - 1.
using ByteArray = std::vector<std::uint8_t>;

// XOR of elements 1 to count of buffer; 0 when count is below 1.
// Throws Error::OutOfRange when count reaches past the buffer's last index.
std::uint8_t XorChecksum(std::int16_t count, const ByteArray& buffer);

// The record of one press as the transceiver reported it.
class TransceiverData {
public:
    std::int16_t Remote() const { return remote_; }
    void SetRemote(std::int16_t remote) { remote_ = remote; }

    const std::string& Button() const { return button_; }
    void SetButton(std::string button) { button_ = std::move(button); }

    // Decodes one input report as it lies in the report buffer (report ID at
    // index 0, one spare byte at the end). A four-byte buffer is a code
    // report, anything else a framed report. On success Remote is the pad
    // (1 or more) and Button its text; otherwise Remote is -1 and Button keeps
    // what it held.
    void Parse(const ByteArray& buffer);

private:
    void ParseCodeReport(const ByteArray& buffer);
    void ParseFramedReport(const ByteArray& buffer);

    std::int16_t remote_ = -1;
    std::string button_;
};

} // namespace qz
