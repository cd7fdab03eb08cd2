#pragma once

#include "probe/serve/web_server.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz::probe {

// Who may fetch the page of `serve` and open its WebSocket. Any web page that
// the user visits can make the browser send requests to a local port, so
// every request is checked:
//   - Host must be one of the names served (127.0.0.1, [::1], localhost, the
//     --listen address) with the port: a site whose name was made to point
//     at this computer (DNS rebinding) is refused;
//   - a request from anywhere but loopback must carry the token (?token=);
//   - an upgrade's Origin, when there is one, must be one of the page's own
//     origins or one allowed, exactly: scheme, host and port. "null" (file
//     pages, sandboxed frames) never is. A request without Origin comes from
//     a program, not a browser.
class AccessRules {
public:
    // `listen`: the --listen address as WebServer::AddressText writes it,
    // empty without one. `token`: what a request from outside loopback must
    // carry; empty, nothing from outside is let in. `allowedOrigins`: as
    // ParseAllowedOrigin gives them.
    AccessRules(std::uint16_t port, std::string listen, std::string token, std::vector<std::string> allowedOrigins);

    enum class Route { Page, Upgrade, Refused };
    struct Verdict {
        Route route = Route::Refused;
        int status = 403; // for Refused
        std::string reason; // for Refused: one line for the body
        std::vector<std::pair<std::string, std::string>> headers; // for Refused: Allow, Upgrade
    };
    Verdict Judge(const RequestHead& head) const;

    // The page's URL at an address listened on (as AddressText writes it),
    // with the token where one is needed.
    std::string PageUrl(const std::string& address) const;

private:
    std::uint16_t port_;
    std::string listen_;
    std::string token_;
    std::vector<std::string> hosts_; // Host values accepted, in lower case
    std::vector<std::string> origins_; // Origin values accepted, in lower case
};

// An --allow-origin argument as it is compared: scheme and host in lower
// case, without the scheme's default port; or why it cannot be allowed.
struct AllowedOrigin {
    std::optional<std::string> origin;
    std::string problem;
};
AllowedOrigin ParseAllowedOrigin(std::string_view text);

// A token of 128 random bits, as 32 hexadecimal digits.
std::string NewToken();

} // namespace qz::probe
