#include "probe/serve/access_rules.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <random>

namespace qz::probe {

namespace {

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// An address as a URL and a Host header name it: IPv6 in brackets.
std::string UrlHost(const std::string& address)
{
    return address.find(':') != std::string::npos ? "[" + address + "]" : address;
}

bool IsLoopback(const std::string& address)
{
    return address == "::1" || address.rfind("127.", 0) == 0;
}

// Compares in a time that does not depend on where the texts differ, so that
// the token cannot be guessed a digit at a time.
bool SameSecret(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

// The value of `name` in the query of a request target, if it is there.
std::optional<std::string_view> QueryValue(std::string_view target, std::string_view name)
{
    const std::size_t mark = target.find('?');
    if (mark == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view query = target.substr(mark + 1);
    while (!query.empty()) {
        const std::size_t end = std::min(query.find('&'), query.size());
        const std::string_view pair = query.substr(0, end);
        if (pair.size() > name.size() && pair.substr(0, name.size()) == name && pair[name.size()] == '=') {
            return pair.substr(name.size() + 1);
        }
        query.remove_prefix(std::min(end + 1, query.size()));
    }
    return std::nullopt;
}

bool Contains(const std::vector<std::string>& list, const std::string& value)
{
    return std::find(list.begin(), list.end(), value) != list.end();
}

AccessRules::Verdict Refuse(int status, std::string reason)
{
    AccessRules::Verdict verdict;
    verdict.status = status;
    verdict.reason = std::move(reason);
    return verdict;
}

} // namespace

AccessRules::AccessRules(
    std::uint16_t port, std::string listen, std::string token, std::vector<std::string> allowedOrigins)
    : port_(port)
    , listen_(std::move(listen))
    , token_(std::move(token))
    , origins_(std::move(allowedOrigins))
{
    std::vector<std::string> names {"127.0.0.1", "[::1]", "localhost"};
    if (!listen_.empty()) {
        names.push_back(Lower(UrlHost(listen_)));
    }
    const std::string withPort = std::string(":").append(std::to_string(port_));
    for (const std::string& name : names) {
        hosts_.push_back(name + withPort);
        origins_.push_back("http://" + name + (port_ == 80 ? "" : withPort));
        if (port_ == 80) {
            hosts_.push_back(name); // browsers leave out the default port
        }
    }
}

AccessRules::Verdict AccessRules::Judge(const RequestHead& head) const
{
    if (!head.host) {
        return Refuse(400, "A request needs a Host header.");
    }
    if (!Contains(hosts_, Lower(*head.host))) {
        return Refuse(403, "This server does not answer to the name " + *head.host + ".");
    }
    if (!head.fromLoopback) {
        const auto token = QueryValue(head.target, "token");
        if (token_.empty() || !token || !SameSecret(*token, token_)) {
            return Refuse(403, "From another computer, the address needs the token that qz470-probe printed.");
        }
    }
    const std::string_view target = head.target;
    const std::string_view path = target.substr(0, std::min(target.find('?'), target.size()));
    if (path != "/" && path != "/ws") {
        return Refuse(404, "There is nothing at " + std::string(path) + ": the page is at / and the WebSocket at /ws.");
    }
    if (head.method != "GET") {
        Verdict verdict = Refuse(405, "Only GET is answered here.");
        verdict.headers.emplace_back("Allow", "GET");
        return verdict;
    }
    if (path == "/") {
        Verdict page;
        page.route = Route::Page;
        return page;
    }
    if (!head.upgrade) {
        Verdict verdict = Refuse(426, "/ws is a WebSocket: connect to it with one.");
        verdict.headers.emplace_back("Upgrade", "websocket");
        return verdict;
    }
    if (head.origin && !Contains(origins_, Lower(*head.origin))) {
        return Refuse(403, "Pages from " + *head.origin + " may not connect (qz470-probe serve --allow-origin).");
    }
    Verdict upgrade;
    upgrade.route = Route::Upgrade;
    return upgrade;
}

std::string AccessRules::PageUrl(const std::string& address) const
{
    std::string url = "http://" + UrlHost(address)
        + (port_ == 80 ? std::string() : std::string(":").append(std::to_string(port_))) + "/";
    if (!IsLoopback(address) && !token_.empty()) {
        url += "?token=" + token_;
    }
    return url;
}

AllowedOrigin ParseAllowedOrigin(std::string_view text)
{
    AllowedOrigin result;
    if (text == "null") {
        result.problem = "'null' is the origin of file pages and sandboxed frames, which any site can make, so it "
                         "cannot be allowed";
        return result;
    }
    if (text == "*") {
        result.problem = "'*' would let every web site connect: name each origin, such as https://quiz.example.org";
        return result;
    }
    const std::string origin = Lower(text);
    const std::size_t separator = origin.find("://");
    const std::string_view scheme = std::string_view(origin).substr(0, std::min(separator, origin.size()));
    const auto schemeChar
        = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.'; };
    bool valid = separator != std::string::npos && !scheme.empty()
        && std::isalpha(static_cast<unsigned char>(scheme[0])) && std::all_of(scheme.begin(), scheme.end(), schemeChar);
    std::string host;
    std::string_view port;
    if (valid) {
        host = origin.substr(separator + 3);
        // The port follows the last colon that is not inside an IPv6 address.
        const std::size_t close = host.rfind(']');
        const std::size_t colon = host.rfind(':');
        if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
            port = std::string_view(host).substr(colon + 1);
            host = host.substr(0, colon);
        }
        int number = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
        const bool portValid = port.empty()
            || (error == std::errc() && end == port.data() + port.size() && number > 0 && number < 65536);
        valid = portValid && !host.empty() && std::none_of(host.begin(), host.end(), [](char c) {
            return c == '/' || c == '?' || c == '#' || c == '@' || std::isspace(static_cast<unsigned char>(c));
        });
    }
    if (!valid) {
        result.problem = std::string("'").append(text)
            + "' is not an origin: give scheme://host or scheme://host:port, as a browser sends it, such as "
              "https://quiz.example.org";
        return result;
    }
    // A browser leaves out the scheme's default port.
    if ((scheme == "http" && port == "80") || (scheme == "https" && port == "443")) {
        port = {};
    }
    result.origin = std::string(scheme) + "://" + host + (port.empty() ? std::string() : std::string(":").append(port));
    return result;
}

std::string NewToken()
{
    std::random_device random;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        char part[9];
        const auto [end, error] = std::to_chars(part, part + 8, static_cast<std::uint32_t>(random()), 16);
        token += std::string(8 - static_cast<std::size_t>(end - part), '0') + std::string(part, end);
    }
    return token;
}

} // namespace qz::probe
