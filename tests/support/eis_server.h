#pragma once

// An emulated-input (EIS) server of the tests' own, on libeis, in a thread
// of its own: one seat that offers a keyboard whose keymap is compiled from
// layout names, as a compositor's keyboard carries the layout in force. It
// records every key event a client sends and reads it through xkbcommon's
// state machine into text, as the compositor would.

#include <chrono>
#include <cstdint>
#include <functional>
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

    // nullptr when libeis or the keymap fails; `why` says why.
    static std::unique_ptr<EisServer> Start(const Keyboard& keyboard, std::string& why);
    ~EisServer();
    EisServer(const EisServer&) = delete;
    EisServer& operator=(const EisServer&) = delete;

    // A new client connection: the fd for ei_setup_backend_fd (the caller
    // owns it), -1 on failure.
    int NewClient();

    // Each of these returns once the server has done it.
    // Removes the keyboard and adds one with another keymap, as a
    // compositor does when the layout changes.
    void ReplaceKeyboard(const Keyboard& keyboard);
    // The keyboard's locked modifiers (XKB mask) and group, sent to the
    // client and applied to the server's own state.
    void SendModifiers(std::uint32_t locked, std::uint32_t group);
    void Pause();
    void Resume();
    // Disconnects every client.
    void DisconnectClients();

    // The XKB mask of a modifier ("Lock", "Mod2") in the current keymap.
    std::uint32_t ModMask(const std::string& name);

    // What arrived: the text the key presses typed so far (taken), whether a
    // key is still down, the sequence numbers of start-emulating in order,
    // and key events that came while the device was not emulating or not
    // resumed (a client bug), key codes of presses.
    std::string TakeText();
    bool AnyKeyDown();
    std::vector<std::uint32_t> Sequences();
    int KeysOutsideEmulation();
    std::vector<std::uint16_t> TakePressedCodes();
    bool ClientConnected();

    // Takes the text once at least `length` bytes of it arrived, or when
    // the time is up.
    std::string WaitForText(std::size_t length, std::chrono::milliseconds within);

private:
    struct State;
    explicit EisServer(std::unique_ptr<State> state);
    void Run(std::function<void()> job);
    void Wake();
    std::unique_ptr<State> state_;
};

} // namespace qz::test
