#pragma once

#include "probe/serve/web_server.h"

#include <cstddef>
#include <deque>

namespace qz::probe {

// The frames on their way to one client: one being written, the others
// waiting in order behind it. A write waits while the client's send buffer is
// full, so the queue grows only behind a full buffer; once it holds
// `capacity` frames the client has fallen too far behind and is dropped, and
// the other clients lose nothing.
class SendQueue {
public:
    explicit SendQueue(std::size_t capacity);

    enum class Added {
        WriteNow, // nothing was being written: write this frame
        Queued, // it waits behind the write in flight
        Overflow, // no room: the client is to be dropped
    };
    Added Add(const Frame& frame);
    // The write in flight is done: the next frame to write, or null when
    // none waits.
    Frame WriteDone();
    // Drops what waits (a client that is dropped or closing).
    void Clear();

    std::size_t Waiting() const { return waiting_.size(); }

private:
    std::size_t capacity_;
    bool writing_ = false;
    std::deque<Frame> waiting_;
};

} // namespace qz::probe
