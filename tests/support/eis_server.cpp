#include "eis_server.h"

#include "xkb_decoder.h"

#include <libeis.h>
#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <utility>

namespace qz::test {

using namespace std::chrono_literals;

// The server's thread reads the clients; the test's thread sends and looks.
// Both hold the mutex while they touch libeis or the state.
struct EisServer::State {
    struct eis* eis = nullptr;
    std::thread thread;
    std::atomic<bool> ending {false};
    std::mutex mutex;

    xkb_context* xkb = nullptr;
    xkb_keymap* keymap = nullptr;
    std::unique_ptr<XkbDecoder> decoder;
    Keyboard keyboard;
    std::vector<eis_client*> clients;
    eis_seat* seat = nullptr;
    eis_device* device = nullptr;
    bool resumed = false;
    bool emulating = false;
    std::uint32_t locked = 0;
    std::uint32_t group = 0;
    Received received;

    bool Compile(const Keyboard& wanted)
    {
        const xkb_rule_names names {"evdev", "pc105", wanted.layout.c_str(), "", ""};
        xkb_keymap* compiled = xkb_keymap_new_from_names(xkb, &names, XKB_KEYMAP_COMPILE_NO_FLAGS);
        if (compiled == nullptr) {
            return false;
        }
        decoder.reset();
        xkb_keymap_unref(keymap);
        keymap = compiled;
        keyboard = wanted;
        decoder = std::make_unique<XkbDecoder>(keymap, group);
        decoder->SetLockedAndGroup(locked, group);
        return true;
    }

    void AddKeyboard()
    {
        if (seat == nullptr) {
            return;
        }
        device = eis_seat_new_device(seat);
        eis_device_configure_name(device, "test keyboard");
        eis_device_configure_type(device, EIS_DEVICE_TYPE_VIRTUAL);
        eis_device_configure_capability(device, EIS_DEVICE_CAP_KEYBOARD);
        if (keyboard.sendKeymap) {
            char* text = xkb_keymap_get_as_string(keymap, XKB_KEYMAP_FORMAT_TEXT_V1);
            const std::size_t size = std::char_traits<char>::length(text) + 1;
            const int fd = memfd_create("keymap", MFD_CLOEXEC);
            if (fd >= 0 && write(fd, text, size) == static_cast<ssize_t>(size)) {
                eis_keymap* map = eis_device_new_keymap(device, EIS_KEYMAP_TYPE_XKB, fd, size);
                eis_keymap_add(map);
                eis_keymap_unref(map);
            }
            if (fd >= 0) {
                close(fd);
            }
            free(text);
        }
        eis_device_add(device);
        eis_device_resume(device);
        resumed = true;
        emulating = false;
    }

    void RemoveKeyboard()
    {
        if (device != nullptr) {
            eis_device_remove(device);
            eis_device_unref(device);
            device = nullptr;
        }
        resumed = false;
        emulating = false;
    }

    void Handle(eis_event* event)
    {
        switch (eis_event_get_type(event)) {
        case EIS_EVENT_CLIENT_CONNECT: {
            eis_client* client = eis_event_get_client(event);
            clients.push_back(eis_client_ref(client));
            eis_client_connect(client);
            seat = eis_client_new_seat(client, "seat0");
            eis_seat_configure_capability(seat, EIS_DEVICE_CAP_KEYBOARD);
            eis_seat_add(seat);
            break;
        }
        case EIS_EVENT_SEAT_BIND:
            if (eis_event_seat_has_capability(event, EIS_DEVICE_CAP_KEYBOARD) && device == nullptr) {
                AddKeyboard();
            }
            break;
        case EIS_EVENT_DEVICE_CLOSED:
            if (eis_event_get_device(event) == device) {
                RemoveKeyboard();
            }
            break;
        case EIS_EVENT_DEVICE_START_EMULATING:
            // libeis 1.3 reports every sequence number as 0, so only the
            // starts are counted.
            ++received.starts;
            emulating = true;
            break;
        case EIS_EVENT_DEVICE_STOP_EMULATING:
            emulating = false;
            break;
        case EIS_EVENT_KEYBOARD_KEY: {
            const auto code = static_cast<std::uint16_t>(eis_event_keyboard_get_key(event));
            const bool down = eis_event_keyboard_get_key_is_press(event);
            if (!emulating || !resumed) {
                ++received.outside;
            }
            if (down) {
                received.pressed.push_back(code);
            }
            decoder->Key(code, down);
            received.text += decoder->TakeText();
            break;
        }
        case EIS_EVENT_CLIENT_DISCONNECT: {
            eis_client* client = eis_event_get_client(event);
            eis_client_disconnect(client);
            if (device != nullptr && eis_device_get_client(device) == client) {
                eis_device_unref(device);
                device = nullptr;
            }
            if (seat != nullptr && eis_seat_get_client(seat) == client) {
                eis_seat_unref(seat);
                seat = nullptr;
            }
            break;
        }
        default:
            break;
        }
    }

