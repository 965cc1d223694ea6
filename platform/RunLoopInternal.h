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

using Clock = std::chrono::steady_clock;

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

class CFRunLoop final : public CFType {
public:
    CFRunLoop();
    ~CFRunLoop() override;
    CFTypeID typeID() const override { return kCFTypeIDRunLoop; }

    // Owner thread only.
    void addSource(plat::RunLoopSource* source);
    void removeSource(plat::RunLoopSource* source);
    bool hasSources() const { return !m_sources.empty(); }

    // One round: poll until something is ready, the deadline passes or the
    // loop is woken; then let every source handle its descriptors and
    // deliver its events. Owner thread only.
    void runOnce(plat::Clock::time_point deadline);

    // Runs rounds until stopped or empty (CFRunLoopRun).
    void run();
    // Any thread.
    void stop();
    void wake();
    bool stopRequested() const { return m_stop.load(std::memory_order_acquire); }

private:
    std::vector<plat::RunLoopSource*> m_sources;
    int m_wakeFd = -1;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_running{0};
};
