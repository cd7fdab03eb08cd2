#pragma once

#include "probe/serve/access_rules.h"
#include "probe/serve/web_server.h"

namespace qz::probe {

// The built-in page of `serve` (data/serve/page.html, built in): the last
// presses, the round's ranking with a button that closes the round, and a
// pad field with the four LED commands. Nothing is loaded from elsewhere, and
// its Content-Security-Policy allows its own inline script and style (by
// their hashes) and connections to its own origin, and no framing.
HttpAnswer PageAnswer();

// How `serve` answers a request: the page, the upgrade, or the refusal with
// its status and one line that says why.
HttpAnswer AnswerFor(const AccessRules::Verdict& verdict);

} // namespace qz::probe
