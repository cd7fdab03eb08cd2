#pragma once

#include "link/open_failure.h"

#include <string>

namespace qz {

// A message for the person at the desktop, shown outside the program's
// windows: the program may have been started from a menu, with no terminal to
// read its standard error.
struct Notice {
    std::string summary; // a few words, the title
    std::string body; // what is wrong and what to do

    bool operator==(const Notice&) const = default;
};

// Where the main window sends its notices. A realisation returns at once,
// whatever the desktop does, and stays quiet when it cannot deliver.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    virtual void Notify(const Notice& notice) = 0;
};

// The notices say what the program's line on standard error says, worded by
// the same function, without the program's name in front: the notification
// names the application itself.
Notice OpenFailureNotice(const OpenFailure& failure, std::string_view program);
Notice NoTransceiverNotice(std::string_view program);
// The person refused to let the program type, or the desktop ended that
// permission later (`closedLater`); `line` is the program's line for it.
Notice TypingRefusedNotice(const std::string& line, std::string_view program, bool closedLater);

} // namespace qz
