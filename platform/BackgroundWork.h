// Work a component leaves running on a thread of its own after its call has
// returned (a listing after an upload). A host that is about to end, or to
// unload the code, waits for it.
#pragma once

namespace plat {

// Held for the life of the work; copyable handles are not needed.
class BackgroundWork {
public:
    BackgroundWork();
    ~BackgroundWork();
    BackgroundWork(const BackgroundWork&) = delete;
    BackgroundWork& operator=(const BackgroundWork&) = delete;
};

// Waits until no BackgroundWork lives, at most timeoutMs milliseconds (< 0:
// without limit); true when none is left.
bool WaitForBackgroundWork(int timeoutMs);

} // namespace plat
