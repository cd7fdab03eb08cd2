#include "ui/tester_keys.h"

#include "keyboard/uinput/uinput_key_sink.h"
#include "keyboard/x11/xtest_key_sink.h"

#if QZ_HAVE_EI
#include "keyboard/ei/ei_keyboard.h"
#include "keyboard/portal/kde_layouts.h"
#include "keyboard/portal/remote_desktop_portal.h"

#include <QSocketNotifier>
#include <QTimer>
#endif

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qz {

namespace {

constexpr const char* kProgram = "qz470-tester";

#if QZ_HAVE_EI
constexpr bool kEiBuilt = true;
#else
constexpr bool kEiBuilt = false;
#endif

void SayLine(const std::string& line)
{
    if (!line.empty()) {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

} // namespace

#if QZ_HAVE_EI

// The ei sink's way in: the portal, asked at the first tick, and the EIS
// connection it grants, watched on the event loop until the keyboard is
// ready; then the owner's injector types through it.
class EiSession {
public:
    // A keyboard must be offered within this time of the connection.
    static constexpr int kReadyWithinMs = 3000;

    EiSession(TesterKeys& owner, const QString& busAddress)
        : owner_(owner)
        , busAddress_(busAddress)
        , portal_(busAddress, QStringLiteral("qz470-tester"), RestoreTokenFile::FromEnvironment())
    {
        ready_.setSingleShot(true);
        QObject::connect(&ready_, &QTimer::timeout, &ready_, [this] {
            Give("the desktop offered no keyboard within " + std::to_string(kReadyWithinMs / 1000) + " seconds");
        });
    }

    // Does the desktop offer it at all? Forced, it is tried all the same.
    void Probe(bool forced)
    {
        if (forced) {
            state_ = State::kOffered;
            return;
        }
        state_ = State::kProbing;
        portal_.Probe([this](bool offered, const std::string& why) {
            if (state_ != State::kProbing) {
                return;
            }
            if (!offered) {
                Give(why);
                return;
            }
            state_ = State::kOffered;
            if (!parent_.isNull()) {
                Ask();
            }
        });
    }

    void FirstTick(const QString& parentWindow)
    {
        parent_ = parentWindow.isNull() ? QStringLiteral("") : parentWindow;
        if (state_ == State::kOffered) {
            Ask();
        }
    }

private:
    enum class State { kProbing, kOffered, kAsking, kConnecting, kReady, kOver };

    void Ask()
    {
        state_ = State::kAsking;
        Pending(true);
        portal_.Request(
            parent_,
            [this](RemoteDesktopPortal::Result result) {
                Pending(false);
                switch (result.outcome) {
                case RemoteDesktopPortal::Outcome::kGranted:
                    Connect(result.fd);
                    break;
                case RemoteDesktopPortal::Outcome::kRefused:
                    End(false);
                    break;
                case RemoteDesktopPortal::Outcome::kUnavailable:
                    Give(result.why);
                    break;
                }
            },
            [this] { End(true); });
    }

    void Pending(bool pending)
    {
        if (owner_.onPermissionPending) {
            owner_.onPermissionPending(pending);
        }
    }

    void Connect(int fd)
    {
        std::string why;
        keyboard_ = EiKeyboard::Connect(fd, owner_.layout_, why);
        if (!keyboard_) {
            Give(why);
            return;
        }
        state_ = State::kConnecting;
        // On Plasma, the layout in use as KWin switches it.
        if (KdeLayouts::OnPlasma(std::getenv("XDG_CURRENT_DESKTOP"))) {
            layouts_ = std::make_unique<KdeLayouts>(busAddress_, [this](unsigned group) {
                if (keyboard_) {
                    keyboard_->SetDesktopGroup(group);
                }
            });
        }
        watch_ = std::make_unique<QSocketNotifier>(keyboard_->Fd(), QSocketNotifier::Read);
        QObject::connect(watch_.get(), &QSocketNotifier::activated, watch_.get(), [this] { Readable(); });
        ready_.start(kReadyWithinMs);
        Readable();
    }

    void Readable()
    {
        keyboard_->Dispatch();
        const EiKeyboard::State now = keyboard_->Current();
        if (state_ == State::kConnecting && now == EiKeyboard::State::kResumed) {
            ready_.stop();
            state_ = State::kReady;
            owner_.injector_.Switch(*keyboard_, *keyboard_);
        } else if (now == EiKeyboard::State::kGone) {
            // Before the keyboard came, a failed step; after, the desktop
            // ended the session (its Closed signal may come later or never).
            if (state_ == State::kReady) {
                End(true);
            } else {
                Give("the desktop's emulated-input server closed the connection");
            }
        }
    }

    // The portal cannot be had: the next sink, as the choice goes on.
    void Give(const std::string& why)
    {
        if (state_ == State::kOver) {
            return;
        }
        Stop();
        owner_.ChooseFallback(why);
        keyboard_.reset();
    }

    // The person refused, or the desktop ended the permission.
    void End(bool closedLater)
    {
        if (state_ == State::kOver) {
            return;
        }
        Stop();
        owner_.Refused(closedLater);
        keyboard_.reset();
    }

    // Once the owner types through another sink, the keyboard may go: it
    // flushes, stops emulating and disconnects.
    void Stop()
    {
        state_ = State::kOver;
        ready_.stop();
        if (watch_) {
            watch_->setEnabled(false);
            // Called from its own signal, maybe: it goes once that returns.
            watch_.release()->deleteLater();
        }
    }

    TesterKeys& owner_;
    const QString busAddress_;
    RemoteDesktopPortal portal_;
    State state_ = State::kProbing;
    QString parent_; // null until the first tick
    QTimer ready_;
    std::unique_ptr<EiKeyboard> keyboard_;
    std::unique_ptr<KdeLayouts> layouts_;
    std::unique_ptr<QSocketNotifier> watch_;
};

#else

class EiSession { };

#endif

TesterKeys::TesterKeys(std::function<void()> processPendingEvents, std::shared_ptr<DesktopNotifier> notifier,
    [[maybe_unused]] const QString& busAddress)
    : request_(ReadKeySinkRequest(
        std::getenv("QZ470_KEY_SINK"), std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY"), kEiBuilt))
    , notifier_(std::move(notifier))
    , injector_(layout_, none_, std::move(processPendingEvents))
{
#if QZ_HAVE_EI
    if (WantsEi(request_)) {
        ei_ = std::make_unique<EiSession>(*this, busAddress);
        ei_->Probe(request_.forced.has_value());
        return;
    }
#endif
    ChooseFallback({});
}

TesterKeys::~TesterKeys()
{
    // Held keys are let go into the sink they went down on, before it goes.
    injector_.Switch(layout_, none_);
}

void TesterKeys::FirstTick([[maybe_unused]] const QString& parentWindow)
{
#if QZ_HAVE_EI
    if (ei_) {
        ei_->FirstTick(parentWindow);
    }
#endif
}

void TesterKeys::ChooseFallback(const std::string& eiWhy)
{
    std::unique_ptr<KeySink> sink;
    const auto open = [&](KeySinkKind kind) -> std::string {
        switch (kind) {
        case KeySinkKind::kEi:
            return eiWhy;
        case KeySinkKind::kUinput: {
            std::string why;
            sink = UinputKeySink::Create(why);
            return sink ? std::string() : why;
        }
        case KeySinkKind::kXTest:
            break;
        }
        if (!layout_.Connected()) {
            return "no X server with the XKB extension could be reached";
        }
        auto xtest = std::make_unique<XTestKeySink>(layout_.Connection());
        if (!xtest->Available()) {
            return "the X server has no XTest extension";
        }
        sink = std::move(xtest);
        return {};
    };
    const KeySinkChoice choice = ChooseKeySink(request_, kProgram, open);
    SayLine(choice.message);
    if (choice.sink && sink) {
        injector_.Switch(layout_, *sink);
        sink_ = std::move(sink);
    } else {
        injector_.Switch(layout_, none_);
    }
}

void TesterKeys::Refused(bool closedLater)
{
    if (refused_) {
        return;
    }
    refused_ = true;
    injector_.Switch(layout_, none_);
    const std::string line = DescribeTypingRefused(kProgram, closedLater);
    SayLine(line);
    if (notifier_) {
        notifier_->Notify(TypingRefusedNotice(line, kProgram, closedLater));
    }
}

} // namespace qz
