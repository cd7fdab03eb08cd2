#include "probe/led/led_command.h"

#include "link/hidraw/hidraw_layer.h"
#include "link/transceiver.h"
#include "probe/core/hex.h"
#include "probe/core/hid_survey.h"
#include "probe/core/json_line.h"
#include "probe/core/led_request.h"
#include "probe/core/message.h"

namespace qz::probe {

int RunLed(const CommonOptions& options, LedCommand command, std::int16_t pad, HidrawLayer& hid, Output& output)
{
    const Selection selection = OpenTransceiver(hid, options.device);
    for (const std::string& line : DescribeSelection(selection)) {
        output.Error(line);
    }
    if (!selection.opened) {
        return ToInt(selection.status);
    }
    const OpenedTransceiver& transceiver = *selection.opened;
    const std::string& node = transceiver.interface.path;
    const LedBytes led = BuildLedBytes(command, pad, Transceiver::LedFormatOf(transceiver.interface.productId), node,
        transceiver.lengthsKnown, transceiver.lengths);
    if (!led.ok) {
        hid.Close(transceiver.handle);
        output.Error(led.error);
        return ToInt(ExitStatus::Failed);
    }
    const bool written = hid.WriteReport(transceiver.handle, led.bytes);
    hid.Close(transceiver.handle);
    if (!written) {
        output.Error(Message("writing the LED report to the transceiver at " + node
            + " failed; it may have been unplugged. Plug it in and try again."));
        return ToInt(ExitStatus::Failed);
    }
    const std::string model = ModelName(transceiver.interface.productId);
    if (options.json) {
        Json object;
        object["node"] = node;
        object["model"] = model;
        object["command"] = LedCommandName(command);
        object["pad"] = pad;
        object["sent"] = HexCompact(led.bytes);
        output.Line(JsonLine(object));
    } else {
        output.Line("sent " + LedCommandName(command) + " for " + (pad == 0 ? "all pads" : "pad " + std::to_string(pad))
            + " to the transceiver " + model + " at " + node + ": " + HexSpaced(led.bytes));
    }
    return ToInt(ExitStatus::Success);
}

} // namespace qz::probe
