// URL loading against the scripted HTTP server: the exact order of the
// delegate callbacks for connections and downloads, time-outs, cut-off
// bodies, cancelling and releasing from inside a callback, and the files a
// download leaves behind.
#include "platform/URLLoading.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QPointer>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

// Readable failures for recorded callbacks and file contents.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << bytes.size() << " bytes";
}

using namespace testing_support;

namespace {

QByteArray Pattern(int n) {
    QByteArray b(n, Qt::Uninitialized);
    for (int i = 0; i < n; ++i)
        b[i] = char(i % 251);
    return b;
}

// Consecutive pieces of data as one line with their total, so that the
// sequence does not depend on how the bytes were split.
void Record(QStringList& lines, const QString& line, qint64 dataLength = -1) {
    if (dataLength >= 0 && !lines.isEmpty() && lines.last().startsWith(QLatin1String("data "))) {
        lines.last() = QStringLiteral("data %1").arg(lines.last().mid(5).toLongLong() + dataLength);
        return;
    }
    lines << line;
}

bool Ended(const QStringList& lines) {
    return !lines.isEmpty() && (lines.last() == QLatin1String("finish") ||
                                lines.last().startsWith(QLatin1String("fail")));
}

QString ResponseLine(const NSURLResponse& r) {
    return QStringLiteral("response %1 len=%2").arg(r.statusCode()).arg(r.expectedContentLength());
}

// Which callback runs the hook: "response", "data", "finish", "fail",
// "create".
using Hook = std::function<void(QObject*, const QString& at)>;

struct ConnectionRecorder : NSURLConnectionDelegate {
    QStringList lines;
    QByteArray body;
    NSError error;
    Hook hook;

    void at(NSURLConnection* c, const QString& where) {
        if (hook) hook(c, where);
    }
    void connectionDidReceiveResponse(NSURLConnection* c, const NSURLResponse& r) override {
        Record(lines, ResponseLine(r));
        at(c, QStringLiteral("response"));
    }
    void connectionDidReceiveData(NSURLConnection* c, const QByteArray& data) override {
        Record(lines, QStringLiteral("data %1").arg(data.size()), data.size());
        body += data;
        at(c, QStringLiteral("data"));
    }
    void connectionDidFailWithError(NSURLConnection* c, const NSError& e) override {
        Record(lines, QStringLiteral("fail %1").arg(e.code));
        error = e;
        at(c, QStringLiteral("fail"));
    }
    void connectionDidFinishLoading(NSURLConnection* c) override {
        Record(lines, QStringLiteral("finish"));
        at(c, QStringLiteral("finish"));
    }
};

// Puts the file into folder under the suggested name; records paths
// relative to folder.
struct DownloadRecorder : NSURLDownloadDelegate {
    QString folder, subfolder;
    bool setDestination = true, allowOverwrite = false;
    QStringList lines;
    NSError error;
    Hook hook;

    QString relative(const QString& path) const { return QDir(folder).relativeFilePath(path); }
    void at(NSURLDownload* d, const QString& where) {
        if (hook) hook(d, where);
    }
    void downloadDecideDestinationWithSuggestedFilename(NSURLDownload* d,
                                                        const QString& name) override {
        Record(lines, QStringLiteral("decide ") + name);
        if (!setDestination) return;
        const QString dir = subfolder.isEmpty() ? folder : folder + QLatin1Char('/') + subfolder;
        d->setDestinationAllowOverwrite(dir + QLatin1Char('/') + name, allowOverwrite);
    }
    void downloadDidCreateDestination(NSURLDownload* d, const QString& path) override {
        Record(lines, QStringLiteral("create ") + relative(path));
        at(d, QStringLiteral("create"));
    }
    void downloadDidReceiveResponse(NSURLDownload* d, const NSURLResponse& r) override {
        Record(lines, ResponseLine(r));
        at(d, QStringLiteral("response"));
    }
    void downloadDidReceiveDataOfLength(NSURLDownload* d, unsigned long long n) override {
        Record(lines, QStringLiteral("data %1").arg(n), qint64(n));
        at(d, QStringLiteral("data"));
    }
    void downloadDidFinish(NSURLDownload* d) override {
        Record(lines, QStringLiteral("finish"));
        at(d, QStringLiteral("finish"));
    }
    void downloadDidFailWithError(NSURLDownload* d, const NSError& e) override {
        Record(lines, QStringLiteral("fail %1").arg(e.code));
        error = e;
        at(d, QStringLiteral("fail"));
    }
};

// Every file in folder, hidden ones too, as paths relative to it.
QStringList FilesIn(const QString& folder) {
    QStringList out;
    const QDir dir(folder);
    for (const QString& name : dir.entryList(
             QDir::Files | QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name)) {
        if (QFileInfo(dir.filePath(name)).isDir()) {
            for (const QString& inner : FilesIn(dir.filePath(name)))
                out << name + QLatin1Char('/') + inner;
        } else {
            out << name;
        }
    }
    return out;
}

class URLLoadingTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.isRunning()) << server.startError().toStdString(); }

    NSURLRequest
    Request(const QString& url,
            NSURLRequestCachePolicy policy = NSURLRequestReloadIgnoringLocalCacheData) {
        return NSURLRequest::requestWithURLCachePolicyTimeoutInterval(QUrl(url), policy, 10.0);
    }

    HttpServer server;
};

