#include "platform/Spawn.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
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

bool StartDetached(const QStringList& argv) {
    std::vector<std::string> args;
    for (const QString& a : argv)
        args.push_back(QFile::encodeName(a).toStdString());
    pid_t pid = 0;
    if (SpawnProgram(args, {.quietOutput = true, .newSession = true}, &pid) != 0) return false;
    try {
        std::thread([pid] {
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {}
        }).detach();
    } catch (...) {
        // Left unreaped: a zombie until we exit, nothing worse.
    }
    return true;
}

bool IsExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

std::optional<QString> ResolveProgram(const QString& program) {
    if (program.contains(QLatin1Char('/')))
        return IsExecutableFile(program) ? std::optional(QFileInfo(program).absoluteFilePath())
                                         : std::nullopt;
    const QString found = QStandardPaths::findExecutable(program);
    if (found.isEmpty()) return std::nullopt;
    return found;
}

std::optional<QString> FindCompanionProgram(const QString& name) {
    const QFileInfo exe(QFile::symLinkTarget(QStringLiteral("/proc/self/exe")));
    if (const QString beside = exe.dir().filePath(name); IsExecutableFile(beside)) return beside;
    return ResolveProgram(name);
}

} // namespace plat
