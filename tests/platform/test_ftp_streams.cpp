// FTP read and write streams against real servers (pyftpdlib, proftpd) and
// our fault server; run loops on worker threads; local file streams; proxy
// settings from the environment.
#include "platform/Proxies.h"
#include "platform/RunLoop.h"
#include "platform/Streams.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;
using namespace std::chrono_literals;

std::ostream& operator<<(std::ostream& os, const CFStreamError& e) {
    return os << "(" << e.domain << ", " << e.error << ")";
}

namespace {

std::string U8(const QString& s) {
    return s.toUtf8().toStdString();
}

QByteArray RandomBytes(qsizetype n) {
    QByteArray b(n, Qt::Uninitialized);
    auto* gen = QRandomGenerator::global();
    for (qsizetype i = 0; i < n; ++i)
        b[i] = char(gen->bounded(256));
    return b;
}

// The path part of url with a file name appended as one path component,
// the way callers build upload addresses.
QUrl WithFile(QUrl url, const QString& name) {
    QString path = url.path(QUrl::FullyDecoded);
    if (!path.endsWith('/')) path += '/';
    url.setPath(path + name, QUrl::DecodedMode);
    return url;
}

struct Options {
    QString user = QStringLiteral("test");
    QString password = QStringLiteral("secret");
    bool credentials = true;
    std::optional<bool> passive;
    std::optional<bool> persistent;
    std::optional<PlistDictionary> proxy;
};

template <class Ref, class SetProperty> void Apply(Ref s, const Options& o, SetProperty set) {
    if (o.credentials) {
        EXPECT_TRUE(set(s, kCFStreamPropertyFTPUserName, PlistValue(o.user)));
        EXPECT_TRUE(set(s, kCFStreamPropertyFTPPassword, PlistValue(o.password)));
    }
    if (o.proxy) {
        EXPECT_TRUE(set(s, kCFStreamPropertyFTPProxy, PlistValue(*o.proxy)));
    }
    if (o.passive) {
        EXPECT_TRUE(set(s, kCFStreamPropertyFTPUsePassiveMode, PlistValue::boolean(*o.passive)));
    }
    if (o.persistent) {
        EXPECT_TRUE(set(s, kCFStreamPropertyFTPAttemptPersistentConnection,
                        PlistValue::boolean(*o.persistent)));
    }
}

struct Outcome {
    bool opened = false;
    bool ended = false;
    bool failed = false;
    bool timedOut = false;
    CFStreamError error{0, 0};
    std::vector<CFStreamEventType> events;
    bool eventsOnWorkerOnly = true;
    QByteArray data;     // what a read stream delivered
    qint64 accepted = 0; // what a write stream took
    int partialWrites = 0;
    qint64 sizeOnServerAtEnd = -1;
    int inheritableSockets = -1; // TCP sockets without close-on-exec, at the end event
    double seconds = 0;

    int count(CFStreamEventType e) const {
        return int(std::count(events.begin(), events.end(), e));
    }
};

// TCP sockets of this process that a program it starts would inherit.
int InheritableSockets() {
    int count = 0;
    for (const QString& name : QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files)) {
        const int fd = name.toInt();
        int domain = 0;
        socklen_t size = sizeof domain;
        if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &size) != 0) continue;
        if ((domain == AF_INET || domain == AF_INET6) && !(::fcntl(fd, F_GETFD) & FD_CLOEXEC))
            ++count;
    }
    return count;
}