    void Loop()
    {
        pollfd readable {eis_get_fd(eis), POLLIN, 0};
        while (!ending) {
            poll(&readable, 1, 20);
            std::lock_guard lock(mutex);
            eis_dispatch(eis);
            while (eis_event* event = eis_get_event(eis)) {
                Handle(event);
                eis_event_unref(event);
            }
        }
    }
};

std::unique_ptr<EisServer> EisServer::Start(const Keyboard& keyboard, std::string& why)
{
    auto state = std::make_unique<State>();
    state->xkb = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (state->xkb == nullptr || !state->Compile(keyboard)) {
        why = "the keymap \"" + keyboard.layout + "\" does not compile (is xkb-data installed?)";
        return nullptr;
    }
    state->eis = eis_new(nullptr);
    if (state->eis == nullptr || eis_setup_backend_fd(state->eis) != 0) {
        why = "libeis could not set up a server";
        return nullptr;
    }
    State* raw = state.get();
    state->thread = std::thread([raw] { raw->Loop(); });
    return std::unique_ptr<EisServer>(new EisServer(std::move(state)));
}

EisServer::EisServer(std::unique_ptr<State> state)
    : state_(std::move(state))
{
}

EisServer::~EisServer()
{
    state_->ending = true;
    state_->thread.join();
    state_->RemoveKeyboard();
    if (state_->seat != nullptr) {
        eis_seat_unref(state_->seat);
    }
    for (eis_client* client : state_->clients) {
        eis_client_unref(client);
    }
    eis_unref(state_->eis);
    state_->decoder.reset();
    xkb_keymap_unref(state_->keymap);
    xkb_context_unref(state_->xkb);
}

int EisServer::NewClient()
{
    std::lock_guard lock(state_->mutex);
    const int fd = eis_backend_fd_add_client(state_->eis);
    return fd < 0 ? -1 : fd;
}

void EisServer::ReplaceKeyboard(const Keyboard& keyboard)
{
    std::lock_guard lock(state_->mutex);
    state_->RemoveKeyboard();
    state_->Compile(keyboard);
    state_->AddKeyboard();
}

void EisServer::SendModifiers(std::uint32_t locked, std::uint32_t group, bool tell)
{
    std::lock_guard lock(state_->mutex);
    state_->locked = locked;
    state_->group = group;
    state_->decoder->SetLockedAndGroup(locked, group);
    if (state_->device != nullptr && tell) {
        eis_device_keyboard_send_xkb_modifiers(state_->device, 0, 0, locked, group);
    }
}

void EisServer::Pause()
{
    std::lock_guard lock(state_->mutex);
    if (state_->device != nullptr) {
        eis_device_pause(state_->device);
        state_->resumed = false;
        state_->emulating = false;
    }
}

void EisServer::Resume()
{
    std::lock_guard lock(state_->mutex);
    if (state_->device != nullptr) {
        eis_device_resume(state_->device);
        state_->resumed = true;
    }
}

void EisServer::DisconnectClients()
{
    std::lock_guard lock(state_->mutex);
    for (eis_client* client : state_->clients) {
        eis_client_disconnect(client);
    }
}

EisServer::Received EisServer::Take(std::size_t length, std::chrono::milliseconds within)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        {
            std::lock_guard lock(state_->mutex);
            Received& received = state_->received;
            if (received.text.size() >= length || std::chrono::steady_clock::now() >= deadline) {
                return {std::exchange(received.text, {}), std::exchange(received.pressed, {}),
                    state_->decoder->AnyKeyDown(), received.starts, received.outside};
            }
        }
        std::this_thread::sleep_for(5ms);
    }
}

bool DispatchUntil(EiKeyboard& keyboard, EiKeyboard::State state, std::chrono::milliseconds within)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (keyboard.Current() != state && std::chrono::steady_clock::now() < deadline) {
        pollfd readable {keyboard.Fd(), POLLIN, 0};
        poll(&readable, 1, 50);
        keyboard.Dispatch();
    }
    return keyboard.Current() == state;
}

std::unique_ptr<EiKeyboard> ConnectEiKeyboard(int fd, KeyLayout& fallback, std::string& why)
{
    auto keyboard = EiKeyboard::Connect(fd, fallback, why);
    if (keyboard && !DispatchUntil(*keyboard, EiKeyboard::State::kResumed, 5s)) {
        why = "the EIS server offered no keyboard within 5 s";
        return nullptr;
    }
    return keyboard;
}

} // namespace qz::test
