#include "probe/list/list_format.h"

#include "probe/core/hex.h"
#include "probe/core/json_line.h"
#include "probe/core/message.h"

#include <cstring>

namespace qz::probe {

namespace {

const char* ReasonWord(HidLayer::OpenStatus status)
{
    switch (status) {
    case HidLayer::OpenStatus::PermissionDenied:
        return "permission";
    case HidLayer::OpenStatus::Gone:
        return "gone";
    case HidLayer::OpenStatus::Opened:
    case HidLayer::OpenStatus::Failed:
        break;
    }
    return "other";
}

std::string WhyNot(const OpenFailure& failure)
{
    switch (failure.status) {
    case HidLayer::OpenStatus::PermissionDenied:
        return "no permission";
    case HidLayer::OpenStatus::Gone:
        return "it disappeared";
    case HidLayer::OpenStatus::Opened:
    case HidLayer::OpenStatus::Failed:
        break;
    }
    return std::strerror(failure.errorCode);
}

std::string What(const InterfaceEntry& entry)
{
    const HidLayer::Interface& interface = entry.interface;
    if (entry.transceiver) {
        return "transceiver " + ModelName(interface.productId);
    }
    return "other HID interface, "
        + (interface.idsKnown ? UsbIds(interface.vendorId, interface.productId) : std::string("USB IDs unknown"));
}

std::string Lengths(const InterfaceEntry& entry)
{
    if (!entry.lengthsKnown) {
        return "report lengths unknown";
    }
    return "input " + std::to_string(entry.lengths.input) + " bytes, output " + std::to_string(entry.lengths.output)
        + " bytes";
}

std::string Access(const InterfaceEntry& entry, const Style& style)
{
    if (!entry.transceiver) {
        return style.Paint("not opened", Style::Colour::Quiet);
    }
    if (entry.openable) {
        return style.Paint("can be opened", Style::Colour::Good);
    }
    return style.Paint("cannot be opened: " + WhyNot(*entry.failure), Style::Colour::Bad);
}

} // namespace

std::vector<std::string> ListLines(const Survey& survey, const Style& style)
{
    std::vector<std::string> lines;
    for (const InterfaceEntry& entry : survey.entries) {
        lines.push_back(
            entry.interface.path + "  " + What(entry) + "  " + Lengths(entry) + "  " + Access(entry, style));
    }
    if (const std::string others = OtherInterfacesLine(survey); !others.empty()) {
        lines.push_back(others);
    }
    return lines;
}

std::string OtherInterfacesLine(const Survey& survey)
{
    if (survey.otherCount == 0) {
        return {};
    }
    return std::to_string(survey.otherCount)
        + (survey.otherCount == 1 ? " other HID interface, not a transceiver"
                                  : " other HID interfaces, not transceivers")
        + " (qz470-probe list --all lists " + (survey.otherCount == 1 ? "it" : "them") + ")";
}

std::vector<std::string> ListJsonLines(const Survey& survey)
{
    std::vector<std::string> lines;
    for (const InterfaceEntry& entry : survey.entries) {
        const HidLayer::Interface& interface = entry.interface;
        Json object;
        object["node"] = interface.path;
        object["transceiver"] = entry.transceiver;
        object["model"] = entry.transceiver ? Json(ModelName(interface.productId)) : Json(nullptr);
        object["vendor_id"] = interface.idsKnown ? Json(interface.vendorId) : Json(nullptr);
        object["product_id"] = interface.idsKnown ? Json(interface.productId) : Json(nullptr);
        object["input_length"] = entry.lengthsKnown ? Json(entry.lengths.input) : Json(nullptr);
        object["output_length"] = entry.lengthsKnown ? Json(entry.lengths.output) : Json(nullptr);
        object["openable"] = entry.transceiver ? Json(entry.openable) : Json(nullptr);
        if (entry.failure) {
            object["reason"] = ReasonWord(entry.failure->status);
            object["error"] = std::strerror(entry.failure->errorCode);
            object["advice"] = DescribeOpenFailure(*entry.failure, kProgramName);
        }
        lines.push_back(JsonLine(object));
    }
    return lines;
}

} // namespace qz::probe
