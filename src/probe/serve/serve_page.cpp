#include "probe/serve/serve_page.h"

#include "serve_page_data.h"

#include <string>

namespace qz::probe {

namespace {

// Every answer: never stored, never sniffed for another type.
void CommonHeaders(HttpAnswer& answer)
{
    answer.headers.emplace_back("X-Content-Type-Options", "nosniff");
    answer.headers.emplace_back("Cache-Control", "no-store");
}

} // namespace

HttpAnswer PageAnswer()
{
    HttpAnswer answer;
    answer.status = 200;
    answer.contentType = "text/html; charset=utf-8";
    answer.body = std::string(embedded::kPage);
    answer.headers.emplace_back("Content-Security-Policy",
        "default-src 'none'; script-src " + std::string(embedded::kScriptHash) + "; style-src "
            + std::string(embedded::kStyleHash)
            + "; connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'");
    // The token of a LAN address is in the page's URL: no Referer carries it on.
    answer.headers.emplace_back("Referrer-Policy", "no-referrer");
    CommonHeaders(answer);
    return answer;
}

HttpAnswer AnswerFor(const AccessRules::Verdict& verdict)
{
    if (verdict.route == AccessRules::Route::Page) {
        return PageAnswer();
    }
    HttpAnswer answer;
    if (verdict.route == AccessRules::Route::Upgrade) {
        answer.upgrade = true;
        return answer;
    }
    answer.status = verdict.status;
    answer.body = verdict.reason + "\n";
    answer.headers = verdict.headers;
    CommonHeaders(answer);
    return answer;
}

} // namespace qz::probe