// Runs body on a new thread (which runs its own run loop inside body) and
// waits at most timeout; then stops that loop until the thread is done.
template <class Body> void OnWorker(Body body, std::chrono::seconds timeout, Outcome& out) {
    std::atomic<CFRunLoop*> loop{nullptr};
    std::promise<void> done;
    auto finished = done.get_future();
    const auto start = std::chrono::steady_clock::now();
    std::thread worker([&] {
        loop = CFRunLoopGetCurrent();
        body();
        done.set_value();
    });
    if (finished.wait_for(timeout) != std::future_status::ready) {
        out.timedOut = true;
        while (finished.wait_for(100ms) != std::future_status::ready)
            if (loop) CFRunLoopStop(loop);
    }
    worker.join();
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A client like the upload engine's: moves blocks while the stream takes
// them, keeps an unsent tail, ends the data with a zero-length write.
struct UploadClient {
    Outcome* out = nullptr;
    std::thread::id worker;
    CFWriteStreamRef stream = nullptr;
    QByteArray data;
    qsizetype position = 0;
    CFIndex chunk = 32768;
    bool endless = false; // write until the stream fails
    bool sentEnd = false;
    QString checkPath; // the file on the server, measured at the end event

    void finish() {
        CFWriteStreamUnscheduleFromRunLoop(stream, CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
        CFWriteStreamSetClient(stream, 0, nullptr, nullptr);
        CFWriteStreamClose(stream);
        CFRelease(stream);
        stream = nullptr;
        CFRunLoopStop(CFRunLoopGetCurrent());
    }

    static void Callback(CFWriteStreamRef s, CFStreamEventType e, void* info) {
        auto* c = static_cast<UploadClient*>(info);
        c->out->events.push_back(e);
        if (std::this_thread::get_id() != c->worker) c->out->eventsOnWorkerOnly = false;
        switch (e) {
        case kCFStreamEventCanAcceptBytes:
            do {
                if (c->endless || c->position < c->data.size()) {
                    const qsizetype offered =
                        c->endless ? qsizetype(c->chunk)
                                   : std::min<qsizetype>(c->chunk, c->data.size() - c->position);
                    const char* from =
                        c->endless ? c->data.constData() : c->data.constData() + c->position;
                    const CFIndex n =
                        CFWriteStreamWrite(s, reinterpret_cast<const UInt8*>(from), offered);
                    if (n <= 0) return;
                    if (n < offered) ++c->out->partialWrites;
                    c->out->accepted += n;
                    if (!c->endless) c->position += n;
                } else if (!c->sentEnd) {
                    c->sentEnd = true;
                    CFWriteStreamWrite(s, nullptr, 0);
                    return;
                } else {
                    return;
                }
            } while (CFWriteStreamCanAcceptBytes(s));
            return;
        case kCFStreamEventErrorOccurred:
            c->out->failed = true;
            c->out->error = CFWriteStreamGetError(s);
            c->finish();
            return;
        case kCFStreamEventEndEncountered:
            c->out->ended = true;
            c->out->inheritableSockets = InheritableSockets();
            if (!c->checkPath.isEmpty()) c->out->sizeOnServerAtEnd = QFileInfo(c->checkPath).size();
            c->finish();
            return;
        default:
            return;
        }
    }
};

struct UploadSpec {
    UploadSpec(QByteArray d = {}, CFIndex c = 32768, bool e = false, QString check = {})
        : data(std::move(d)), chunk(c), endless(e), checkPath(std::move(check)) {}
    UploadSpec(const char* d) : data(d) {}
    QByteArray data;
    CFIndex chunk = 32768;
    bool endless = false;
    QString checkPath; // measured at the end event
};

Outcome Upload(const QUrl& url, const UploadSpec& spec, const Options& setup = {},
               std::chrono::seconds timeout = 60s) {
    Outcome out;
    OnWorker(
        [&] {
            UploadClient c;
            c.out = &out;
            c.worker = std::this_thread::get_id();
            c.data = spec.endless ? RandomBytes(spec.chunk) : spec.data;
            c.chunk = spec.chunk;
            c.endless = spec.endless;
            c.checkPath = spec.checkPath;
            c.stream = CFWriteStreamCreateWithFTPURL(url);
            if (!c.stream) return;
            Apply(c.stream, setup, CFWriteStreamSetProperty);
            CFStreamClientContext context{0, &c, nullptr, nullptr, nullptr};
            EXPECT_TRUE(CFWriteStreamSetClient(c.stream, 31, UploadClient::Callback, &context));
            CFWriteStreamScheduleWithRunLoop(c.stream, CFRunLoopGetCurrent(),
                                             kCFRunLoopCommonModes);
            out.opened = CFWriteStreamOpen(c.stream);
            if (!out.opened) {
                out.error = CFWriteStreamGetError(c.stream);
                CFRelease(c.stream);
                return;
            }
            CFRunLoopRun();
            if (c.stream) {
                CFWriteStreamClose(c.stream);
                CFRelease(c.stream);
            }
        },
        timeout, out);
    return out;
}

// A client like the listing engine's: reads while bytes are there.
struct ReadClient {
    Outcome* out = nullptr;
    std::thread::id worker;
    CFReadStreamRef stream = nullptr;

    void finish() {
        CFReadStreamUnscheduleFromRunLoop(stream, CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
        CFReadStreamSetClient(stream, 0, nullptr, nullptr);
        CFReadStreamClose(stream);
        CFRelease(stream);
        stream = nullptr;
        CFRunLoopStop(CFRunLoopGetCurrent());
    }

    static void Callback(CFReadStreamRef s, CFStreamEventType e, void* info) {
        auto* c = static_cast<ReadClient*>(info);
        c->out->events.push_back(e);
        if (std::this_thread::get_id() != c->worker) c->out->eventsOnWorkerOnly = false;
        switch (e) {
        case kCFStreamEventHasBytesAvailable: {
            UInt8 buffer[32768];
            do {
                const CFIndex n = CFReadStreamRead(s, buffer, sizeof buffer);
                if (n <= 0) break;
                c->out->data.append(reinterpret_cast<const char*>(buffer), n);
            } while (CFReadStreamHasBytesAvailable(s));
            return;
        }
        case kCFStreamEventErrorOccurred:
            c->out->failed = true;
            c->out->error = CFReadStreamGetError(s);
            c->finish();
            return;
        case kCFStreamEventEndEncountered:
            c->out->ended = true;
            c->finish();
            return;
        default:
            return;
        }
    }
};

Outcome Read(CFReadStreamRef (*create)(const QUrl&), const QUrl& url, const Options& setup = {},
             std::chrono::seconds timeout = 60s) {
    Outcome out;
    OnWorker(
        [&] {
            ReadClient c;
            c.out = &out;
            c.worker = std::this_thread::get_id();
            c.stream = create(url);
            if (!c.stream) return;
            if (create == CFReadStreamCreateWithFTPURL)
                Apply(c.stream, setup, CFReadStreamSetProperty);
            CFStreamClientContext context{0, &c, nullptr, nullptr, nullptr};
            EXPECT_TRUE(CFReadStreamSetClient(c.stream, 31, ReadClient::Callback, &context));
            CFReadStreamScheduleWithRunLoop(c.stream, CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
            out.opened = CFReadStreamOpen(c.stream);
            if (!out.opened) {
                out.error = CFReadStreamGetError(c.stream);
                CFRelease(c.stream);
                return;
            }
            CFRunLoopRun();
            if (c.stream) {
                CFReadStreamClose(c.stream);
                CFRelease(c.stream);
            }
        },
        timeout, out);
    return out;
}

Outcome List(const QUrl& url, const Options& setup = {}, std::chrono::seconds timeout = 60s) {
    return Read(CFReadStreamCreateWithFTPURL, url, setup, timeout);
}

void ExpectSucceeded(const Outcome& o) {
    EXPECT_TRUE(o.opened);
    EXPECT_FALSE(o.timedOut);
    EXPECT_TRUE(o.ended) << "error " << o.error;
    EXPECT_FALSE(o.failed) << "error " << o.error;
    EXPECT_EQ(o.count(kCFStreamEventErrorOccurred), 0);
    EXPECT_TRUE(o.eventsOnWorkerOnly);
    ASSERT_FALSE(o.events.empty());
    EXPECT_EQ(o.events.front(), kCFStreamEventOpenCompleted);
    EXPECT_EQ(o.events.back(), kCFStreamEventEndEncountered);
    EXPECT_EQ(o.count(kCFStreamEventEndEncountered), 1);
    // An upload's connections must not leak into programs started meanwhile.
    if (o.inheritableSockets >= 0) {
        EXPECT_EQ(o.inheritableSockets, 0);
    }
}

void ExpectFailed(const Outcome& o, CFIndex domain, SInt32 code) {
    EXPECT_TRUE(o.opened);
    EXPECT_FALSE(o.timedOut);
    EXPECT_TRUE(o.failed);
    EXPECT_FALSE(o.ended) << "a failed transfer must never end as if it succeeded";
    EXPECT_EQ(o.count(kCFStreamEventEndEncountered), 0);
    EXPECT_EQ(o.count(kCFStreamEventErrorOccurred), 1);
    EXPECT_EQ(o.error.domain, domain) << o.error;
    EXPECT_EQ(o.error.error, code) << o.error;
    EXPECT_TRUE(o.eventsOnWorkerOnly);
}

// ----------------------------------------------------------------------------
// Both real servers.

class RealServer : public ::testing::TestWithParam<FtpServer::Kind> {
protected:
    void SetUp() override {
        plat::FTPCloseIdleConnections();
        server = StartRealServer(GetParam());
        ASSERT_TRUE(server->isRunning()) << U8(server->startError());
    }
    void TearDown() override { plat::FTPCloseIdleConnections(); }
    std::unique_ptr<FtpServer> server;
};

TEST_P(RealServer, UploadStoresExactBytesUnderTheNamesGiven) {
    QDir(server->home()).mkpath(QStringLiteral("up load"));
    // Names that need escaping in a URL, or that a URL parser might read as syntax.
    const QStringList names = {QStringLiteral("big.bin"),         QStringLiteral("with space.txt"),
                               QStringLiteral("Ünïcødé €.txt"),   QStringLiteral("hash#1.txt"),
                               QStringLiteral("100%.txt"),        QStringLiteral(".hidden"),
                               QStringLiteral("semi;type=a.txt"), QStringLiteral("empty")};
    for (const QString& name : names) {
        SCOPED_TRACE(U8(name));
        const QByteArray data = name == QLatin1String("big.bin") ? RandomBytes(3 * 1024 * 1024 + 7)
                                : name == QLatin1String("empty") ? QByteArray()
                                                                 : RandomBytes(70001);
        const QString onServer = server->home() + "/up load/" + name;
        UploadSpec spec{data, 50000, false, onServer};
        const Outcome o = Upload(WithFile(server->url("/up load/"), name), spec);
        ExpectSucceeded(o);
        EXPECT_EQ(o.accepted, data.size());
        EXPECT_EQ(ReadFile(onServer), data);
        // The end comes only after the server has the whole file.
        EXPECT_EQ(o.sizeOnServerAtEnd, data.size());
        if (name == QLatin1String("big.bin")) {
            // A 50000-byte block does not fit the stream's buffer evenly.
            EXPECT_GT(o.partialWrites, 0);
            EXPECT_GT(o.count(kCFStreamEventCanAcceptBytes), 1);
        }
    }
    EXPECT_EQ(QDir(server->home() + "/up load").entryList(QDir::Files | QDir::Hidden).size(),
              names.size());
}

TEST_P(RealServer, ListsAFolderAndReadsAFile) {
    QDir(server->home()).mkpath(QStringLiteral("dir"));
    WriteFile(server->home() + "/dir/alpha.txt", "a");
    WriteFile(server->home() + "/dir/beta gamma.txt", RandomBytes(1000));
    const QByteArray file = RandomBytes(2 * 1024 * 1024);
    WriteFile(server->home() + "/dir/file.bin", file);

    const Outcome listing = List(server->url("/dir/"));
    ExpectSucceeded(listing);
    // Listings come in ASCII mode, with the line ends made LF.
    const QString text = QString::fromUtf8(listing.data);
    EXPECT_TRUE(text.contains(QLatin1String(" alpha.txt\n"))) << U8(text);
    EXPECT_TRUE(text.contains(QLatin1String(" beta gamma.txt\n"))) << U8(text);
    EXPECT_TRUE(text.contains(QLatin1String(" file.bin\n"))) << U8(text);
    EXPECT_FALSE(text.contains('\r'));

    const Outcome read = List(server->url("/dir/file.bin"));
    ExpectSucceeded(read);
    EXPECT_EQ(read.data, file);

    // Unscheduled, the stream reads synchronously.
    CFReadStreamRef s = CFReadStreamCreateWithFTPURL(server->url("/dir/file.bin"));
    Apply(s, Options{}, CFReadStreamSetProperty);
    ASSERT_TRUE(CFReadStreamOpen(s));
    QByteArray got;
    UInt8 buffer[65536];
    CFIndex n;
    while ((n = CFReadStreamRead(s, buffer, sizeof buffer)) > 0)
        got.append(reinterpret_cast<const char*>(buffer), n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(CFReadStreamGetStatus(s), kCFStreamStatusAtEnd);
    EXPECT_EQ(got, file);
    CFRelease(s);

    const Outcome missing = List(server->url("/no such folder/"));
    ExpectFailed(missing, kCFStreamErrorDomainFTP, 550);
}

TEST_P(RealServer, ConsecutiveUploadsFromTwoThreadsShareOneLogin) {
    const QByteArray a = RandomBytes(100000), b = RandomBytes(5000);
    ExpectSucceeded(Upload(WithFile(server->url("/"), "a.bin"), {a}));
    ExpectSucceeded(Upload(WithFile(server->url("/"), "b.bin"), {b}));
    EXPECT_EQ(ReadFile(server->home() + "/a.bin"), a);
    EXPECT_EQ(ReadFile(server->home() + "/b.bin"), b);
    EXPECT_EQ(server->loginCount(), 1) << U8(server->logText());

    // Without persistent connections each transfer logs in anew.
    Options fresh;
    fresh.persistent = false;
    ExpectSucceeded(Upload(WithFile(server->url("/"), "c.bin"), {a}, fresh));
    ExpectSucceeded(Upload(WithFile(server->url("/"), "d.bin"), {b}, fresh));
    EXPECT_EQ(server->loginCount(), 3);
}

TEST_P(RealServer, ManySmallFilesGoWithoutDelays) {
    // Each transfer on its own thread, as the engine does; with the login
    // kept and no waiting between steps 100 small files take well under a
    // second here. A step that waits for a time-out costs a second or more.
    const QByteArray data = RandomBytes(4096);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) {
        const Outcome o =
            Upload(WithFile(server->url("/"), QStringLiteral("f%1.bin").arg(i)), {data}, {}, 20s);
        ASSERT_TRUE(o.ended) << i << " " << o.error;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 10.0);
    EXPECT_EQ(server->loginCount(), 1);
    EXPECT_EQ(ReadFile(server->home() + "/f99.bin"), data);
}

TEST_P(RealServer, ActiveModeWhenPassiveIsOff) {
    Options active;
    active.passive = false;
    const QByteArray data = RandomBytes(300000);
    ExpectSucceeded(Upload(WithFile(server->url("/"), "active.bin"), {data}, active));
    EXPECT_EQ(ReadFile(server->home() + "/active.bin"), data);
    const QString log = server->logText();
    EXPECT_TRUE(log.contains(QLatin1String("EPRT")) || log.contains(QLatin1String("PORT ")))
        << U8(log);
    EXPECT_FALSE(log.contains(QLatin1String("EPSV")) || log.contains(QLatin1String("PASV")));
}

TEST_P(RealServer, WrongPasswordAndMissingFolderGiveTheReplyCodes) {
    Options wrong;
    wrong.password = QStringLiteral("not the password");
    ExpectFailed(Upload(WithFile(server->url("/"), "x.bin"), {"x"}, wrong), kCFStreamErrorDomainFTP,
                 530);
    ExpectFailed(Upload(WithFile(server->url("/missing/"), "x.bin"), {"x"}),
                 kCFStreamErrorDomainFTP, 550);
    // The failures leave nothing behind that spoils the next transfer.
    ExpectSucceeded(Upload(WithFile(server->url("/"), "ok.bin"), {"ok"}));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServer,
                         ::testing::Values(FtpServer::Kind::Pyftpdlib, FtpServer::Kind::Proftpd),
                         [](const auto& info) {
                             return info.param == FtpServer::Kind::Proftpd ? "proftpd"
                                                                           : "pyftpdlib";
                         });

// ----------------------------------------------------------------------------
// The fault server.

class FaultServer : public ::testing::Test {
protected:
    void SetUp() override { plat::FTPCloseIdleConnections(); }
    void TearDown() override { plat::FTPCloseIdleConnections(); }

    static QJsonObject Rule(const char* command, const char* reply, bool close = false) {
        return QJsonObject{{"command", command}, {"reply", reply}, {"close", close}};
    }
};

TEST_F(FaultServer, ReplyCodesAtEachCommandReachTheClient) {
    struct Case {
        const char* command;
        const char* reply;
        bool close;
        enum { Upload, Listing, Retrieve } op;
        SInt32 code;
    };
    const Case cases[] = {
        {"CONNECT", "421 Too many users", true, Case::Upload, 421},
        {"USER", "530 Not you", false, Case::Upload, 530},
        {"USER", "421 Going down", true, Case::Upload, 421},
        {"PASS", "530 Login incorrect", false, Case::Upload, 530},
        {"PASS", "421 Going down", true, Case::Upload, 421},
        {"CWD", "550 No such folder", false, Case::Upload, 550},
        {"CWD", "421 Going down", true, Case::Upload, 421},
        {"EPSV", "421 Going down", true, Case::Upload, 421},
        {"TYPE", "421 Going down", true, Case::Upload, 421},
        {"STOR", "550 Permission denied", false, Case::Upload, 550},
        {"STOR", "552 Quota exceeded", false, Case::Upload, 552},
        {"STOR", "452 Disk full", false, Case::Upload, 452},
        {"STOR", "553 Bad name", false, Case::Upload, 553},
        {"STOR", "421 Going down", true, Case::Upload, 421},
        {"STOR-END", "552 Quota exceeded", false, Case::Upload, 552},
        {"STOR-END", "452 Disk full", false, Case::Upload, 452},
        {"STOR-END", "426 Aborted", false, Case::Upload, 426},
        {"STOR-END", "421 Going down", true, Case::Upload, 421},
        {"LIST", "550 No access", false, Case::Listing, 550},
        {"LIST", "421 Going down", true, Case::Listing, 421},
        {"RETR", "550 No such file", false, Case::Retrieve, 550},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " " + c.reply);
        FaultFtpServer server(
            QJsonObject{{"rules", QJsonArray{Rule(c.command, c.reply, c.close)}}});
        ASSERT_TRUE(server.isRunning()) << U8(server.startError());
        QDir(server.home()).mkpath(QStringLiteral("in"));
        WriteFile(server.home() + "/in/file.bin", "data");
        Outcome o;
        if (c.op == Case::Upload)
            o = Upload(WithFile(server.url("/in/"), "up.bin"), {RandomBytes(200000)});
        else
            o = List(server.url(c.op == Case::Listing ? "/in/" : "/in/file.bin"));
        ExpectFailed(o, kCFStreamErrorDomainFTP, c.code);
        plat::FTPCloseIdleConnections();
    }
}

TEST_F(FaultServer, RefusedAndClosedConnections) {
    const quint16 port = UnusedPort();
    QUrl url = QUrl(QStringLiteral("ftp://127.0.0.1/x.bin"));
    url.setPort(port);
    ExpectFailed(Upload(url, {"x"}), kCFStreamErrorDomainPOSIX, ECONNREFUSED);

    FaultFtpServer closing(QJsonObject{{"refuse", "close"}});
    ASSERT_TRUE(closing.isRunning());
    const Outcome o = Upload(WithFile(closing.url("/"), "x.bin"), {"x"});
    EXPECT_TRUE(o.failed);
    EXPECT_FALSE(o.ended);
    EXPECT_EQ(o.error.domain, kCFStreamErrorDomainPOSIX) << o.error;
    EXPECT_EQ(o.error.error, ECONNRESET) << o.error;
}

TEST_F(FaultServer, StalledServerTimesOutWithinTheStallTime) {
    ScopedEnv stall("LOFTWISE_FTP_STALL_SECONDS", "2");
    {
        SCOPED_TRACE("data connection no longer read");
        FaultFtpServer server(QJsonObject{{"stor_stall_after", 65536}});
        ASSERT_TRUE(server.isRunning());
        UploadSpec endless{{}, 32768, true, {}};
        const Outcome o = Upload(WithFile(server.url("/"), "stall.bin"), endless, {}, 40s);
        ExpectFailed(o, kCFStreamErrorDomainPOSIX, ETIMEDOUT);
        EXPECT_LT(o.seconds, 20);
        EXPECT_GT(o.accepted, 65536);
    }
    for (const char* command : {"PASS", "STOR", "LIST", "STOR-END"}) {
        SCOPED_TRACE(std::string("no reply to ") + command);
        FaultFtpServer server(
            QJsonObject{{"rules", QJsonArray{QJsonObject{{"command", command}, {"stall", true}}}}});
        ASSERT_TRUE(server.isRunning());
        const Outcome o = std::string(command) == "LIST"
                              ? List(server.url("/"), {}, 40s)
                              : Upload(WithFile(server.url("/"), "s.bin"), {"abc"}, {}, 40s);
        ExpectFailed(o, kCFStreamErrorDomainPOSIX, ETIMEDOUT);
        EXPECT_GE(o.seconds, 1.5);
        EXPECT_LT(o.seconds, 20);
        plat::FTPCloseIdleConnections();
    }
}

TEST_F(FaultServer, DroppedDataConnectionIsAnErrorNeverAnEnd) {
    FaultFtpServer server(QJsonObject{{"stor_drop_after", 100000}});
    ASSERT_TRUE(server.isRunning());
    const Outcome o =
        Upload(WithFile(server.url("/"), "drop.bin"), {RandomBytes(16 * 1024 * 1024)});
    EXPECT_TRUE(o.failed);
    EXPECT_FALSE(o.ended);
    EXPECT_EQ(o.count(kCFStreamEventEndEncountered), 0);
    const bool reset = o.error.domain == kCFStreamErrorDomainPOSIX && o.error.error == ECONNRESET;
    const bool aborted = o.error.domain == kCFStreamErrorDomainFTP && o.error.error == 426;
    EXPECT_TRUE(reset || aborted) << o.error;
}

TEST_F(FaultServer, PassiveReplyNamingAnotherAddressIsNotDialled) {
    FaultFtpServer server(QJsonObject{{"epsv", false}, {"pasv_address", "10.1.2.3"}});
    ASSERT_TRUE(server.isRunning());
    const QByteArray data = RandomBytes(250000);
    ExpectSucceeded(Upload(WithFile(server.url("/"), "pasv.bin"), {data}));
    EXPECT_EQ(ReadFile(server.home() + "/pasv.bin"), data);
    EXPECT_EQ(server.announcedPasvAddresses(), QStringList{"10.1.2.3"});
    // The data connection went to the control connection's address.
    const QStringList peers = server.dataPeers();
    ASSERT_EQ(peers.size(), 1);
    EXPECT_TRUE(peers[0].startsWith(QLatin1String("127.0.0.1:")));
}

TEST_F(FaultServer, ControlCharactersAreRefusedBeforeConnecting) {
    FaultFtpServer server;
    ASSERT_TRUE(server.isRunning());
    struct Case {
        const char* what;
        QUrl url;
        Options setup;
    };
    Options badUser, badPassword, nulPassword;
    badUser.user = QStringLiteral("test\r\nDELE x");
    badPassword.password = QStringLiteral("secret\nDELE x");
    nulPassword.password = QString::fromUtf8("sec\0ret", 7);
    QUrl badPath = server.url("/");
    badPath.setPath(QStringLiteral("/x\r\nDELE y"), QUrl::DecodedMode);
    QUrl nulPath = server.url("/");
    nulPath.setPath(QString::fromUtf8("/x\0y", 4), QUrl::DecodedMode);
    QUrl encodedPath(QStringLiteral("ftp://127.0.0.1/a%0D%0ADELE%20b"));
    encodedPath.setPort(server.port());
    QUrl badURLUser = WithFile(server.url("/"), "x.bin");
    Options fromURL;
    fromURL.credentials = false;
    badURLUser.setUserName(QStringLiteral("te\nst"));
    const Case cases[] = {
        {"user name", WithFile(server.url("/"), "x.bin"), badUser},
        {"password", WithFile(server.url("/"), "x.bin"), badPassword},
        {"NUL in password", WithFile(server.url("/"), "x.bin"), nulPassword},
        {"path", badPath, {}},
        {"NUL in path", nulPath, {}},
        {"encoded path", encodedPath, {}},
        {"user name in the URL", badURLUser, fromURL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome up = Upload(c.url, {"x"}, c.setup);
        EXPECT_FALSE(up.opened);
        EXPECT_EQ(up.error.domain, kCFStreamErrorDomainLoftwise) << up.error;
        EXPECT_EQ(up.error.error, kLoftwiseStreamErrorControlCharacter) << up.error;
        EXPECT_TRUE(up.events.empty());
        const Outcome list = List(c.url, c.setup);
        EXPECT_FALSE(list.opened);
        EXPECT_EQ(list.error.error, kLoftwiseStreamErrorControlCharacter) << list.error;
    }
    // A host with a line break makes no valid URL at all; it is refused as such.
    const QUrl badHost(QStringLiteral("ftp://127.0.0.1\r\n:%1/x.bin").arg(server.port()));
    const Outcome host = Upload(badHost, {"x"});
    EXPECT_FALSE(host.opened);
    EXPECT_EQ(host.error.domain, kCFStreamErrorDomainLoftwise) << host.error;
    EXPECT_EQ(host.error.error, kLoftwiseStreamErrorBadURL) << host.error;

    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(server.connectionCount(), 0);
}

bool ServerClosedASession(const FaultFtpServer& server) {
    const auto events = server.events();
    return std::any_of(events.begin(), events.end(),
                       [](const auto& e) { return e.type == QLatin1String("CLOSE"); });
}

// The whole conversation the server saw, in order, and the bytes that
// arrived. A finished transfer leaves its login waiting in the pool, so the
// server sees QUIT only when the pool is emptied.
TEST_F(FaultServer, WholeConversations) {
    const QString line = QStringLiteral("-rw-r--r--   1 owner group  5 Jan  1 00:00 a.txt");
    const QJsonObject listing{{"list_fragments", QJsonArray{line + "\r\n"}}};
    const QByteArray listed = (line + '\n').toUtf8();
    struct Step {
        const char* name; // a file to store; nullptr: list the top folder
        QByteArray data;  // what is stored / what the listing delivers
    };
    struct Case {
        const char* what;
        QJsonObject script;
        std::vector<Step> steps;
        QStringList commands; // before QUIT
        QStringList states;   // traced with LOFTWISE_FTP_DEBUG, when given
    };
    const Case cases[] = {
        {"one upload",
         {},
         {{"a.txt", "alpha"}},
         {"USER test", "PASS secret", "PWD", "EPSV", "TYPE I", "STOR a.txt"},
         {"NotOpen -> Opening", "Opening -> Open", "Open -> Done", "Done -> Closed"}},
        {"one listing",
         listing,
         {{nullptr, listed}},
         {"USER test", "PASS secret", "PWD", "EPSV", "TYPE A", "LIST"},
         {}},
        {"two uploads and a listing on one login",
         listing,
         {{"one.bin", "1"}, {"two.bin", "22"}, {nullptr, listed}},
         {"USER test", "PASS secret", "PWD", "EPSV", "TYPE I", "STOR one.bin", "EPSV",
          "STOR two.bin", "EPSV", "TYPE A", "LIST"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FaultFtpServer server(c.script);
        ASSERT_TRUE(server.isRunning()) << U8(server.startError());
        std::optional<ScopedEnv> debug;
        if (!c.states.isEmpty()) {
            debug.emplace("LOFTWISE_FTP_DEBUG", "1");
            ::testing::internal::CaptureStderr();
        }
        for (const Step& step : c.steps) {
            if (step.name) {
                ExpectSucceeded(Upload(WithFile(server.url("/"), step.name), {step.data}));
                EXPECT_EQ(ReadFile(server.home() + '/' + step.name), step.data);
            } else {
                const Outcome o = List(server.url("/"));
                ExpectSucceeded(o);
                EXPECT_EQ(o.data, step.data);
            }
        }
        EXPECT_EQ(server.commands(), c.commands) << U8(server.commands().join('|'));
        EXPECT_EQ(server.connectionCount(), 1);
        if (debug) {
            const QString trace = QString::fromStdString(::testing::internal::GetCapturedStderr());
            QStringList states;
            for (const QString& l : trace.split('\n'))
                if (l.startsWith(QLatin1String("* FTP state "))) states.push_back(l.mid(12));
            EXPECT_EQ(states, c.states) << U8(trace);
            EXPECT_TRUE(trace.contains(QLatin1String("> PASS ****"))) << U8(trace);
            EXPECT_FALSE(trace.contains(QLatin1String("secret"))) << U8(trace);
        }

        plat::FTPCloseIdleConnections();
        EXPECT_TRUE(WaitUntil([&] { return ServerClosedASession(server); }));
        EXPECT_EQ(server.commands(), c.commands + QStringList{"QUIT"})
            << U8(server.commands().join('|'));
    }

    // Another account is another connection.
    FaultFtpServer server;
    ASSERT_TRUE(server.isRunning());
    ExpectSucceeded(Upload(WithFile(server.url("/"), "one.bin"), {"1"}));
    Options other;
    other.user = QStringLiteral("someone");
    ExpectFailed(Upload(WithFile(server.url("/"), "three.bin"), {"3"}, other),
                 kCFStreamErrorDomainFTP, 530);
    EXPECT_EQ(server.connectionCount(), 2);
}

TEST_F(FaultServer, ConnectionClosedByTheServerIsReopenedOnce) {
    {
        SCOPED_TRACE("closed while idle");
        FaultFtpServer server(
            QJsonObject{{"close_idle_after", 0.2}, {"close_idle_reply", "421 Idle too long"}});
        ASSERT_TRUE(server.isRunning());
        ExpectSucceeded(Upload(WithFile(server.url("/"), "one.bin"), {"1"}));
        ASSERT_TRUE(WaitUntil([&] { return ServerClosedASession(server); }));
        ExpectSucceeded(Upload(WithFile(server.url("/"), "two.bin"), {"22"}));
        EXPECT_EQ(ReadFile(server.home() + "/two.bin"), "22");
        EXPECT_EQ(server.connectionCount(), 2);
        EXPECT_EQ(server.loginCount(), 2);
        plat::FTPCloseIdleConnections();
    }
    {
        SCOPED_TRACE("closed just as it is used again");
        QJsonObject rule = Rule("EPSV", "421 Closing", true);
        rule["skip"] = 1;
        rule["times"] = 1;
        FaultFtpServer server(QJsonObject{{"rules", QJsonArray{rule}}});
        ASSERT_TRUE(server.isRunning());
        ExpectSucceeded(Upload(WithFile(server.url("/"), "one.bin"), {"1"}));
        ExpectSucceeded(Upload(WithFile(server.url("/"), "two.bin"), {"22"}));
        EXPECT_EQ(ReadFile(server.home() + "/two.bin"), "22");
        EXPECT_EQ(server.connectionCount(), 2);
        plat::FTPCloseIdleConnections();
    }
    {
        SCOPED_TRACE("only once");
        QJsonObject rule = Rule("EPSV", "421 Closing", true);
        rule["skip"] = 1;
        FaultFtpServer server(QJsonObject{{"rules", QJsonArray{rule}}});
        ASSERT_TRUE(server.isRunning());
        ExpectSucceeded(Upload(WithFile(server.url("/"), "one.bin"), {"1"}));
        ExpectFailed(Upload(WithFile(server.url("/"), "two.bin"), {"22"}), kCFStreamErrorDomainFTP,
                     421);
        EXPECT_EQ(server.connectionCount(), 2);
    }
}

TEST_F(FaultServer, PassiveReplyAlreadyThereIsActedOnAtOnce) {
    // With the reply in hand at once, curl dials the data connection only
    // when it is called again, and asks for no socket or timer to be called.
    // Waiting for one of its own timers instead costs 200 ms a transfer.
    FaultFtpServer server(QJsonObject{{"eager_epsv", true}});
    ASSERT_TRUE(server.isRunning());
    Options fresh; // a new connection, and so a new PWD, each time
    fresh.persistent = false;
    double seconds = 0;
    for (int i = 0; i < 5; ++i) {
        const Outcome o = Upload(WithFile(server.url("/"), "eager.bin"), {"now"}, fresh, 40s);
        ExpectSucceeded(o);
        seconds += o.seconds;
    }
    EXPECT_LT(seconds, 0.9);
    EXPECT_EQ(ReadFile(server.home() + "/eager.bin"), "now");
    EXPECT_EQ(server.connectionCount(), 5);
}

TEST_F(FaultServer, ListingInFragmentsArrivesWhole) {
    const QStringList fragments = {"-rw-r--r--   1 owner group  10 Jan  1 00:00 fi",
                                   "rst.txt\r\ndrwxr-xr-x   2 owner group  4096 Jan  1 00:00 se",
                                   "cond\r",
                                   "\n-rw-r--r--   1 owner group  0 Jan  1 00:00 third\r\n"};
    FaultFtpServer server(QJsonObject{{"list_fragments", QJsonArray::fromStringList(fragments)},
                                      {"list_delay", 0.2}});
    ASSERT_TRUE(server.isRunning());
    const Outcome o = List(server.url("/"));
    ExpectSucceeded(o);
    // Line ends become LF, also where a CR LF is split between two reads.
    EXPECT_EQ(o.data, fragments.join(QString()).replace("\r\n", "\n").toUtf8());
    EXPECT_GE(o.count(kCFStreamEventHasBytesAvailable), 2);
}

TEST_F(FaultServer, StopFromAnotherThreadWakesTheLoop) {
    FaultFtpServer server(
        QJsonObject{{"rules", QJsonArray{QJsonObject{{"command", "LIST"}, {"stall", true}}}}});
    ASSERT_TRUE(server.isRunning());
    std::atomic<bool> opened{false};
    std::atomic<CFRunLoop*> loop{nullptr};
    std::promise<void> returned;
    auto done = returned.get_future();
    std::thread worker([&] {
        loop = CFRunLoopGetCurrent();
        CFReadStreamRef s = CFReadStreamCreateWithFTPURL(server.url("/"));
        Apply(s, Options{}, CFReadStreamSetProperty);
        CFStreamClientContext context{0, &opened, nullptr, nullptr, nullptr};
        CFReadStreamSetClient(
            s, kCFStreamEventOpenCompleted,
            [](CFReadStreamRef, CFStreamEventType, void* info) {
                static_cast<std::atomic<bool>*>(info)->store(true);
            },
            &context);
        CFReadStreamScheduleWithRunLoop(s, CFRunLoopGetCurrent(), kCFRunLoopCommonModes);
        if (CFReadStreamOpen(s)) CFRunLoopRun();
        returned.set_value();
        CFRelease(s);
    });
    EXPECT_TRUE(WaitUntil([&] { return opened.load(); }));
    std::this_thread::sleep_for(100ms); // the loop is asleep in poll now
    const auto start = std::chrono::steady_clock::now();
    CFRunLoopStop(loop);
    const bool woke = done.wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(woke);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    while (done.wait_for(100ms) != std::future_status::ready)
        CFRunLoopStop(loop);
    worker.join();
}

// ----------------------------------------------------------------------------
// Proxies.

TEST(Proxies, SettingsFromTheEnvironment) {
    auto proxies = [] { return SCDynamicStoreCopyProxies(nullptr).value_or(PlistDictionary{}); };
    auto integer = [](const PlistDictionary& d, const QString& k) -> int64_t {
        auto it = d.find(k);
        return it != d.end() && it->second.asInteger() ? *it->second.asInteger() : -1;
    };
    auto string = [](const PlistDictionary& d, const QString& k) {
        auto it = d.find(k);
        return it != d.end() && it->second.asString() ? *it->second.asString() : QString();
    };
    ScopedEnv a("ftp_proxy", nullptr), b("FTP_PROXY", nullptr), c("all_proxy", nullptr),
        d("ALL_PROXY", nullptr), e("no_proxy", nullptr), f("NO_PROXY", nullptr),
        g("FTP_PASSIVE_MODE", nullptr);

    PlistDictionary none = proxies();
    EXPECT_EQ(integer(none, kSCPropNetProxiesFTPEnable), 0);
    EXPECT_EQ(integer(none, kSCPropNetProxiesFTPPassive), 1);
    EXPECT_EQ(none.count(kSCPropNetProxiesFTPProxy), 0u);

    {
        ScopedEnv p("ftp_proxy", "http://proxy.example:3128");
        ScopedEnv all("all_proxy", "socks5h://other:1080");
        const PlistDictionary p1 = proxies();
        EXPECT_EQ(integer(p1, kSCPropNetProxiesFTPEnable), 1);
        EXPECT_EQ(string(p1, kSCPropNetProxiesFTPProxy), "proxy.example");
        EXPECT_EQ(integer(p1, kSCPropNetProxiesFTPPort), 3128);
        EXPECT_EQ(string(p1, kLoftwisePropNetProxiesFTPProxyScheme), "http");
    }
    {
        ScopedEnv p("FTP_PROXY", "ftp://gate:2121");
        const PlistDictionary p2 = proxies();
        EXPECT_EQ(string(p2, kSCPropNetProxiesFTPProxy), "gate");
        EXPECT_EQ(integer(p2, kSCPropNetProxiesFTPPort), 2121);
        EXPECT_EQ(string(p2, kLoftwisePropNetProxiesFTPProxyScheme), "ftp");
    }
    {
        ScopedEnv all("ALL_PROXY", "socks5h://sock:1081");
        const PlistDictionary p3 = proxies();
        EXPECT_EQ(string(p3, kSCPropNetProxiesFTPProxy), "sock");
        EXPECT_EQ(integer(p3, kSCPropNetProxiesFTPPort), 1081);
        EXPECT_EQ(string(p3, kLoftwisePropNetProxiesFTPProxyScheme), "socks5h");
    }
    {
        ScopedEnv p("ftp_proxy", "bare.example:8080");
        const PlistDictionary p4 = proxies();
        EXPECT_EQ(string(p4, kSCPropNetProxiesFTPProxy), "bare.example");
        EXPECT_EQ(integer(p4, kSCPropNetProxiesFTPPort), 8080);
        EXPECT_EQ(string(p4, kLoftwisePropNetProxiesFTPProxyScheme), "http");
    }
    {
        ScopedEnv p("ftp_proxy", "gopher://nope:70");
        EXPECT_EQ(integer(proxies(), kSCPropNetProxiesFTPEnable), 0);
    }
    {
        ScopedEnv n("no_proxy", "a.com, .b.org ,10.0.0.0/8");
        const PlistDictionary p5 = proxies();
        auto it = p5.find(kSCPropNetProxiesExceptionsList);
        ASSERT_NE(it, p5.end());
        EXPECT_EQ(it->second, PlistValue(PlistArray{"a.com", ".b.org", "10.0.0.0/8"}));
    }
    for (const char* v : {"no", "NO", "0", "False"}) {
        ScopedEnv m("FTP_PASSIVE_MODE", v);
        EXPECT_EQ(integer(proxies(), kSCPropNetProxiesFTPPassive), 0) << v;
    }
    for (const char* v : {"yes", "1", ""}) {
        ScopedEnv m("FTP_PASSIVE_MODE", v);
        EXPECT_EQ(integer(proxies(), kSCPropNetProxiesFTPPassive), 1) << v;
    }
}

TEST(Proxies, ExceptionMatching) {
    const PlistArray list = {"example.com", ".only-sub.org", "*.star.net",
                             "10.0.0.0/8",  "169.254/16",    "192.0.2.7"};
    auto m = [&](const char* host) { return plat::ProxyExceptionMatches(host, list); };
    EXPECT_TRUE(m("example.com"));
    EXPECT_TRUE(m("ftp.example.com"));
    EXPECT_FALSE(m("notexample.com"));
    EXPECT_FALSE(m("only-sub.org"));
    EXPECT_TRUE(m("a.only-sub.org"));
    EXPECT_TRUE(m("x.star.net"));
    EXPECT_FALSE(m("star.net"));
    EXPECT_TRUE(m("10.20.30.40"));
    EXPECT_FALSE(m("11.0.0.1"));
    EXPECT_TRUE(m("169.254.3.4"));
    EXPECT_TRUE(m("192.0.2.7"));
    EXPECT_FALSE(m("192.0.2.8"));
    EXPECT_TRUE(m("127.0.0.1"));
    EXPECT_TRUE(m("localhost"));
    EXPECT_TRUE(m("::1"));
    EXPECT_FALSE(m("files.example.org"));
    EXPECT_TRUE(plat::ProxyExceptionMatches("anything.at.all", {"*"}));
}

PlistDictionary ProxyDict(const QString& scheme, quint16 port, PlistArray exceptions = {}) {
    return PlistDictionary{{kSCPropNetProxiesFTPEnable, PlistValue::integer(1)},
                           {kSCPropNetProxiesFTPProxy, "127.0.0.1"},
                           {kSCPropNetProxiesFTPPort, PlistValue::integer(port)},
                           {kLoftwisePropNetProxiesFTPProxyScheme, scheme},
                           {kSCPropNetProxiesExceptionsList, exceptions},
                           {kSCPropNetProxiesFTPPassive, PlistValue::integer(1)}};
}

TEST(ProxyUse, StreamsGoThroughTheProxyUnlessExcepted) {
    plat::FTPCloseIdleConnections();
    // An FTP proxy is logged in to as user@host; the destination's name is
    // never looked up here.
    FaultFtpServer gate(QJsonObject{{"user", "test@files.example.invalid"}});
    ASSERT_TRUE(gate.isRunning());
    Options viaGate;
    viaGate.proxy = ProxyDict("ftp", gate.port());
    const QUrl remote(QStringLiteral("ftp://files.example.invalid/up.bin"));
    ExpectSucceeded(Upload(remote, {"via proxy"}, viaGate));
    EXPECT_EQ(ReadFile(gate.home() + "/up.bin"), "via proxy");
    EXPECT_TRUE(gate.commands().contains("USER test@files.example.invalid"));

    // An HTTP proxy that is not there: the transfer fails at the proxy.
    Options viaHttp;
    viaHttp.proxy = ProxyDict("http", UnusedPort());
    ExpectFailed(Upload(remote, {"x"}, viaHttp), kCFStreamErrorDomainPOSIX, ECONNREFUSED);

    // A listed exception, and this machine itself, go direct.
    FaultFtpServer direct;
    ASSERT_TRUE(direct.isRunning());
    Options excepted;
    excepted.proxy = ProxyDict("http", UnusedPort(), {"127.0.0.1"});
    ExpectSucceeded(Upload(WithFile(direct.url("/"), "d1.bin"), {"1"}, excepted));
    Options loopback;
    loopback.proxy = ProxyDict("ftp", gate.port());
    ExpectSucceeded(Upload(WithFile(direct.url("/"), "d2.bin"), {"2"}, loopback));
    EXPECT_EQ(ReadFile(direct.home() + "/d2.bin"), "2");
    EXPECT_EQ(gate.connectionCount(), 1);
    plat::FTPCloseIdleConnections();
}

// ----------------------------------------------------------------------------
// Local file streams and run loops.

TEST(FileStream, ScheduledAndSynchronousReads) {
    const QString dir = MakeTempDir(QStringLiteral("files"));
    const QByteArray data = RandomBytes(200000);
    WriteFile(dir + "/f.bin", data);

    const Outcome o = Read(CFReadStreamCreateWithFile, QUrl::fromLocalFile(dir + "/f.bin"));
    ExpectSucceeded(o);
    EXPECT_EQ(o.data, data);
    EXPECT_GE(o.count(kCFStreamEventHasBytesAvailable), 1);

    CFReadStreamRef s = CFReadStreamCreateWithFile(QUrl::fromLocalFile(dir + "/f.bin"));
    ASSERT_TRUE(s);
    EXPECT_EQ(CFGetTypeID(s), CFReadStreamGetTypeID());
    EXPECT_NE(CFGetTypeID(s), CFWriteStreamGetTypeID());
    EXPECT_FALSE(CFReadStreamSetProperty(s, kCFStreamPropertyFTPUserName, "x"));
    ASSERT_TRUE(CFReadStreamOpen(s));
    QByteArray got;
    UInt8 buffer[32768];
    CFIndex n;
    while ((n = CFReadStreamRead(s, buffer, sizeof buffer)) > 0)
        got.append(reinterpret_cast<const char*>(buffer), n);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(got, data);
    CFRelease(s);

    CFReadStreamRef missing = CFReadStreamCreateWithFile(QUrl::fromLocalFile(dir + "/none"));
    ASSERT_TRUE(missing);
    EXPECT_FALSE(CFReadStreamOpen(missing));
    EXPECT_EQ(CFReadStreamGetError(missing).domain, kCFStreamErrorDomainPOSIX);
    EXPECT_EQ(CFReadStreamGetError(missing).error, ENOENT);
    EXPECT_EQ(CFReadStreamRead(missing, buffer, sizeof buffer), -1);
    CFRelease(missing);

    WriteFile(dir + "/empty", QByteArray());
    const Outcome empty = Read(CFReadStreamCreateWithFile, QUrl::fromLocalFile(dir + "/empty"));
    ExpectSucceeded(empty);
    EXPECT_TRUE(empty.data.isEmpty());
}

TEST(FileStream, OnlyRegularFilesAreOpened) {
    // A pipe must not block the open, a device must not be read without end.
    const QString dir = MakeTempDir(QStringLiteral("odd"));
    const QByteArray fifo = QFile::encodeName(dir + "/fifo");
    ASSERT_EQ(::mkfifo(fifo.constData(), 0600), 0);
    ASSERT_EQ(::symlink(fifo.constData(), QFile::encodeName(dir + "/to-fifo").constData()), 0);
    ASSERT_EQ(::symlink("/dev/zero", QFile::encodeName(dir + "/zero").constData()), 0);
    for (const char* name : {"fifo", "to-fifo", "zero"}) {
        SCOPED_TRACE(name);
        CFReadStreamRef s = CFReadStreamCreateWithFile(QUrl::fromLocalFile(dir + "/" + name));
        ASSERT_TRUE(s);
        EXPECT_FALSE(CFReadStreamOpen(s));
        const CFStreamError error = CFReadStreamGetError(s);
        EXPECT_EQ(error.domain, kCFStreamErrorDomainLoftwise) << error;
        EXPECT_EQ(error.error, kLoftwiseStreamErrorNotRegularFile) << error;
        EXPECT_TRUE(plat::StreamErrorText(error).contains("not a regular file"));
        UInt8 buffer[16];
        EXPECT_EQ(CFReadStreamRead(s, buffer, sizeof buffer), -1);
        CFRelease(s);
    }
}

TEST(FileStream, AFileChangedWhileReadEndsInAnErrorNotAnEnd) {
    struct Case {
        const char* what;
        std::function<void(const QByteArray& path)> change;
    };
    const Case cases[] = {
        {"grown",
         [](const QByteArray& path) {
             QFile f(QFile::decodeName(path));
             ASSERT_TRUE(f.open(QIODevice::Append));
             f.write(RandomBytes(50000));
         }},
        {"shrunk",
         [](const QByteArray& path) { ASSERT_EQ(::truncate(path.constData(), 40000), 0); }},
        {"rewritten in place",
         [](const QByteArray& path) {
             const timespec later[2] = {{0, UTIME_OMIT}, {std::time(nullptr) + 60, 0}};
             ASSERT_EQ(::utimensat(AT_FDCWD, path.constData(), later, 0), 0);
         }},
    };
    const QString dir = MakeTempDir(QStringLiteral("changing"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString path = dir + "/file.bin";
        WriteFile(path, RandomBytes(100000));
        CFReadStreamRef s = CFReadStreamCreateWithFile(QUrl::fromLocalFile(path));
        ASSERT_TRUE(CFReadStreamOpen(s));
        UInt8 buffer[32768];
        ASSERT_EQ(CFReadStreamRead(s, buffer, sizeof buffer), CFIndex(sizeof buffer));
        c.change(QFile::encodeName(path));
        CFIndex n;
        while ((n = CFReadStreamRead(s, buffer, sizeof buffer)) > 0) {}
        EXPECT_EQ(n, -1);
        EXPECT_EQ(CFReadStreamGetStatus(s), kCFStreamStatusError);
        EXPECT_EQ(CFReadStreamGetError(s).domain, kCFStreamErrorDomainLoftwise);
        EXPECT_EQ(CFReadStreamGetError(s).error, kLoftwiseStreamErrorFileChanged);
        CFRelease(s);
    }
}

TEST(RunLoop, OnePerThreadAndReturnsWhenEmpty) {
    CFRunLoopRef mine = CFRunLoopGetCurrent();
    EXPECT_EQ(mine, CFRunLoopGetCurrent());
    EXPECT_EQ(CFGetTypeID(mine), CFRunLoopGetTypeID());
    CFRunLoopRef theirs = nullptr;
    std::thread([&] {
        theirs = CFRunLoopGetCurrent();
        CFRunLoopRun(); // nothing scheduled: returns at once
    }).join();
    EXPECT_NE(mine, theirs);
}

TEST(StreamProperties, CheckedAndOnlyBeforeOpen) {
    CFWriteStreamRef s = CFWriteStreamCreateWithFTPURL(QUrl("ftp://127.0.0.1:1/x"));
    ASSERT_TRUE(s);
    EXPECT_EQ(CFGetTypeID(s), CFWriteStreamGetTypeID());
    EXPECT_FALSE(CFWriteStreamSetProperty(s, kCFStreamPropertyFTPUserName, PlistValue::integer(1)));
    EXPECT_FALSE(CFWriteStreamSetProperty(s, kCFStreamPropertyFTPProxy, "not a dictionary"));
    EXPECT_FALSE(CFWriteStreamSetProperty(s, QStringLiteral("unknown"), "x"));
    EXPECT_TRUE(CFWriteStreamSetProperty(s, kCFStreamPropertyFTPUsePassiveMode,
                                         PlistValue::boolean(false)));
    EXPECT_EQ(CFWriteStreamGetStatus(s), kCFStreamStatusNotOpen);
    EXPECT_EQ(CFWriteStreamWrite(s, reinterpret_cast<const UInt8*>("x"), 1), -1);
    CFRelease(s);

    CFWriteStreamRef folder = CFWriteStreamCreateWithFTPURL(QUrl("ftp://127.0.0.1:1/dir/"));
    EXPECT_FALSE(CFWriteStreamOpen(folder));
    EXPECT_EQ(CFWriteStreamGetError(folder).domain, kCFStreamErrorDomainLoftwise);
    EXPECT_EQ(CFWriteStreamGetError(folder).error, kLoftwiseStreamErrorBadURL);
    CFRelease(folder);
    EXPECT_EQ(CFWriteStreamCreateWithFTPURL(QUrl("http://127.0.0.1/x")), nullptr);
}

} // namespace
