// Any byte sequence from the device decodes to a press or to a clean "no
// press", never an out-of-bounds read. The decode also has to agree with the
// report format's rules, checked here independently.
#include "common/error.h"
#include "decode/transceiver_data.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const qz::ByteArray buffer(data, data + size);
    qz::TransceiverData record;
    record.SetButton("unchanged");
    record.Parse(buffer);

    if (record.Remote() == -1) {
        if (record.Button() != "unchanged") {
            std::abort(); // a failed decode must leave Button alone
        }
        return 0;
    }
    const bool codeReport = size == 4;
    const int limit = codeReport ? 80 : 260;
    if (record.Remote() < 1 || record.Remote() > limit) {
        std::abort();
    }
    if (!codeReport && (size < 6 || data[1] != 0xFA || data[3] != 0)) {
        std::abort();
    }
    if (codeReport && record.Button() == "BUZZ" && record.Remote() > 30) {
        std::abort();
    }
    try {
        // The checksum helper never reads past the buffer either.
        const auto count = static_cast<std::int16_t>(size > 0 ? data[0] : 0);
        (void)qz::XorChecksum(count, buffer);
    } catch (const qz::Error& e) {
        if (e.Number() != 9) {
            std::abort();
        }
    }
    return 0;
}