// --- connections -----------------------------------------------------------

struct ConnectionCase {
    const char* name;
    QJsonObject route; // empty: no route, the server's 404 page
    QStringList expected;
    const char* timeoutMs = nullptr;
    const char* description = nullptr;
    bool refused = false;
};

TEST_F(URLLoadingTest, ConnectionCallbacksInOrder) {
    const ConnectionCase cases[] = {
        {"length", {{"body_size", 1000}}, {"response 200 len=1000", "data 1000", "finish"}},
        {"no length",
         {{"body_size", 1000}, {"length", false}},
         {"response 200 len=-1", "data 1000", "finish"}},
        {"redirected",
         {{"status", 302}, {"headers", QJsonObject{{"Location", "/c/length"}}}},
         {"response 200 len=1000", "data 1000", "finish"}},
        {"empty", {{"body", ""}}, {"response 200 len=0", "finish"}},
        {"not found", {}, {"response 404 len=48", "data 48", "finish"}},
        {"cut short",
         {{"body_size", 1000}, {"cut_after", 300}},
         {"response 200 len=1000", "data 300", "fail -1005"},
         nullptr,
         "The network connection was lost."},
        {"error status cut short",
         {{"status", 404}, {"body_size", 1000}, {"cut_after", 300}},
         {"response 404 len=1000", "data 300", "fail -1005"}},
        {"stalled before headers",
         {{"stall", true}},
         {"fail -1001"},
         "300",
         "The request timed out."},
        {"stalled in the body",
         {{"body_size", 1000}, {"stall_after", 100}},
         {"response 200 len=1000", "data 100", "fail -1001"},
         "300"},
        {"refused", {}, {"fail -1004"}, nullptr, "Could not connect to the server.", true},
    };
    for (const ConnectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QString path =
            QStringLiteral("/c/%1").arg(QString::fromLatin1(c.name).replace(' ', '_'));
        if (!c.route.isEmpty()) server.setRoute(path, c.route);
        const QString url =
            c.refused ? QStringLiteral("http://127.0.0.1:%1%2").arg(UnusedPort()).arg(path)
                      : server.url(path);
        ScopedEnv timeout("LOFTWISE_URL_TIMEOUT_MS", c.timeoutMs);
        ConnectionRecorder rec;
        QElapsedTimer clock;
        clock.start();
        NSURLConnection* conn = NSURLConnection::connectionWithRequestDelegate(Request(url), &rec);
        ASSERT_NE(conn, nullptr);
        EXPECT_EQ(rec.lines, QStringList()) << "a callback from inside the start";
        EXPECT_TRUE(SpinUntil([&] { return Ended(rec.lines); }));
        EXPECT_EQ(rec.lines, c.expected);
        if (c.timeoutMs) {
            EXPECT_LT(clock.elapsed(), 5000);
        }
        if (rec.lines.last().startsWith(QLatin1String("fail"))) {
            EXPECT_EQ(rec.error.failingURLString, url);
            EXPECT_FALSE(rec.error.description.isEmpty());
        }
        if (c.description) {
            EXPECT_EQ(rec.error.description, QString::fromLatin1(c.description));
        }
        if (c.route.contains("body_size")) {
            EXPECT_EQ(rec.body, Pattern(c.route["body_size"].toInt()).left(rec.body.size()));
        }
        if (!c.refused) {
            EXPECT_TRUE(server.requests().contains("GET " + path));
        }
        conn->release();
        SpinFor(50);
        EXPECT_EQ(rec.lines, c.expected) << "a callback after the end";
    }
}

