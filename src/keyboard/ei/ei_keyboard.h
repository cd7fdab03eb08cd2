#pragma once

#include "keyboard/key_layout.h"
#include "keyboard/key_sink.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct ei;
struct ei_device;
struct ei_event;
struct ei_ping;
struct xkb_context;
struct xkb_keymap;

namespace qz {

// Keys typed through a compositor's emulated-input server (EIS), with libei:
// the sink, and the layout that the server's keyboard carries.
//
// The client binds the keyboard capability on the server's seat. The server
// then adds a keyboard device with the keymap it uses now, sends the
// keyboard's modifier state and group with it, and resumes the device when
// it may be used. Keys are looked up on that keymap in that group, so what
// is typed follows the layout in force, with no X server involved. A new
// keymap comes as the device removed and added again.
//
// Events are sent only between DEVICE_RESUMED and DEVICE_PAUSED, the first
// no sooner than kSettleTime after the keyboard was added: the first
// key after a resume starts emulating with a sequence number that rises on
// every start, and every key event is followed by a frame at ei_now. Flush()
// is a round trip to the server (ei_ping); going, the object flushes, stops
// emulating and only then disconnects, so that the last keys arrive.
//
// What the server announces (a new keymap, another group) is taken at the
// next synchronised lookup, which hands out a new table; a table handed out
// never changes, so a character's key events come from the table of its
// lookup. A synchronised lookup first waits, up to kResumeWait, for a
// keyboard that is being added again or is paused, so that the first key
// after a layout switch is neither lost nor looked up on the old keymap;
// once it waited in vain, it waits again only after the next resume.
//
// Single-threaded: the owner calls Dispatch() when Fd() is readable; the
// sink reads the connection by itself too, while it waits for a round trip.
class EiKeyboard final : public KeySink, public KeyLayout {
public:
    enum class State {
        kConnecting, // no keyboard device yet, or it was removed
        kPaused, // a keyboard that may not be used now
        kResumed, // a keyboard that takes keys
        kGone, // the server disconnected, or never accepted us
    };

    // How long the sink waits for the server's answer to a round trip.
    static constexpr std::chrono::milliseconds kRoundTripTimeout {1000};
    // How long a new keyboard stands before its first key. The compositor
    // announces a seat's new keyboard to its clients, which then bind it:
    // on mutter 48, a key sent at once after the first resume was lost in 3
    // of 6 runs, and in 1 of 8 after a round trip to the server; 100 ms after
    // the device was added, none in 8 (wev, the only client).
    static constexpr std::chrono::milliseconds kSettleTime {200};
    // How long a lookup waits for a keyboard that is not resumed (one just
    // added again with a new keymap, say) before its keys are dropped.
    static constexpr std::chrono::milliseconds kResumeWait {500};

    // A client on `fd`, the client end of a connection to an EIS server,
    // which it takes over. `fallback` is the layout used while the server's
    // keyboard carries no keymap of its own. nullptr when libei refuses the
    // connection; `why` then says why.
    static std::unique_ptr<EiKeyboard> Connect(int fd, KeyLayout& fallback, std::string& why);
    ~EiKeyboard() override;

    EiKeyboard(const EiKeyboard&) = delete;
    EiKeyboard& operator=(const EiKeyboard&) = delete;

    // Readable when the server has sent something: then call Dispatch().
    int Fd() const;
    // Reads and handles what the server sent, without blocking.
    void Dispatch();
    State Current() const { return state_; }
    // The group in use, as the desktop tells it by other means, for a server
    // that sends no modifiers event when the layout switches (KWin 6.3). The
    // latest word counts: this, or the group of the server's last modifiers
    // event, whichever came later.
    void SetDesktopGroup(std::uint32_t group) { group_ = group; }

    void Send(std::uint16_t code, bool down) override;
    void Flush() override;
    // Caps Lock and Num Lock from the locked modifiers the server sent;
    // nullopt before it sent any, and for Scroll Lock, which XKB keeps in no
    // modifier.
    std::optional<bool> LockOn(LockKey lock) override;

    std::shared_ptr<const KeyTable> Keys(bool sync) override;
    bool KeyDown(std::uint16_t /*code*/) override { return false; }

private:
    EiKeyboard(struct ei* context, KeyLayout& fallback);
    void Handle(struct ei_event* event);
    void DeviceAdded(struct ei_device* device);
    void DropDevice();
    // Waits for the answer to one round trip, handling what comes meanwhile.
    void RoundTrip();
    // Reads the connection until `done` or the time is up.
    template <typename Done> void DispatchUntil(Done done, std::chrono::milliseconds within);
    void StopEmulating();

    struct ei* ei_;
    KeyLayout& fallback_;
    xkb_context* xkb_ = nullptr;
    State state_ = State::kConnecting;
    struct ei_device* device_ = nullptr;
    bool emulating_ = false;
    std::chrono::steady_clock::time_point added_ {}; // when the keyboard came
    bool waitedInVain_ = false; // for a resume, since the last one
    std::uint32_t sequence_ = 0;
    bool unflushed_ = false; // keys sent since the last round trip
    struct ei_ping* ping_ = nullptr; // the round trip waited for
    bool pongSeen_ = false;
    // The keymap the table was built from, and one the server sent since.
    xkb_keymap* keymap_ = nullptr;
    xkb_keymap* pendingKeymap_ = nullptr;
    bool keymapChanged_ = false; // a device came since, with pendingKeymap_ (or none)
    std::uint32_t group_ = 0; // the server's group, from its modifiers events
    std::optional<std::uint32_t> lockedMods_; // nullopt: the server sent no modifiers yet
    std::shared_ptr<const KeyTable> table_; // of keymap_ in tableGroup_
    std::uint32_t tableGroup_ = 0;
};

} // namespace qz
