#include "probe/serve/send_queue.h"

namespace qz::probe {

SendQueue::SendQueue(std::size_t capacity)
    : capacity_(capacity)
{
}

SendQueue::Added SendQueue::Add(const Frame& frame)
{
    if (!writing_) {
        writing_ = true;
        return Added::WriteNow;
    }
    if (waiting_.size() >= capacity_) {
        return Added::Overflow;
    }
    waiting_.push_back(frame);
    return Added::Queued;
}

Frame SendQueue::WriteDone()
{
    if (waiting_.empty()) {
        writing_ = false;
        return nullptr;
    }
    Frame next = std::move(waiting_.front());
    waiting_.pop_front();
    return next;
}

void SendQueue::Clear()
{
    waiting_.clear();
}

} // namespace qz::probe
