#include "platform/RunLoop.h"
#include "platform/RunLoopInternal.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <sys/eventfd.h>
#include <unistd.h>

const QString kCFRunLoopCommonModes = QStringLiteral("kCFRunLoopCommonModes");
const QString kCFRunLoopDefaultMode = QStringLiteral("kCFRunLoopDefaultMode");

CFTypeRef CFRetain(CFTypeRef object) {
    if (object) object->m_refs.fetch_add(1, std::memory_order_relaxed);
    return object;
}

void CFRelease(CFTypeRef object) {
    if (object && object->m_refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete object;
}

CFTypeID CFGetTypeID(CFTypeRef object) {
    return object ? object->typeID() : 0;
}

CFTypeID CFRunLoopGetTypeID() {
    return kCFTypeIDRunLoop;
}

CFRunLoop::CFRunLoop() {
    m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CFRunLoop::~CFRunLoop() {
    if (m_wakeFd >= 0) close(m_wakeFd);
}

void CFRunLoop::addSource(plat::RunLoopSource* source) {
    if (std::find(m_sources.begin(), m_sources.end(), source) == m_sources.end())
        m_sources.push_back(source);
}

void CFRunLoop::removeSource(plat::RunLoopSource* source) {
    std::erase(m_sources, source);
}

void CFRunLoop::wake() {
    if (m_wakeFd >= 0) {
        const uint64_t one = 1;
        // A full counter still leaves the descriptor readable, which is all we need.
        [[maybe_unused]] ssize_t n = write(m_wakeFd, &one, sizeof one);
    }
}

void CFRunLoop::stop() {
    if (m_running.load(std::memory_order_acquire) == 0) return;
    m_stop.store(true, std::memory_order_release);
    wake();
}

void CFRunLoop::runOnce(plat::Clock::time_point deadline) {
    // Sources may unschedule or release themselves while delivering, and new
    // ones may be scheduled: work on a snapshot and keep each one alive.
    const std::vector<plat::RunLoopSource*> sources = m_sources;
    std::vector<CFTypeRef> held;
    held.reserve(sources.size());
    bool pending = false;
    for (auto* s : sources) {
        held.push_back(CFRetain(s->sourceObject()));
        pending = pending || s->hasPendingEvents();
    }
    auto scheduled = [&](plat::RunLoopSource* s) {
        return std::find(m_sources.begin(), m_sources.end(), s) != m_sources.end();
    };

    std::vector<pollfd> fds;
    fds.push_back({m_wakeFd, POLLIN, 0});
    std::vector<std::pair<size_t, size_t>> ranges;
    ranges.reserve(sources.size());
    for (auto* s : sources) {
        const size_t start = fds.size();
        s->preparePoll(fds, deadline);
        ranges.emplace_back(start, fds.size() - start);
    }

    timespec ts{0, 0};
    timespec* timeout = &ts;
    if (!pending && !stopRequested()) {
        if (deadline == plat::Clock::time_point::max()) {
            timeout = nullptr;
        } else {
            const auto left = deadline - plat::Clock::now();
            if (left > std::chrono::nanoseconds(0)) {
                const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
                ts.tv_sec = time_t(ns / 1000000000);
                ts.tv_nsec = long(ns % 1000000000);
            }
        }
    }
    if (ppoll(fds.data(), fds.size(), timeout, nullptr) < 0) {
        // EINTR and friends: nothing is ready; the sources check their timers anyway.
        for (auto& f : fds)
            f.revents = 0;
    }
    if (m_wakeFd >= 0 && (fds[0].revents & POLLIN)) {
        uint64_t count;
        [[maybe_unused]] ssize_t n = read(m_wakeFd, &count, sizeof count);
    }

    for (size_t i = 0; i < sources.size(); ++i) {
        if (scheduled(sources[i]))
            sources[i]->afterPoll(
                std::span<const pollfd>(fds.data() + ranges[i].first, ranges[i].second));
    }
    for (auto* s : sources) {
        if (stopRequested()) break;
        if (scheduled(s)) s->deliverEvents();
    }
    for (CFTypeRef h : held)
        CFRelease(h);
}

void CFRunLoop::run() {
    m_stop.store(false, std::memory_order_release);
    m_running.fetch_add(1, std::memory_order_acq_rel);
    CFRetain(this); // a callback may drop the last outside reference
    while (!stopRequested() && !m_sources.empty())
        runOnce(plat::Clock::time_point::max());
    m_running.fetch_sub(1, std::memory_order_acq_rel);
    m_stop.store(false, std::memory_order_release);
    CFRelease(this);
}

namespace {

// The thread's loop lives as long as the thread (and as long as a stream
// still scheduled on it holds a reference).
struct ThreadRunLoop {
    CFRunLoop* loop = nullptr;
    ~ThreadRunLoop() { CFRelease(loop); }
};
thread_local ThreadRunLoop t_runLoop;

} // namespace

CFRunLoopRef CFRunLoopGetCurrent() {
    if (!t_runLoop.loop) t_runLoop.loop = new CFRunLoop;
    return t_runLoop.loop;
}

void CFRunLoopRun() {
    CFRunLoopGetCurrent()->run();
}

void CFRunLoopStop(CFRunLoopRef loop) {
    if (loop) loop->stop();
}
