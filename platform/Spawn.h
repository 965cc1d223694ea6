// Starting other programs: the archiver, the opener and the log viewer.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace plat {

struct SpawnOptions {
    bool quietOutput = false; // standard output to /dev/null too
    bool newSession = false;  // a session of its own, as a detached program
};

// Starts argv[0] with argv. The child reads /dev/null, inherits none of our
// descriptors beyond 0-2 (a data connection it held would keep an upload
// from ending) and handles signals normally whatever we block or ignore.
// 0 with *pid set, else the errno of the failure.
int SpawnProgram(const std::vector<std::string>& argv, SpawnOptions options, pid_t* pid);

} // namespace plat
