#include "keyboard/x11_key_injector.h"

#include <thread>

namespace qz {

struct X11KeyInjector::State { };

X11KeyInjector::X11KeyInjector()
    : X11KeyInjector(nullptr)
{
}
X11KeyInjector::X11KeyInjector(const char*)
    : state_(std::make_unique<State>())
{
}
X11KeyInjector::~X11KeyInjector() = default;

bool X11KeyInjector::Connected() const
{
    return false;
}
std::int16_t X11KeyInjector::KeyForCharacter(std::uint8_t)
{
    return kNoKey;
}
std::uint32_t X11KeyInjector::ScanCode(std::int32_t)
{
    return 0;
}
std::uint32_t X11KeyInjector::KeyCharacter(std::int32_t)
{
    return 0;
}
void X11KeyInjector::SendKeyEvent(std::uint8_t, std::uint8_t, std::uint32_t) { }
std::int16_t X11KeyInjector::KeyState(std::int32_t)
{
    return 0;
}
void X11KeyInjector::Pause(std::chrono::milliseconds duration)
{
    std::this_thread::sleep_for(duration);
}
void X11KeyInjector::ProcessPendingEvents() { }

} // namespace qz
