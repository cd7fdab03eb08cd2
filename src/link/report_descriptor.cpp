#include "link/report_descriptor.h"

#include <algorithm>
#include <limits>
#include <map>
#include <vector>

namespace qz {

namespace {

// Short item prefix: bits 0-1 data size (0, 1, 2 or 4 bytes), bits 2-3 type,
// bits 4-7 tag. The prefix 0xFE starts a long item: data size, long tag, data.
constexpr std::uint8_t kLongItemPrefix = 0xFE;

enum ItemType : std::uint8_t { kMain = 0, kGlobal = 1, kLocal = 2 };

// Main item tags.
constexpr std::uint8_t kInput = 0x8;
constexpr std::uint8_t kOutput = 0x9;

// Global item tags.
constexpr std::uint8_t kReportSize = 0x7;
constexpr std::uint8_t kReportId = 0x8;
constexpr std::uint8_t kReportCount = 0x9;
constexpr std::uint8_t kPush = 0xA;
constexpr std::uint8_t kPop = 0xB;

// Deeper nesting than any real device needs; bounds the memory a hostile
// descriptor can make us use.
constexpr std::size_t kMaxPushDepth = 64;

struct GlobalState {
    std::uint32_t reportSize = 0; // bits per field
    std::uint32_t reportCount = 0; // fields per item
    std::uint32_t reportId = 0; // 0: no Report ID item seen yet
};

std::uint64_t SaturatingAdd(std::uint64_t a, std::uint64_t b)
{
    return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

// Bytes of the longest report, plus the report ID byte; 0 without reports.
std::optional<std::uint16_t> LongestReport(const std::map<std::uint32_t, std::uint64_t>& bitsById)
{
    std::uint64_t longest = 0;
    bool any = false;
    for (const auto& [id, bits] : bitsById) {
        longest = std::max(longest, bits / 8 + (bits % 8 != 0 ? 1 : 0));
        any = true;
    }
    if (!any) {
        return std::uint16_t {0};
    }
    if (longest >= std::numeric_limits<std::uint16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(longest + 1);
}

} // namespace

std::optional<ReportDescriptorInfo> ParseReportDescriptor(std::span<const std::uint8_t> descriptor)
{
    GlobalState global;
    std::vector<GlobalState> stack;
    std::map<std::uint32_t, std::uint64_t> inputBits;
    std::map<std::uint32_t, std::uint64_t> outputBits;
    bool usesReportIds = false;

    std::size_t pos = 0;
    while (pos < descriptor.size()) {
        const std::uint8_t prefix = descriptor[pos];
        if (prefix == kLongItemPrefix) {
            // Long items carry no report layout; skip prefix, size, tag, data.
            if (descriptor.size() - pos < 3) {
                return std::nullopt;
            }
            const std::size_t dataSize = descriptor[pos + 1];
            if (descriptor.size() - pos - 3 < dataSize) {
                return std::nullopt;
            }
            pos += 3 + dataSize;
            continue;
        }
        const std::size_t dataSize = (prefix & 0x3) == 3 ? 4 : (prefix & 0x3);
        const std::uint8_t type = (prefix >> 2) & 0x3;
        const std::uint8_t tag = prefix >> 4;
        if (descriptor.size() - pos - 1 < dataSize) {
            return std::nullopt;
        }
        // Item data is little-endian and unsigned for every item we read.
        std::uint32_t value = 0;
        for (std::size_t i = 0; i < dataSize; ++i) {
            value |= static_cast<std::uint32_t>(descriptor[pos + 1 + i]) << (8 * i);
        }
        pos += 1 + dataSize;

        if (type == kMain && (tag == kInput || tag == kOutput)) {
            // Constant (padding) fields take room in the report like any other.
            auto& bits = tag == kInput ? inputBits[global.reportId] : outputBits[global.reportId];
            bits = SaturatingAdd(bits, static_cast<std::uint64_t>(global.reportSize) * global.reportCount);
        } else if (type == kGlobal) {
            switch (tag) {
            case kReportSize:
                global.reportSize = value;
                break;
            case kReportCount:
                global.reportCount = value;
                break;
            case kReportId:
                // IDs are 1 to 255; the kernel refuses a descriptor with any other.
                if (value == 0 || value > 255) {
                    return std::nullopt;
                }
                global.reportId = value;
                usesReportIds = true;
                break;
            case kPush:
                if (stack.size() >= kMaxPushDepth) {
                    return std::nullopt;
                }
                stack.push_back(global);
                break;
            case kPop:
                if (stack.empty()) {
                    return std::nullopt;
                }
                global = stack.back();
                stack.pop_back();
                break;
            default:
                break;
            }
        }
        // Local items, collections and features do not change report lengths.
    }

    const auto input = LongestReport(inputBits);
    const auto output = LongestReport(outputBits);
    if (!input || !output) {
        return std::nullopt;
    }
    return ReportDescriptorInfo {*input, *output, usesReportIds};
}

} // namespace qz
