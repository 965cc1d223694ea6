// Per-thread run loops on which streams deliver their events.
//
// Each thread gets its run loop on first use. CFRunLoopRun sleeps in poll(2)
// on what the scheduled streams wait for (sockets, timers) and delivers
// their events, until CFRunLoopStop is called for the loop or no stream is
// scheduled on it any more. Modes are accepted and not told apart.
#pragma once

#include "platform/CFBase.h"

#include <QString>
#include <atomic>
#include <chrono>
#include <vector>

namespace plat {
class RunLoopSource;
using Clock = std::chrono::steady_clock;
} // namespace plat

class CFRunLoop final : public CFType {
public:
    CFRunLoop();
    ~CFRunLoop() override;
    CFTypeID typeID() const override { return kCFTypeIDRunLoop; }

    // For the streams of the platform layer. Owner thread only.
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

using CFRunLoopRef = CFRunLoop*;

extern const QString kCFRunLoopCommonModes;
extern const QString kCFRunLoopDefaultMode;

// This thread's run loop; it belongs to the thread (do not release it).
CFRunLoopRef CFRunLoopGetCurrent();

// Runs this thread's loop until it is stopped or has nothing scheduled.
void CFRunLoopRun();

// Makes the loop's current CFRunLoopRun return after the event being
// delivered; safe from any thread (it wakes the loop). No effect on a loop
// that is not running.
void CFRunLoopStop(CFRunLoopRef loop);

// CFRunLoopGetTypeID() == kCFTypeIDRunLoop.
CFTypeID CFRunLoopGetTypeID();
