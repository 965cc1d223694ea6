#include "platform/AppleEventDelivery.h"

#include "platform/Alias.h"
#include "platform/AppleEvents.h"
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/LocalSockets.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPointer>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {
namespace {

// Wire format of a forwarded launch: magic, path count, then each path as a
// 32-bit length and its bytes as the file system has them (all big-endian). The answer is kAck once
// the paths are queued.
constexpr char kMagic[] = "LWOD";
constexpr char kAck[] = "LWOK";
constexpr quint32 kMaxPaths = 100000;
constexpr quint32 kMaxPathBytes = 64 * 1024;
constexpr qsizetype kMaxMessageBytes = 64 * 1024 * 1024;
constexpr int kConnectTimeoutMs = 2000;
constexpr int kAnswerTimeoutMs = 15000;
constexpr int kIdleConnectionMs = 30000;

QPointer<QLocalServer> gServer; // main thread only

void Warn(const QString& text) {
    std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

QString Identity() {
    QString path;
    if (CFBundleRef bundle = CFBundleGetMainBundle()) path = CFBundleGetPath(bundle);
    if (path.isEmpty()) path = QStringLiteral("/proc/self/exe");
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    return canonical.isEmpty() ? info.absoluteFilePath() : canonical;
}

void PutU32(QByteArray& out, quint32 v) {
    const char b[4] = {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    out.append(b, 4);
}

quint32 GetU32(const char* p) {
    return (quint32(uchar(p[0])) << 24) | (quint32(uchar(p[1])) << 16) |
           (quint32(uchar(p[2])) << 8) | quint32(uchar(p[3]));
}

QByteArray Encode(const QByteArrayList& paths) {
    QByteArray out(kMagic, 4);
    PutU32(out, quint32(paths.size()));
    for (const QByteArray& p : paths) {
        PutU32(out, quint32(p.size()));
        out.append(p);
    }
    return out;
}

enum class Decoded { Complete, Incomplete, Malformed };

Decoded Decode(const QByteArray& in, QByteArrayList* paths) {
    if (in.size() < 8)
        return in.startsWith(QByteArray(kMagic, 4).left(in.size())) ? Decoded::Incomplete
                                                                    : Decoded::Malformed;
    if (!in.startsWith(QByteArray(kMagic, 4))) return Decoded::Malformed;
    const quint32 count = GetU32(in.constData() + 4);
    if (count > kMaxPaths) return Decoded::Malformed;
    QByteArrayList out;
    qsizetype at = 8;
    for (quint32 i = 0; i < count; ++i) {
        if (in.size() - at < 4) return Decoded::Incomplete;
        const quint32 length = GetU32(in.constData() + at);
        if (length > kMaxPathBytes) return Decoded::Malformed;
        at += 4;
        if (in.size() - at < qsizetype(length)) return Decoded::Incomplete;
        out.push_back(QByteArray(in.constData() + at, qsizetype(length)));
        at += length;
    }
    if (at != in.size()) return Decoded::Malformed;
    *paths = std::move(out);
    return Decoded::Complete;
}

enum class Forwarding { NoInstance, Forwarded, NoAnswer };

Forwarding Forward(const QString& socketPath, const QByteArrayList& paths) {
    QLocalSocket socket;
    socket.connectToServer(socketPath);
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        const auto error = socket.error();
        return error == QLocalSocket::ServerNotFoundError ||
                       error == QLocalSocket::ConnectionRefusedError
                   ? Forwarding::NoInstance
                   : Forwarding::NoAnswer;
    }
    socket.write(Encode(paths));
    while (socket.bytesToWrite() > 0)
        if (!socket.waitForBytesWritten(kAnswerTimeoutMs)) return Forwarding::NoAnswer;
    QByteArray answer;
    while (answer.size() < 4) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(kAnswerTimeoutMs))
            return Forwarding::NoAnswer;
        answer += socket.read(4 - answer.size());
    }
    return answer == QByteArray(kAck, 4) ? Forwarding::Forwarded : Forwarding::NoAnswer;
}

void Serve(QLocalSocket* socket) {
    auto buffer = std::make_shared<QByteArray>();
    auto answered = std::make_shared<bool>(false);
    QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    // A client that never finishes its message does not hold the connection.
    QTimer::singleShot(kIdleConnectionMs, socket, [socket, answered] {
        if (!*answered) socket->abort();
    });
    QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket, buffer, answered] {
        if (*answered) {
            socket->readAll();
            return;
        }
        buffer->append(socket->readAll());
        QByteArrayList paths;
        Decoded result =
            buffer->size() > kMaxMessageBytes ? Decoded::Malformed : Decode(*buffer, &paths);
        if (result == Decoded::Incomplete) return;
        *answered = true;
        buffer->clear();
        if (result == Decoded::Malformed) {
            Warn(QStringLiteral("Ignoring a malformed file list from another launch"));
            socket->abort();
            return;
        }
        // An empty list is a plain second launch: nothing to open.
        if (!paths.isEmpty()) PostOpenDocuments(paths);
        socket->write(kAck, 4);
        socket->disconnectFromServer();
    });
}

