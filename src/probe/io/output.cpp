#include "probe/io/output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace qz::probe {

bool WantColour(std::FILE* stream)
{
    // https://no-color.org: set to anything but the empty text, no colour.
    const char* noColor = std::getenv("NO_COLOR");
    if (noColor != nullptr && noColor[0] != '\0') {
        return false;
    }
    const char* term = std::getenv("TERM");
    if (term == nullptr || std::strcmp(term, "dumb") == 0) {
        return false;
    }
    return ::isatty(::fileno(stream)) == 1;
}

Output::Output(std::FILE* out, std::FILE* err, Style style)
    : out_(out)
    , err_(err)
    , style_(style)
{
}

Output Output::ForProcess()
{
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    return Output(stdout, stderr, Style(WantColour(stdout)));
}

bool Output::Line(const std::string& line)
{
    if (brokenError_ != 0) {
        return false;
    }
    errno = 0;
    if (std::fputs(line.c_str(), out_) < 0 || std::fputc('\n', out_) == EOF || std::fflush(out_) != 0) {
        brokenError_ = errno != 0 ? errno : EIO;
        return false;
    }
    return true;
}

void Output::Error(const std::string& line)
{
    std::fputs(line.c_str(), err_);
    std::fputc('\n', err_);
    std::fflush(err_);
}

bool Output::ReaderGone() const
{
    return brokenError_ == EPIPE;
}

} // namespace qz::probe
