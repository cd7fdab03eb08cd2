#include "probe/core/event_objects.h"

#include "probe/core/hex.h"
#include "probe/core/report_record.h"
#include "probe/core/round_ranking.h"

namespace qz::probe {

Json ReportObject(const ReportRecord& record)
{
    Json object;
    if (record.press) {
        object["event"] = "press";
    }
    object["time_ms"] = record.timeMs;
    object["raw"] = HexCompact(record.raw);
    object["pad"] = record.press ? Json(record.pad) : Json(nullptr);
    object["button"] = record.press ? Json(record.button) : Json(nullptr);
    return object;
}

Json ConnectedObject(double timeMs, const std::string& node, std::uint16_t productId)
{
    Json object;
    object["event"] = "connected";
    object["time_ms"] = timeMs;
    object["node"] = node;
    object["model"] = ModelName(productId);
    return object;
}

Json UnpluggedObject(double timeMs, const std::string& node)
{
    Json object;
    object["event"] = "unplugged";
    object["time_ms"] = timeMs;
    object["node"] = node;
    return object;
}

Json RoundObject(const Round& round)
{
    Json ranking = Json::array();
    for (const RankedPress& press : round.ranking) {
        Json place;
        place["pad"] = press.pad;
        place["button"] = press.button;
        place["delay_ms"] = press.delayMs;
        ranking.push_back(std::move(place));
    }
    Json object;
    object["event"] = "round";
    object["round"] = round.number;
    object["ranking"] = std::move(ranking);
    return object;
}

} // namespace qz::probe
