#include "eis_server.h"

#include "xkb_decoder.h"

#include <libeis.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace qz::test {

struct EisServer::State {
    struct eis* eis = nullptr;
    int wake = -1; // eventfd: a job is queued, or the thread should end
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> jobs;
    bool ending = false;

    // Only the server's thread touches these (and jobs run there).
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
    std::string text;
    std::vector<std::uint32_t> sequences;
    std::vector<std::uint16_t> pressed;
    int outside = 0;

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
            sequences.push_back(eis_event_emulating_get_sequence(event));
            emulating = true;
            break;
        case EIS_EVENT_DEVICE_STOP_EMULATING:
            emulating = false;
            break;
        case EIS_EVENT_KEYBOARD_KEY: {
            const auto code = static_cast<std::uint16_t>(eis_event_keyboard_get_key(event));
            const bool down = eis_event_keyboard_get_key_is_press(event);
            if (!emulating || !resumed) {
                ++outside;
            }
            if (down) {
                pressed.push_back(code);
            }
            decoder->Key(code, down);
            text += decoder->TakeText();
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
        pollfd fds[2] = {{eis_get_fd(eis), POLLIN, 0}, {wake, POLLIN, 0}};
        for (;;) {
            poll(fds, 2, -1);
            if ((fds[1].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                if (read(wake, &count, sizeof count) < 0) {
                    count = 0; // nothing to read: woken for the socket
                }
            }
            eis_dispatch(eis);
            while (eis_event* event = eis_get_event(eis)) {
                Handle(event);
                eis_event_unref(event);
            }
            std::unique_lock lock(mutex);
            while (!jobs.empty()) {
                std::function<void()> job = std::move(jobs.front());
                jobs.pop_front();
                lock.unlock();
                job();
                lock.lock();
            }
            changed.notify_all();
            if (ending) {
                return;
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
    state->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
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
    {
        std::lock_guard lock(state_->mutex);
        state_->ending = true;
    }
    Wake();
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
    close(state_->wake);
}

void EisServer::Wake()
{
    // An eventfd's counter cannot overflow from our few writes.
    const std::uint64_t one = 1;
    if (write(state_->wake, &one, sizeof one) != sizeof one) {
        std::abort();
    }
}

void EisServer::Run(std::function<void()> job)
{
    bool done = false;
    std::unique_lock lock(state_->mutex);
    state_->jobs.push_back([&job, &done, this] {
        job();
        std::lock_guard inner(state_->mutex);
        done = true;
    });
    Wake();
    state_->changed.wait(lock, [&] { return done; });
}

int EisServer::NewClient()
{
    int fd = -1;
    Run([&] { fd = eis_backend_fd_add_client(state_->eis); });
    return fd < 0 ? -1 : fd;
}

void EisServer::ReplaceKeyboard(const Keyboard& keyboard)
{
    Run([&] {
        state_->RemoveKeyboard();
        state_->Compile(keyboard);
        state_->AddKeyboard();
    });
}

void EisServer::SendModifiers(std::uint32_t locked, std::uint32_t group)
{
    Run([&] {
        state_->locked = locked;
        state_->group = group;
        state_->decoder->SetLockedAndGroup(locked, group);
        if (state_->device != nullptr) {
            eis_device_keyboard_send_xkb_modifiers(state_->device, 0, 0, locked, group);
        }
    });
}

void EisServer::Pause()
{
    Run([&] {
        if (state_->device != nullptr) {
            eis_device_pause(state_->device);
            state_->resumed = false;
            state_->emulating = false;
        }
    });
}

void EisServer::Resume()
{
    Run([&] {
        if (state_->device != nullptr) {
            eis_device_resume(state_->device);
            state_->resumed = true;
        }
    });
}

void EisServer::DisconnectClients()
{
    Run([&] {
        for (eis_client* client : state_->clients) {
            eis_client_disconnect(client);
        }
    });
}

std::uint32_t EisServer::ModMask(const std::string& name)
{
    std::uint32_t mask = 0;
    Run([&] {
        const xkb_mod_index_t index = xkb_keymap_mod_get_index(state_->keymap, name.c_str());
        mask = index == XKB_MOD_INVALID ? 0 : std::uint32_t {1} << index;
    });
    return mask;
}

std::string EisServer::TakeText()
{
    std::string text;
    Run([&] { text = std::exchange(state_->text, {}); });
    return text;
}

bool EisServer::AnyKeyDown()
{
    bool down = false;
    Run([&] { down = state_->decoder->AnyKeyDown(); });
    return down;
}

std::vector<std::uint32_t> EisServer::Sequences()
{
    std::vector<std::uint32_t> sequences;
    Run([&] { sequences = state_->sequences; });
    return sequences;
}

int EisServer::KeysOutsideEmulation()
{
    int outside = 0;
    Run([&] { outside = state_->outside; });
    return outside;
}

std::vector<std::uint16_t> EisServer::TakePressedCodes()
{
    std::vector<std::uint16_t> codes;
    Run([&] { codes = std::exchange(state_->pressed, {}); });
    return codes;
}

bool EisServer::ClientConnected()
{
    bool connected = false;
    Run([&] { connected = state_->seat != nullptr; });
    return connected;
}

std::string EisServer::WaitForText(std::size_t length, std::chrono::milliseconds within)
{
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        bool enough = false;
        Run([&] { enough = state_->text.size() >= length; });
        if (enough || std::chrono::steady_clock::now() >= deadline) {
            return TakeText();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace qz::test
