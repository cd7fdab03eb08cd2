#pragma once

#include "probe/check/check_layout.h"

#include <memory>
#include <string>
#include <vector>

namespace qz::probe {

// The terminal `check` draws on, through ncurses: the controlling terminal
// (/dev/tty), so that standard output stays free for the table printed at
// the end. Colour only where the terminal has it and NO_COLOR is not set.
// The owner waits on InputFd() and takes SIGWINCH itself (then Resize()).
class CheckTerminal {
public:
    // Opens the controlling terminal; nullptr, and why in `why`, when there
    // is none.
    static std::unique_ptr<CheckTerminal> Open(std::string& why);
    ~CheckTerminal();
    CheckTerminal(const CheckTerminal&) = delete;
    CheckTerminal& operator=(const CheckTerminal&) = delete;

    // Takes the whole terminal; false, and why, when its type ($TERM) is
    // unknown.
    bool Start(std::string& why);
    // Gives the terminal back as it was. Also done at destruction.
    void End();

    int InputFd() const { return inFd_; }
    int Width() const;
    int Height() const;

    enum class Key { Quit, PageUp, PageDown, Redraw };
    // The keys typed since the last look, without waiting.
    std::vector<Key> TakeKeys();
    // Learns the terminal's new size (after SIGWINCH).
    void Resize();
    void Paint(const std::vector<Span>& spans);

private:
    CheckTerminal() = default;

    int fd_ = -1;
    int inFd_ = -1;
    struct Files;
    std::unique_ptr<Files> files_;
    bool started_ = false;
    bool colour_ = false;
};

} // namespace qz::probe