bool Listen(const QString& socketPath) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        Warn(QStringLiteral("Open Documents from other launches needs the application object"));
        return false;
    }
    QLocalServer::removeServer(socketPath); // left behind by a process that ended abruptly
    auto* server = new QLocalServer(app);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(socketPath)) {
        Warn(QStringLiteral("Cannot listen on %1: %2").arg(socketPath, server->errorString()));
        delete server;
        return false;
    }
    chmod(QFile::encodeName(socketPath).constData(), 0600);
    QObject::connect(server, &QLocalServer::newConnection, server, [server] {
        while (QLocalSocket* socket = server->nextPendingConnection())
            Serve(socket);
    });
    gServer = server;
    return true;
}

QByteArray Absolute(const QByteArray& file) {
    if (file.startsWith('/')) return file;
    return QFile::encodeName(QDir::currentPath()) + '/' + file;
}

QByteArrayList Absolute(const QByteArrayList& files) {
    QByteArrayList out;
    for (const QByteArray& f : files)
        if (!f.isEmpty()) out.push_back(Absolute(f));
    return out;
}

QByteArrayList NativePaths(const QStringList& paths) {
    QByteArrayList out;
    for (const QString& p : paths)
        out.push_back(QFile::encodeName(p));
    return out;
}

} // namespace

QString InstanceSocketPath() {
    const QByteArray hash =
        QCryptographicHash::hash(Identity().toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
    const QString name = QStringLiteral("loftwise-%1.sock").arg(QString::fromLatin1(hash));
    return LocalSocketPath(name);
}

LaunchRole StartAppleEventDelivery(const QStringList& files) {
    return StartAppleEventDelivery(NativePaths(files));
}

LaunchRole StartAppleEventDelivery(const QByteArrayList& files) {
    const QByteArrayList paths = Absolute(files);
    if (gServer && gServer->isListening()) {
        if (!paths.isEmpty()) PostOpenDocuments(paths);
        return LaunchRole::Primary;
    }
    const QString socketPath = InstanceSocketPath();
    if (PrepareLocalSocketFolder(socketPath)) {
        StartLock lock(socketPath + ".lock");
        switch (Forward(socketPath, paths)) {
        case Forwarding::Forwarded:
            return LaunchRole::Forwarded;
        case Forwarding::NoAnswer:
            // Better opened twice than lost: this launch keeps its files.
            Warn(QStringLiteral("The running instance did not answer; opening the files here"));
            break;
        case Forwarding::NoInstance:
            Listen(socketPath);
            break;
        }
    }
    if (!paths.isEmpty()) PostOpenDocuments(paths);
    return LaunchRole::Primary;
}

void StopAppleEventDelivery() {
    // Connections not yet answered go with the server (they are its
    // children), so their launches keep their files.
    delete gServer.data();
}

int PostOpenDocuments(const QStringList& paths) {
    return PostOpenDocuments(NativePaths(paths));
}

int PostOpenDocuments(const QByteArrayList& paths) {
    AEDescList list;
    if (AECreateList(nullptr, 0, false, &list) != noErr) return 0;
    long count = 0;
    for (const QByteArray& given : paths) {
        const QByteArray native = Absolute(given);
        // Shown with bytes that are not UTF-8 as U+FFFD.
        const QString path = QString::fromUtf8(native);
        FSRef ref;
        OSStatus status = native.contains('\0') || given.isEmpty()
                              ? OSStatus(fnfErr)
                              : FSPathMakeRef(native.constData(), &ref, nullptr);
        QByteArray alias;
        if (status == noErr) status = FSNewAlias(nullptr, &ref, &alias);
        if (status == noErr)
            status = AEPutPtr(&list, 0, typeAlias, alias.constData(), Size(alias.size()));
        if (status != noErr) {
            Warn(QStringLiteral("Not opening %1: %2 (%3)")
                     .arg(path, status == fnfErr ? QStringLiteral("no such file or folder")
                                                 : QStringLiteral("cannot refer to it"))
                     .arg(status));
            continue;
        }
        ++count;
    }
    OSErr err = noErr;
    if (count > 0) {
        const ProcessSerialNumber self{0, kCurrentProcess};
        AEAddressDesc target;
        AppleEvent event;
        AEInitializeDesc(&event);
        err = AECreateDesc(typeProcessSerialNumber, &self, sizeof self, &target);
        if (err == noErr)
            err = AECreateAppleEvent(kCoreEventClass, kAEOpenDocuments, &target,
                                     kAutoGenerateReturnID, kAnyTransactionID, &event);
        if (err == noErr) err = AEPutParamDesc(&event, keyDirectObject, &list);
        if (err == noErr)
            err = AESend(&event, nullptr, kAENoReply, kAENormalPriority, kAEDefaultTimeout, nullptr,
                         nullptr);
        if (err != noErr) Warn(QStringLiteral("Cannot queue Open Documents (%1)").arg(err));
        AEDisposeDesc(&event);
        AEDisposeDesc(&target);
    }
    AEDisposeDesc(&list);
    return err == noErr ? int(count) : 0;
}

} // namespace plat
