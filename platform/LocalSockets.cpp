#include "platform/LocalSockets.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace plat {

namespace {

void Warn(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

bool FitsSocketName(const QString& path) {
    return size_t(QFile::encodeName(path).size()) < sizeof(sockaddr_un::sun_path);
}

QString FallbackFolder() {
    return QStringLiteral("/tmp/loftwise-%1").arg(getuid());
}

} // namespace

QString LocalSocketPath(const QString& name) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir() &&
        FitsSocketName(runtime + "/" + name))
        return runtime + "/" + name;
    return FallbackFolder() + "/" + name;
}

bool PrepareLocalSocketFolder(const QString& socketPath) {
    const QString folder = QFileInfo(socketPath).path();
    if (folder != FallbackFolder()) return true;
    const QByteArray path = QFile::encodeName(folder);
    if (mkdir(path.constData(), 0700) != 0 && errno != EEXIST) {
        Warn(QStringLiteral("Cannot create %1: %2")
                 .arg(folder, QString::fromLocal8Bit(std::strerror(errno))));
        return false;
    }
    struct stat st {};
    if (lstat(path.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        Warn(QStringLiteral("Not using %1: it is not a folder of this user").arg(folder));
        return false;
    }
    if ((st.st_mode & 0777) != 0700 && chmod(path.constData(), 0700) != 0) {
        Warn(QStringLiteral("Not using %1: cannot make it private").arg(folder));
        return false;
    }
    return true;
}

StartLock::StartLock(const QString& path) {
    m_fd.reset(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (m_fd.get() >= 0)
        while (::flock(m_fd.get(), LOCK_EX) != 0 && errno == EINTR) {}
}

std::optional<QByteArray> AskRunningInstance(const QString& socketPath, const QByteArray& request,
                                             int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(timeoutMs)) return std::nullopt;
    socket.write(request);
    if (!socket.waitForBytesWritten(timeoutMs)) return std::nullopt;
    while (!socket.canReadLine())
        if (!socket.waitForReadyRead(timeoutMs)) return std::nullopt;
    return socket.readLine();
}

QLocalServer* ServeRunningInstance(const QString& socketPath, QObject* parent,
                                   std::function<QByteArray(const QByteArray& request)> answer) {
    QLocalServer::removeServer(socketPath);
    auto* server = new QLocalServer(parent);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketPath)) {
        Warn(QStringLiteral("Cannot listen at %1: %2").arg(socketPath, server->errorString()));
        delete server;
        return nullptr;
    }
    QObject::connect(server, &QLocalServer::newConnection, server, [server, answer] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, answer] {
                if (!socket->canReadLine()) {
                    if (socket->bytesAvailable() > kLocalRequestMaxBytes) socket->abort();
                    return;
                }
                const QByteArray request = socket->readLine(kLocalRequestMaxBytes + 1);
                // Disconnecting right away would drop the answer unsent.
                socket->write(answer(request));
                socket->disconnectFromServer();
            });
        }
    });
    return server;
}

} // namespace plat
