#include "probe/serve/serve_texts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qz::probe {

namespace {

const char* DepartureName(Departure why)
{
    switch (why) {
    case Departure::Left:
        return "left";
    case Departure::Refused:
        return "refused";
    case Departure::Dropped:
        return "dropped";
    case Departure::Ending:
        return "ending";
    }
    return "left";
}

std::string Count(std::size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

std::optional<std::string> ListenAddressRefusal(const std::string& given, const std::optional<std::string>& written)
{
    const std::string advice = " Give this computer's address on that network, as 'ip address' lists it, such as "
                               "192.168.1.20. Try 'qz470-probe serve --help'.";
    if (!written) {
        return "--listen: '" + given + "' is not an IP address." + advice;
    }
    if (*written == "0.0.0.0" || *written == "::") {
        return "--listen: " + *written
            + " is every address, and the page, its token and the check of each request's Host go by one name."
            + advice;
    }
    return std::nullopt;
}

ListenPlan PlanListening(const std::string& listen)
{
    ListenPlan plan;
    plan.addresses.emplace_back("127.0.0.1");
    if (listen == "::1") {
        plan.addresses.push_back(listen);
    } else {
        plan.ifAvailable.emplace_back("::1"); // not there without IPv6
        if (!listen.empty() && listen != "127.0.0.1") {
            plan.addresses.push_back(listen);
        }
    }
    return plan;
}

std::string ListenFailureText(const WebServer::ListenFailure& failure, std::uint16_t port)
{
    const std::string portText = std::to_string(port);
    switch (failure.error) {
    case EADDRINUSE:
        return "port " + portText + " is in use on " + failure.address
            + " (by another qz470-probe serve?). Choose another with --port, or --port 0 for a free one.";
    case EADDRNOTAVAIL:
        return failure.address + " is not an address of this computer. Give one that 'ip address' lists.";
    case EACCES:
        return "port " + portText + " may be used by root only. Choose one from 1024 up with --port.";
    default:
        return "cannot listen on " + failure.address + " at port " + portText + ": " + std::strerror(failure.error)
            + ".";
    }
}

std::string ServeSummary(double elapsedMs, const ServeCounts& counts)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f s", elapsedMs / 1000.0);
    std::string summary = std::string("served ") + seconds + ": "
        + Count(counts.presses + counts.notPresses, "report", "reports") + " ("
        + Count(counts.presses, "press", "presses") + ", " + std::to_string(counts.notPresses) + " not a press)";
    if (counts.unplugs > 0) {
        summary += ", unplugged " + Count(counts.unplugs, "time", "times");
    }
    summary += ", " + Count(counts.roundsClosed, "round", "rounds") + ", "
        + Count(counts.ledCommands, "LED command", "LED commands") + ", " + Count(counts.clients, "client", "clients")
        + ".";
    return summary;
}

Json HelloObject(const std::optional<std::string>& model, const std::optional<std::string>& node)
{
    Json hello;
    hello["event"] = "hello";
    hello["connected"] = model.has_value();
    hello["model"] = model ? Json(*model) : Json(nullptr);
    hello["node"] = node ? Json(*node) : Json(nullptr);
    return hello;
}

Json ClientObject(double timeMs, ClientId client, const std::string& peer)
{
    Json log;
    log["event"] = "client";
    log["time_ms"] = timeMs;
    log["client"] = client;
    log["peer"] = peer;
    return log;
}

Json CommandObject(double timeMs, ClientId client, std::string_view message, const Json& answer)
{
    Json log;
    log["event"] = "command";
    log["time_ms"] = timeMs;
    log["client"] = client;
    log["message"] = std::string(message);
    log["answer"] = answer;
    return log;
}

Json ClientGoneObject(double timeMs, ClientId client, Departure why)
{
    Json log;
    log["event"] = "client_gone";
    log["time_ms"] = timeMs;
    log["client"] = client;
    log["why"] = DepartureName(why);
    return log;
}

} // namespace qz::probe