TEST_F(URLLoadingTest, RequestsThatCannotBeMadeGiveNull) {
    ConnectionRecorder crec;
    DownloadRecorder drec;
    const struct {
        const char* url;
        bool delegate;
    } cases[] = {{"", true},
                 {"ftp://127.0.0.1/file", true},
                 {"file:///etc/hostname", true},
                 {"http://", true},
                 {"http://127.0.0.1/file", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        const NSURLRequest r = Request(QString::fromLatin1(c.url));
        EXPECT_EQ(NSURLConnection::connectionWithRequestDelegate(r, c.delegate ? &crec : nullptr),
                  nullptr);
        EXPECT_EQ(NSURLDownload::downloadWithRequestDelegate(r, c.delegate ? &drec : nullptr),
                  nullptr);
    }
}

// Cancelling or releasing from inside a callback: nothing more is heard,
// and a released connection is gone once the event loop has run.
TEST_F(URLLoadingTest, ConnectionStoppedFromInsideACallback) {
    server.setRoute("/slow", {{"body_size", 4000}, {"chunk", 1000}, {"pause_ms", 50}});
    server.setRoute("/cut", {{"body_size", 1000}, {"cut_after", 10}});
    const struct {
        const char* at;
        bool release;
        const char* path;
        QStringList expected;
    } cases[] = {
        {"response", false, "/slow", {"response 200 len=4000"}},
        {"response", true, "/slow", {"response 200 len=4000"}},
        {"data", true, "/slow", {"response 200 len=4000", "data 1000"}},
        {"finish", true, "/slow", {"response 200 len=4000", "data 4000", "finish"}},
        {"fail", true, "/cut", {"response 200 len=1000", "data 10", "fail -1005"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.at) + (c.release ? " release" : " cancel"));
        ConnectionRecorder rec;
        rec.hook = [&](QObject* o, const QString& at) {
            if (at != QLatin1String(c.at)) return;
            auto* conn = static_cast<NSURLConnection*>(o);
            c.release ? conn->release() : conn->cancel();
        };
        QPointer<NSURLConnection> conn =
            NSURLConnection::connectionWithRequestDelegate(Request(server.url(c.path)), &rec);
        ASSERT_TRUE(conn);
        EXPECT_TRUE(SpinUntil([&] { return rec.lines.size() == c.expected.size(); }));
        SpinFor(400);
        EXPECT_EQ(rec.lines, c.expected);
        EXPECT_EQ(conn.isNull(), c.release);
        if (conn) conn->release();
    }
}

// --- downloads -------------------------------------------------------------

struct DownloadCase {
    const char* name;
    QJsonObject route; // empty: no route, the server's 404 page
    QStringList expected;
    QStringList files;    // in the folder afterwards
    QByteArray body = {}; // of the downloaded file, when it finished
    QStringList existing = {};
    bool allowOverwrite = false;
    const char* subfolder = "";
    bool setDestination = true;
};

TEST_F(URLLoadingTest, DownloadCallbacksAndFiles) {
    const QByteArray big = Pattern(200000);
    const QString longName = QString(300, 'a') + ".dmg";
    const QString cappedName = QString(251, 'a') + ".dmg";
    const auto disposition = [](const char* value) {
        return QJsonObject{{"body", "x"}, {"headers", QJsonObject{{"Content-Disposition", value}}}};
    };
    const DownloadCase cases[] = {
        {"length",
         {{"body_size", 200000}, {"chunk", 65536}},
         {"decide Loftwise.dmg", "create Loftwise.dmg", "response 200 len=200000", "data 200000",
          "finish"},
         {"Loftwise.dmg"},
         big},
        {"no length",
         {{"body_size", 200000}, {"length", false}},
         {"decide Loftwise.dmg", "create Loftwise.dmg", "response 200 len=-1", "data 200000",
          "finish"},
         {"Loftwise.dmg"},
         big},
        {"name taken",
         {{"body", "new"}},
         {"decide Loftwise.dmg", "create Loftwise-1.dmg", "response 200 len=3", "data 3", "finish"},
         {"Loftwise-1.dmg", "Loftwise.dmg"},
         "new",
         {"Loftwise.dmg"}},
        {"two names taken",
         {{"body", "new"}},
         {"decide Loftwise.dmg", "create Loftwise-2.dmg", "response 200 len=3", "data 3", "finish"},
         {"Loftwise-1.dmg", "Loftwise-2.dmg", "Loftwise.dmg"},
         "new",
         {"Loftwise.dmg", "Loftwise-1.dmg"}},
        {"overwrite",
         {{"body", "new"}},
         {"decide Loftwise.dmg", "create Loftwise.dmg", "response 200 len=3", "data 3", "finish"},
         {"Loftwise.dmg"},
         "new",
         {"Loftwise.dmg"},
         true},
        {"missing folder",
         {{"body", "new"}},
         {"decide Loftwise.dmg", "create sub/deeper/Loftwise.dmg", "response 200 len=3", "data 3",
          "finish"},
         {"sub/deeper/Loftwise.dmg"},
         "new",
         {},
         false,
         "sub/deeper"},
        {"disposition",
         disposition("attachment; filename=\"Loftwise 2.1.dmg\""),
         {"decide Loftwise 2.1.dmg", "create Loftwise 2.1.dmg", "response 200 len=1", "data 1",
          "finish"},
         {"Loftwise 2.1.dmg"},
         "x"},
        {"disposition token",
         disposition("attachment; filename=plain.dmg"),
         {"decide plain.dmg", "create plain.dmg", "response 200 len=1", "data 1", "finish"},
         {"plain.dmg"},
         "x"},
        {"disposition utf-8",
         disposition("attachment; filename=\"fallback.dmg\"; filename*=UTF-8''%C3%A9t%C3%A9.dmg"),
         {"decide été.dmg", "create été.dmg", "response 200 len=1", "data 1", "finish"},
         {"été.dmg"},
         "x"},
        {"disposition climbing out",
         disposition("attachment; filename=\"../../evil\""),
         {"decide evil", "create evil", "response 200 len=1", "data 1", "finish"},
         {"evil"},
         "x"},
        {"disposition hidden",
         disposition("attachment; filename=\" .hidden\""),
         {"decide hidden", "create hidden", "response 200 len=1", "data 1", "finish"},
         {"hidden"},
         "x"},
        {"disposition only dots",
         disposition("attachment; filename=\"..\""),
         {"decide Unknown", "create Unknown", "response 200 len=1", "data 1", "finish"},
         {"Unknown"},
         "x"},
        {"disposition too long",
         disposition(qPrintable("attachment; filename=" + longName)),
         {"decide " + cappedName, "create " + cappedName, "response 200 len=1", "data 1", "finish"},
         {cappedName},
         "x"},
        {"cut short",
         {{"body_size", 200000}, {"cut_after", 70000}},
         {"decide Loftwise.dmg", "create Loftwise.dmg", "response 200 len=200000", "data 70000",
          "fail -1005"},
         {}},
        {"cut short, name taken",
         {{"body_size", 200000}, {"cut_after", 70000}},
         {"decide Loftwise.dmg", "create Loftwise-1.dmg", "response 200 len=200000", "data 70000",
          "fail -1005"},
         {"Loftwise.dmg"},
         {},
         {"Loftwise.dmg"}},
        {"not found", {}, {"fail -1011"}, {}},
        {"no destination",
         {{"body", "x"}},
         {"decide Loftwise.dmg", "fail -3000"},
         {},
         {},
         {},
         false,
         "",
         false},
    };
    for (const DownloadCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QString folder = MakeTempDir(QStringLiteral("dl"));
        for (const QString& name : c.existing)
            WriteFile(folder + '/' + name, "old " + name.toUtf8());
        const QString path = c.route.isEmpty() ? QStringLiteral("/Missing/Loftwise.dmg")
                                               : QStringLiteral("/Loftwise/Loftwise.dmg");
        server.setRoutes({{"/Loftwise/Loftwise.dmg", c.route}});
        DownloadRecorder rec;
        rec.folder = folder;
        rec.subfolder = QString::fromLatin1(c.subfolder);
        rec.allowOverwrite = c.allowOverwrite;
        rec.setDestination = c.setDestination;
        NSURLDownload* dl =
            NSURLDownload::downloadWithRequestDelegate(Request(server.url(path)), &rec);
        ASSERT_NE(dl, nullptr);
        EXPECT_EQ(rec.lines, QStringList());
        EXPECT_TRUE(SpinUntil([&] { return Ended(rec.lines); }));
        EXPECT_EQ(rec.lines, c.expected);
        EXPECT_EQ(FilesIn(folder), c.files);
        for (const QString& name : c.existing) {
            if (!c.allowOverwrite) {
                EXPECT_EQ(ReadFile(folder + '/' + name), "old " + name.toUtf8()) << "changed";
            }
        }
        if (rec.lines.last() == QLatin1String("finish")) {
            const QString final = dl->destination();
            EXPECT_EQ("create " + rec.relative(final), c.expected[1]);
            EXPECT_EQ(ReadFile(final), c.body);
            struct stat st {};
            ASSERT_EQ(stat(QFile::encodeName(final).constData(), &st), 0);
            const mode_t mask = umask(0);
            umask(mask);
            EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
        } else {
            EXPECT_EQ(rec.error.failingURLString, server.url(path));
        }
        if (c.route.isEmpty()) {
            EXPECT_EQ(rec.error.description, QStringLiteral("The server answered 404 Not Found."));
        }
        dl->release();
    }
}

// A name taken while the download runs: the finished file takes the next
// free one and the other file stays as it was. A destination set once the
// file exists changes nothing.
TEST_F(URLLoadingTest, DownloadNameTakenMeanwhile) {
    server.setRoute("/Loftwise/Loftwise.dmg", {{"body", "new"}});
    DownloadRecorder rec;
    rec.folder = MakeTempDir(QStringLiteral("dl"));
    rec.hook = [&](QObject* o, const QString& at) {
        if (at != QLatin1String("create")) return;
        WriteFile(rec.folder + "/Loftwise.dmg", "other");
        static_cast<NSURLDownload*>(o)->setDestinationAllowOverwrite(rec.folder + "/moved", true);
    };
    NSURLDownload* dl = NSURLDownload::downloadWithRequestDelegate(
        Request(server.url("/Loftwise/Loftwise.dmg")), &rec);
    ASSERT_NE(dl, nullptr);
    EXPECT_TRUE(SpinUntil([&] { return Ended(rec.lines); }));
    EXPECT_EQ(rec.lines.last(), "finish");
    EXPECT_EQ(dl->destination(), rec.folder + "/Loftwise-1.dmg");
    EXPECT_EQ(FilesIn(rec.folder), QStringList({"Loftwise-1.dmg", "Loftwise.dmg"}));
    EXPECT_EQ(ReadFile(rec.folder + "/Loftwise.dmg"), "other");
    EXPECT_EQ(ReadFile(rec.folder + "/Loftwise-1.dmg"), "new");
    dl->release();
}

// A file that cannot be written (over the file size limit): a failure, and
// the partial file is gone.
TEST_F(URLLoadingTest, DownloadWriteErrorFails) {
    server.setRoute("/Loftwise/Loftwise.dmg", {{"body_size", 200000}, {"chunk", 20000}});
    DownloadRecorder rec;
    rec.folder = MakeTempDir(QStringLiteral("dl"));
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 50000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    NSURLDownload* dl = NSURLDownload::downloadWithRequestDelegate(
        Request(server.url("/Loftwise/Loftwise.dmg")), &rec);
    const bool ended = SpinUntil([&] { return Ended(rec.lines); });
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    ASSERT_NE(dl, nullptr);
    EXPECT_TRUE(ended);
    EXPECT_EQ(rec.lines.mid(0, 3), QStringList({"decide Loftwise.dmg", "create Loftwise.dmg",
                                                "response 200 len=200000"}));
    EXPECT_EQ(rec.lines.last(), "fail -3003");
    EXPECT_EQ(FilesIn(rec.folder), QStringList());
    dl->release();
}

TEST_F(URLLoadingTest, DownloadStoppedMidWayLeavesNoFile) {
    server.setRoute("/Loftwise/Loftwise.dmg",
                    {{"body_size", 100000}, {"chunk", 10000}, {"pause_ms", 30}});
    for (bool release : {false, true}) {
        SCOPED_TRACE(release ? "release" : "cancel");
        DownloadRecorder rec;
        rec.folder = MakeTempDir(QStringLiteral("dl"));
        WriteFile(rec.folder + "/Loftwise.dmg", "old");
        rec.hook = [&](QObject* o, const QString& at) {
            auto* dl = static_cast<NSURLDownload*>(o);
            if (at == QLatin1String("data")) release ? dl->release() : dl->cancel();
        };
        QPointer<NSURLDownload> dl = NSURLDownload::downloadWithRequestDelegate(
            Request(server.url("/Loftwise/Loftwise.dmg")), &rec);
        ASSERT_TRUE(dl);
        EXPECT_TRUE(SpinUntil([&] { return rec.lines.size() == 4; }));
        SpinFor(400);
        EXPECT_EQ(rec.lines.size(), 4) << rec.lines.join(", ").toStdString();
        EXPECT_EQ(rec.lines.value(3).left(5), "data ");
        EXPECT_EQ(FilesIn(rec.folder), QStringList({"Loftwise.dmg"}));
        EXPECT_EQ(ReadFile(rec.folder + "/Loftwise.dmg"), "old");
        EXPECT_EQ(dl.isNull(), release);
        if (dl) dl->release();
    }
}

} // namespace
