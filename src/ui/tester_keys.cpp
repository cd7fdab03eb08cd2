#include "ui/tester_keys.h"

#include "keyboard/sink_choice.h"
#include "keyboard/uinput/uinput_key_sink.h"
#include "keyboard/x11/xtest_key_sink.h"

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace qz {

namespace {

std::unique_ptr<KeySink> OpenSink(X11Layout& layout)
{
    std::unique_ptr<KeySink> sink;
    const auto open = [&](KeySinkKind kind) -> std::string {
        if (kind == KeySinkKind::kUinput) {
            std::string why;
            sink = UinputKeySink::Create(why);
            return sink ? std::string() : why;
        }
        if (!layout.Connected()) {
            return "no X server with the XKB extension could be reached";
        }
        auto xtest = std::make_unique<XTestKeySink>(layout.Connection());
        if (!xtest->Available()) {
            return "the X server has no XTest extension";
        }
        sink = std::move(xtest);
        return {};
    };
    const KeySinkRequest request = ReadKeySinkRequest(
        std::getenv("QZ470_KEY_SINK"), std::getenv("XDG_SESSION_TYPE"), std::getenv("WAYLAND_DISPLAY"));
    const KeySinkChoice choice = ChooseKeySink(request, "qz470-tester", open);
    if (!choice.message.empty()) {
        std::fprintf(stderr, "%s\n", choice.message.c_str());
    }
    if (!choice.sink || !sink) {
        return std::make_unique<NoKeySink>();
    }
    return sink;
}

} // namespace

TesterKeys::TesterKeys(std::function<void()> processPendingEvents)
    : sink_(OpenSink(layout_))
    , injector_(layout_, *sink_, std::move(processPendingEvents))
{
}

} // namespace qz
