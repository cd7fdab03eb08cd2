#pragma once

// An emulated-input (EIS) server of the tests' own, on libeis, in a thread
// of its own: one seat that offers a keyboard whose keymap is compiled from
// layout names, as a compositor's keyboard carries the layout in force. It
// reads every key event a client sends through xkbcommon's state machine
// into text, as the compositor would. And the ei sink as a client of such a
// server, or of a compositor's.

#include "keyboard/ei/ei_keyboard.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qz::test {

class EisServer {
public:
    struct Keyboard {
        std::string layout = "us"; // xkb layout names, "us,de" for two groups
        bool sendKeymap = true; // without: the device carries none, the server reads keys with `layout`
    };
    // What arrived since the last look.
    struct Received {
        std::string text; // what the key presses typed
        std::vector<std::uint16_t> pressed; // the key codes of the presses
        bool keyDown = false; // a key is still down
        int starts = 0; // start-emulating requests, since the server started
        int outside = 0; // key events while not emulating or not resumed (a client bug), since then
    };
    // Lock (Caps Lock) among the locked modifiers: the second of the core
    // modifiers, which every XKB keymap keeps in that place.
    static constexpr std::uint32_t kCapsLockMask = 1u << 1;

    // nullptr when libeis or the keymap fails; `why` says why.
    static std::unique_ptr<EisServer> Start(const Keyboard& keyboard, std::string& why);
    ~EisServer();
    EisServer(const EisServer&) = delete;
    EisServer& operator=(const EisServer&) = delete;

    // A new client connection: the fd for ei_setup_backend_fd (the caller
    // owns it), -1 on failure.
    int NewClient();

    // Each of these has been sent when it returns.
    // Removes the keyboard and adds one with another keymap, as a
    // compositor does when the layout changes.
    void ReplaceKeyboard(const Keyboard& keyboard);
    // The keyboard's locked modifiers (XKB mask) and group, applied to the
    // server's own state and, with `tell`, sent to the client (KWin 6.3
    // switches layouts without telling).
    void SendModifiers(std::uint32_t locked, std::uint32_t group, bool tell = true);
    void Pause();
    void Resume();
    void DisconnectClients();

    // Takes what arrived, once the text has at least `length` bytes or the
    // time is up (at once with 0).
    Received Take(std::size_t length = 0, std::chrono::milliseconds within = std::chrono::milliseconds(0));

private:
    struct State;
    explicit EisServer(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// The ei sink on a connection to an EIS server, once its keyboard takes
// keys; nullptr, with `why`, when that did not come within 5 s.
std::unique_ptr<EiKeyboard> ConnectEiKeyboard(int fd, KeyLayout& fallback, std::string& why);
// Reads the sink's connection until it is in `state`; false when the time ran out.
bool DispatchUntil(EiKeyboard& keyboard, EiKeyboard::State state, std::chrono::milliseconds within);

} // namespace qz::test
