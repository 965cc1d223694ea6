#include "platform/MainThread.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QThread>
#include <atomic>

namespace {
std::atomic<bool> gWakePending{false};
}

namespace plat {

void WakeMainThread() {
    gWakePending = true;
    if (auto* app = QCoreApplication::instance())
        if (auto* d = QAbstractEventDispatcher::instance(app->thread())) d->wakeUp();
}

bool TakeWakeRequest() {
    return gWakePending.exchange(false);
}

} // namespace plat
