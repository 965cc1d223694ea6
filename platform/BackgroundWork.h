// Work a component leaves running on a thread of its own after its call has
// returned (a listing after an upload). A host that is about to end, or to
// unload the code, waits for it.
#pragma once

#include <functional>

namespace plat {

// Held for the life of the work; copyable handles are not needed.
class BackgroundWork {
public:
    BackgroundWork();
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;
};

// Runs work on a detached thread of its own, counted as background work until
// the work has returned and everything it holds is destroyed. The thread's
// entry and the counting live in this library, so once the count is zero no
// code of the caller's library runs on that thread and the library may be
// closed; code in a plug-in starts its threads this way, not with a
// BackgroundWork of its own (whose end would still run in the plug-in).
// False when no thread could be started (the work is then dropped).
bool StartBackgroundWork(std::function<void()> work);

// Waits until no BackgroundWork lives, at most timeoutMs milliseconds (< 0:
// without limit); true when none is left.
bool WaitForBackgroundWork(int timeoutMs);

} // namespace plat
