// Per-user local sockets between our own processes: a running droplet that
// takes a second launch's files, a log viewer that takes a second opening.
#pragma once

#include "platform/UniqueFd.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

class QLocalServer;
class QObject;

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

// A running instance answers one request per connection: a line from the
// newcomer, a line back.
constexpr int kLocalAnswerTimeoutMs = 3000;
// A longer request is refused, so a stray client cannot make a listener
// hold an ever growing buffer.
constexpr qint64 kLocalRequestMaxBytes = 1 << 16;

// Sends request (one line, its newline included) to whoever listens at
// socketPath and returns the line it answers; nullopt when none answers in
// time.
std::optional<QByteArray> AskRunningInstance(const QString& socketPath, const QByteArray& request,
                                             int timeoutMs = kLocalAnswerTimeoutMs);

// Listens at socketPath for this user only, after removing a socket left
// by a process that ended abruptly (call it holding the StartLock, once
// AskRunningInstance had no answer). Each request line goes to answer, on
// the event loop of parent's thread, and its result goes back. Null when it
// cannot listen; the server is a child of parent.
QLocalServer* ServeRunningInstance(const QString& socketPath, QObject* parent,
                                   std::function<QByteArray(const QByteArray& request)> answer);

} // namespace plat
