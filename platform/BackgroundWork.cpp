#include "platform/BackgroundWork.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

namespace plat {

namespace {
std::mutex gMutex;
std::condition_variable gChanged;
int gCount = 0;
} // namespace

BackgroundWork::BackgroundWork() {
    std::lock_guard lock(gMutex);
    ++gCount;
}

BackgroundWork::~BackgroundWork() {
    {
        std::lock_guard lock(gMutex);
        --gCount;
    }
    gChanged.notify_all();
}

bool StartBackgroundWork(std::function<void()> work) {
    auto counted = std::make_unique<BackgroundWork>();
    auto job = std::make_unique<std::function<void()>>(std::move(work));
    try {
        std::thread([counted = std::move(counted), job = std::move(job)]() mutable {
            (*job)();
            job.reset(); // the work's captures go while it still counts
            counted.reset();
        }).detach();
    } catch (...) {
        return false;
    }
    return true;
}

bool WaitForBackgroundWork(int timeoutMs) {
    std::unique_lock lock(gMutex);
    if (timeoutMs < 0) {
        gChanged.wait(lock, [] { return gCount == 0; });
        return true;
    }
    return gChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [] { return gCount == 0; });
}

} // namespace plat
