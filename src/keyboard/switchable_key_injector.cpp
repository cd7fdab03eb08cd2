#include "keyboard/switchable_key_injector.h"

#include <utility>

namespace qz {

SwitchableKeyInjector::SwitchableKeyInjector(
    KeyLayout& layout, KeySink& sink, std::function<void()> processPendingEvents)
    : processPendingEvents_(std::move(processPendingEvents))
    , sink_(&sink)
    , current_(std::make_unique<LayoutKeyInjector>(layout, sink))
{
}

void SwitchableKeyInjector::Switch(KeyLayout& layout, KeySink& sink)
{
    // The old layer releases its held keys as it goes, before the new one
    // sends anything.
    current_.reset();
    sink_ = &sink;
    current_ = std::make_unique<LayoutKeyInjector>(layout, sink);
}

void SwitchableKeyInjector::ProcessPendingEvents()
{
    if (processPendingEvents_) {
        processPendingEvents_();
    }
}

} // namespace qz
