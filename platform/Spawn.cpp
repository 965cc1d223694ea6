#include "platform/Spawn.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char** environ;

namespace plat {

int SpawnProgram(const std::vector<std::string>& argv, SpawnOptions options, pid_t* pid) {
    if (argv.empty() || !pid) return EINVAL;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (const int err = posix_spawn_file_actions_init(&actions)) return err;
    if (const int err = posix_spawnattr_init(&attributes)) {
        posix_spawn_file_actions_destroy(&actions);
        return err;
    }
    sigset_t none, reset;
    sigemptyset(&none);
    sigemptyset(&reset);
    for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGCHLD})
        sigaddset(&reset, sig);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (options.newSession) flags |= POSIX_SPAWN_SETSID;
    int err = posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (!err && options.quietOutput)
        err = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    if (!err) err = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    if (!err) err = posix_spawnattr_setsigmask(&attributes, &none);
    if (!err) err = posix_spawnattr_setsigdefault(&attributes, &reset);
    if (!err) err = posix_spawnattr_setflags(&attributes, flags);
    if (!err) {
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        err = posix_spawn(pid, argv[0].c_str(), &actions, &attributes, args.data(), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return err;
}

} // namespace plat
