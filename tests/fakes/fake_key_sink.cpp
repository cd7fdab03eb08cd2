#include "fakes/fake_key_sink.h"

#include <utility>

namespace qz {

std::vector<FakeKeySink::Event> FakeKeySink::TakeEvents()
{
    return std::exchange(events_, {});
}

std::string FakeKeySink::Describe(const std::vector<Event>& events)
{
    std::string text;
    for (const Event& e : events) {
        if (!text.empty()) {
            text += ' ';
        }
        text += e.code == 0 ? "|" : (e.down ? "v" : "^") + std::to_string(e.code);
    }
    return text;
}

} // namespace qz
