// Waking the main thread from a worker, without Qt Widgets.
#pragma once

namespace plat {

// Wakes a WaitNextEvent sleeping on the main thread; callable from any thread.
void WakeMainThread();

// True (once) when a wake-up was requested since the last call.
bool TakeWakeRequest();

} // namespace plat
