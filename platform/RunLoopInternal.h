// What the streams see of a run loop: sources that add descriptors and
// deadlines to its poll and deliver their events after it. Only the
// platform layer includes this.
#pragma once

#include "platform/RunLoop.h"

#include <atomic>
#include <chrono>
#include <poll.h>
#include <span>
#include <vector>

namespace plat {

class RunLoopSource {
public:
    virtual ~RunLoopSource() = default;

    // The object to keep alive while the loop works on this source.
    virtual CFTypeRef sourceObject() const = 0;
    // Adds the descriptors to wait on; moves deadline earlier for a due timer.
    virtual void preparePoll(std::vector<pollfd>& fds, Clock::time_point& deadline) = 0;
    // The descriptors it added, with their revents; called after every poll.
    virtual void afterPoll(std::span<const pollfd> fds) = 0;
    // True when events wait for delivery (the loop then does not sleep).
    virtual bool hasPendingEvents() const = 0;
    // Delivers waiting events to the client. May unschedule, close or
    // release the source; the loop holds a reference meanwhile.
    virtual void deliverEvents() = 0;
};

} // namespace plat
