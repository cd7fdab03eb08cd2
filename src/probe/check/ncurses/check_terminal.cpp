#include "probe/check/ncurses/check_terminal.h"

#include <fcntl.h>
#include <ncurses.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qz::probe {

namespace {

constexpr int kCtrlL = 12;

// Colour pairs, one per hue.
enum Pair : short { kGreen = 1, kRed, kCyan, kYellow };

chtype Attributes(Tone tone, bool colour)
{
    const auto hue = [colour](Pair pair, chtype without) { return colour ? COLOR_PAIR(pair) : without; };
    switch (tone) {
    case Tone::Plain:
        return A_NORMAL;
    case Tone::Title:
        return A_BOLD;
    case Tone::Alert:
        return A_BOLD | hue(kYellow, A_REVERSE);
    case Tone::Seen:
    case Tone::Mark:
        return A_BOLD | hue(kGreen, A_NORMAL);
    case Tone::Unseen:
    case Tone::Missing:
    case Tone::Hint:
        return A_DIM;
    case Tone::Powered:
        return A_BOLD | hue(kCyan, A_NORMAL);
    case Tone::Error:
        return A_BOLD | hue(kRed, A_REVERSE);
    }
    return A_NORMAL;
}

bool NoColourWanted()
{
    // https://no-color.org: set to anything but the empty text, no colour.
    const char* noColor = std::getenv("NO_COLOR");
    return noColor != nullptr && noColor[0] != '\0';
}

} // namespace

struct CheckTerminal::Files {
    std::FILE* in = nullptr;
    std::FILE* out = nullptr;
    SCREEN* screen = nullptr;
};

std::unique_ptr<CheckTerminal> CheckTerminal::Open(std::string& why)
{
    const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("there is no terminal to draw on (/dev/tty: ") + std::strerror(errno) + ")";
        return nullptr;
    }
    // Copies of the descriptor are used, not the one open() gave: a preload
    // library that stands in for devices (umockdev, in the tests) knows that
    // one by its number and would answer the size queries in the terminal's
    // place.
    std::unique_ptr<CheckTerminal> terminal(new CheckTerminal);
    terminal->fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    terminal->inFd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    ::close(fd);
    if (terminal->fd_ < 0 || terminal->inFd_ < 0) {
        why = std::string("the terminal cannot be used (") + std::strerror(errno) + ")";
        return nullptr;
    }
    terminal->files_ = std::make_unique<Files>();
    return terminal;
}

CheckTerminal::~CheckTerminal()
{
    End();
    if (files_ && files_->screen != nullptr) {
        delscreen(files_->screen);
    }
    // The streams own the descriptors once made.
    if (files_ && files_->in != nullptr) {
        std::fclose(files_->in);
    } else if (inFd_ >= 0) {
        ::close(inFd_);
    }
    if (files_ && files_->out != nullptr) {
        std::fclose(files_->out);
    } else if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool CheckTerminal::Start(std::string& why)
{
    const char* type = std::getenv("TERM");
    if (type == nullptr || type[0] == '\0') {
        why = "the terminal's type is unknown (TERM is not set)";
        return false;
    }
    files_->out = ::fdopen(fd_, "w");
    files_->in = ::fdopen(inFd_, "r");
    if (files_->out == nullptr || files_->in == nullptr) {
        why = std::string("the terminal cannot be used: ") + std::strerror(errno);
        return false;
    }
    files_->screen = newterm(type, files_->out, files_->in);
    if (files_->screen == nullptr) {
        why = std::string("the terminal type '") + type + "' (TERM) is unknown to ncurses";
        return false;
    }
    set_term(files_->screen);
    started_ = true;
    cbreak(); // Ctrl+C still interrupts, as everywhere
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);
    colour_ = has_colors() && !NoColourWanted();
    if (colour_) {
        start_color();
        use_default_colors();
        init_pair(kGreen, COLOR_GREEN, -1);
        init_pair(kRed, COLOR_WHITE, COLOR_RED);
        init_pair(kCyan, COLOR_CYAN, -1);
        init_pair(kYellow, COLOR_YELLOW, -1);
    }
    return true;
}

void CheckTerminal::End()
{
    if (started_) {
        endwin();
        started_ = false;
    }
}

int CheckTerminal::Width() const
{
    return started_ ? COLS : 0;
}

int CheckTerminal::Height() const
{
    return started_ ? LINES : 0;
}

std::vector<CheckTerminal::Key> CheckTerminal::TakeKeys()
{
    std::vector<Key> keys;
    if (!started_) {
        return keys;
    }
    for (int key = getch(); key != ERR; key = getch()) {
        switch (key) {
        case 'q':
        case 'Q':
            keys.push_back(Key::Quit);
            break;
        case KEY_NPAGE:
        case ' ':
            keys.push_back(Key::PageDown);
            break;
        case KEY_PPAGE:
            keys.push_back(Key::PageUp);
            break;
        case kCtrlL:
            keys.push_back(Key::Redraw);
            break;
        case KEY_RESIZE:
            Resize();
            keys.push_back(Key::Redraw);
            break;
        default:
            break;
        }
    }
    return keys;
}

void CheckTerminal::Resize()
{
    winsize size {};
    if (started_ && ::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
        resize_term(size.ws_row, size.ws_col);
    }
    if (started_) {
        clearok(curscr, TRUE);
    }
}

void CheckTerminal::Paint(const std::vector<Span>& spans)
{
    if (!started_) {
        return;
    }
    erase();
    for (const Span& span : spans) {
        attrset(Attributes(span.tone, colour_));
        // The bottom-right cell is written too, though curses says ERR then.
        mvaddnstr(span.row, span.column, span.text.c_str(), static_cast<int>(span.text.size()));
    }
    attrset(A_NORMAL);
    refresh();
}

} // namespace qz::probe
