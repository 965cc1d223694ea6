// Per-user local sockets between our own processes: a running droplet that
// takes a second launch's files, a log viewer that takes a second opening.
#pragma once

#include "platform/UniqueFd.h"

#include <QString>

namespace plat {

// Where the socket named name goes: $XDG_RUNTIME_DIR when it is usable and
// the path fits a socket address, else a private folder of this user in
// /tmp. Only computes the path; PrepareLocalSocketFolder makes it usable.
QString LocalSocketPath(const QString& name);

// Makes sure the folder of socketPath may hold it: the /tmp folder is
// shared with other users, so it must be ours, a real folder and private.
// False (with a line on standard error) when it is not.
bool PrepareLocalSocketFolder(const QString& socketPath);

// An exclusive lock on a file (made 0600) while it lives: processes that
// start together take turns to connect to a socket or listen on it, so that
// one listens and the others connect.
class StartLock {
public:
    explicit StartLock(const QString& path);

private:
    UniqueFd m_fd; // closing it releases the lock
};

} // namespace plat
