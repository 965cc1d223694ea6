#include "platform/BackgroundWork.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

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
