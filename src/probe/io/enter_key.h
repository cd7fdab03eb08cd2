#pragma once

namespace qz::probe {

// Enter on standard input, which closes a round in `watch` and `serve`. At
// the end of input, or when standard input is not there, it is no longer
// looked at, so that it neither ends the command nor wakes it again and
// again. While the probe runs in the background of its terminal, the
// terminal is not read (that would stop the probe): Enter counts again once
// it is in the foreground (SIGCONT is the moment to look again).
class EnterKey {
public:
    // The descriptor to wait on now; -1 when there is none to wait on.
    int PollDescriptor() const;

    // After a wait said standard input is ready: the Enter presses read.
    // `invalid`: the descriptor cannot be waited on (POLLNVAL).
    int Take(bool invalid = false);

    bool Ended() const { return ended_; }

private:
    bool ended_ = false;
};

} // namespace qz::probe
