#pragma once

#include "probe/core/style.h"

#include <cstdio>
#include <string>

namespace qz::probe {

// Where a command's lines go: results on standard output, messages (errors,
// advice, summaries) on standard error, one line each.
class Output {
public:
    Output(std::FILE* out, std::FILE* err, Style style);

    // Standard output and error of the process: line-buffered also when
    // piped, so that every line leaves the moment it is printed; colour only
    // on a terminal, never when NO_COLOR is set or TERM is "dumb".
    static Output ForProcess();

    const Style& OutStyle() const { return style_; }

    // One line on standard output. false once standard output is broken:
    // the reader has gone (EPIPE) or the write failed.
    bool Line(const std::string& line);
    // One line on standard error.
    void Error(const std::string& line);

    bool Broken() const { return brokenError_ != 0; }
    // The reader went away: a normal end for a command that runs until stopped.
    bool ReaderGone() const;
    int BrokenError() const { return brokenError_; }

private:
    std::FILE* out_;
    std::FILE* err_;
    Style style_;
    int brokenError_ = 0;
};

// Whether to colour text written to `stream`, given the environment.
bool WantColour(std::FILE* stream);

} // namespace qz::probe
