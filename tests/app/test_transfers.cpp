// The droplet's transfers end to end against real FTP servers and the fault
// server: what arrives on the server, what the log says, what the user is
// shown. The destination is set as the user sets it, in the sheet's fields.
#include "app/AppLog.h"
#include "app/ConnectionSettings.h"
#include "app/Shell.h"
#include "app/Transfers.h"
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/ui/Dialogs.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QTimer>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const QString kRealBundle = QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app");

struct Seen {
    QStringList alerts;   // informative texts of the stop alerts
    QStringList messages; // distinct main-line texts, in order
    int beeps = 0;
};

// One destination in the sheet's fields, logging to its own file.
class Droplet {
public:
    Droplet(const QString& host, const QString& user, const QString& password,
            const QString& folder) {
        static const QString bundle = [] {
            const QString copy = MakeTempDir("transfer") + "/Loftwise.app";
            EXPECT_EQ(RunProcess("cp", {"-a", kRealBundle, copy}).exitCode, 0);
            return copy;
        }();
        plat::SetMainBundlePath(bundle);
        m_host.setText(host);
        m_user.setText(user);
        m_password.setText(password);
        m_folder.setText(folder);
        gHostEditText = &m_host;
        gUsernameEditText = &m_user;
        gPasswordEditText = &m_password;
        gFolderEditText = &m_folder;
        gMessage = &m_message;
        plat::SetAlertResponder([this](const plat::AlertRequest& r) {
            m_seen.alerts << r.explanation;
            return kAlertStdAlertOKButton;
        });
        plat::SetBeepObserver([this](short) { ++m_seen.beeps; });
        m_logName = AppLogDiskName(AppLogFileName());
        QFile::remove(LogPath());
        StartLogging();
    }
    ~Droplet() {
        StopLogging();
        gHostEditText = gUsernameEditText = gPasswordEditText = gFolderEditText = nullptr;
        gMessage = nullptr;
        plat::SetAlertResponder(nullptr);
        plat::SetBeepObserver(nullptr);
    }

    // Uploads a file and records what the window showed meanwhile and the
    // reason the pass would report; true when it was not sent.
    bool Upload(const QString& path) {
        FSRef ref;
        EXPECT_EQ(FSPathMakeRef(path.toUtf8().constData(), &ref, nullptr), noErr)
            << path.toStdString();
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [this] {
            if (m_seen.messages.isEmpty() || m_seen.messages.last() != m_message.text())
                m_seen.messages << m_message.text();
        });
        sampler.start(1);
        const TransferOutcome outcome = UploadFile(&ref, {});
        if (!outcome.reason.isEmpty()) m_seen.alerts << outcome.reason;
        return !outcome.sent();
    }

    QString LogPath() const {
        return QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME")) + "/Logs/Loftwise/" + m_logName;
    }
    // The log's entries, without the start and stop lines.
    QStringList LogLines() const { return LogEntries(LogPath()); }
    // Waits until a log entry starts with text (a listing runs on its own).
    bool WaitForLogLine(const QString& text) const { return WaitForLogEntry(LogPath(), text); }
    const Seen& seen() const { return m_seen; }

private:
    QLineEdit m_host, m_user, m_password, m_folder;
    QLabel m_message;
    QString m_logName;
    Seen m_seen;
};

class RealServers : public ::testing::TestWithParam<FtpServer::Kind> {
protected:
    void SetUp() override {
        m_server = StartRealServer(GetParam());
        ASSERT_TRUE(m_server && m_server->isRunning())
            << (m_server ? m_server->startError().toStdString() : "no server");
        QDir().mkpath(m_server->home() + "/incoming");
    }
    QString Host() const { return QStringLiteral("127.0.0.1:%1").arg(m_server->port()); }
    std::unique_ptr<FtpServer> m_server;
};

TEST_P(RealServers, UploadsTheExactBytesUnderTheFilesName) {
    Droplet d(Host(), m_server->user(), m_server->password(), "incoming");
    const QByteArray bytes = Pattern(300 * 1024 + 17);
    for (const QString& name :
         {QStringLiteral("plain.bin"), QStringLiteral("with space #1 100%.txt"),
          QStringLiteral("Grüße €.txt"), QStringLiteral(".hidden")}) {
        const QString src = MakeFile(name, bytes);
        EXPECT_FALSE(d.Upload(src)) << name.toStdString();
        EXPECT_EQ(ReadFile(m_server->home() + "/incoming/" + name), bytes) << name.toStdString();
    }
    EXPECT_TRUE(d.seen().alerts.isEmpty()) << d.seen().alerts.join("|").toStdString();

    const QStringList lines = d.LogLines();
    ASSERT_GE(lines.size(), 4);
    EXPECT_TRUE(lines[0].startsWith("Uploading /")) << lines[0].toStdString();
    EXPECT_TRUE(lines[0].endsWith("/plain.bin"));
    EXPECT_EQ(lines[1], "Connected");
    EXPECT_EQ(lines[2], QString("Upload complete (%1 bytes sent)").arg(bytes.size()));
    EXPECT_EQ(lines[3], "Done.");
    EXPECT_EQ(lines.count("Done."), 4);
    EXPECT_TRUE(d.seen().messages.contains("Initializing FTP Upload: plain.bin"));
}

TEST_P(RealServers, AnEmptyFileUploadsWithoutProgress) {
    Droplet d(Host(), m_server->user(), m_server->password(), "/incoming/");
    EXPECT_FALSE(d.Upload(MakeFile("empty.txt", {})));
    EXPECT_TRUE(QFileInfo::exists(m_server->home() + "/incoming/empty.txt"));
    EXPECT_EQ(QFileInfo(m_server->home() + "/incoming/empty.txt").size(), 0);
    EXPECT_TRUE(d.LogLines().contains("Upload complete (0 bytes sent)"));
    for (const QString& m : d.seen().messages)
        EXPECT_FALSE(m.contains("complete,")) << m.toStdString();
}

TEST_P(RealServers, AWrongPasswordShowsTheLoginText) {
    Droplet d(Host(), m_server->user(), "wrong-password", "incoming");
    EXPECT_TRUE(d.Upload(MakeFile("a.txt", "abc")));
    ASSERT_EQ(d.seen().alerts.size(), 1);
    EXPECT_EQ(d.seen().alerts[0], "Check your username or password. (Server error code: 530)");
    EXPECT_TRUE(d.LogLines().contains("CFWriteStreamGetError returned (6, 530)"));
    EXPECT_FALSE(QFileInfo::exists(m_server->home() + "/incoming/a.txt"));
}

TEST_P(RealServers, AMissingFolderShowsTheFolderText) {
    Droplet d(Host(), m_server->user(), m_server->password(), "no/such/folder");
    EXPECT_TRUE(d.Upload(MakeFile("a.txt", "abc")));
    ASSERT_EQ(d.seen().alerts.size(), 1);
    EXPECT_EQ(d.seen().alerts[0], "Check that your folder exists or allows uploads for your "
                                  "account. (Server error code: 550)");
}

TEST_P(RealServers, ListsTheFolderInFixedColumns) {
    WriteFile(m_server->home() + "/incoming/listed file.txt", Pattern(1234));
    QDir().mkpath(m_server->home() + "/incoming/sub dir");
    Droplet d(Host(), m_server->user(), m_server->password(), "incoming");
    LogDirectoryListing();
    ASSERT_TRUE(d.WaitForLogLine("Listing complete")) << d.LogLines().join("\n").toStdString();
    const QStringList lines = d.LogLines();
    EXPECT_EQ(lines.first(), "Open complete");
    bool sawFile = false, sawDir = false;
    for (const QString& l : lines) {
        if (l.endsWith(" listed file.txt ")) {
            sawFile = true;
            EXPECT_TRUE(l.startsWith("-rw")) << l.toStdString();
            EXPECT_TRUE(l.contains("     1234 ")) << l.toStdString();
        }
        if (l.endsWith(" sub dir ")) {
            sawDir = true;
            EXPECT_TRUE(l.startsWith("d")) << l.toStdString();
        }
    }
    EXPECT_TRUE(sawFile) << lines.join("\n").toStdString();
    EXPECT_TRUE(sawDir) << lines.join("\n").toStdString();
    EXPECT_TRUE(d.WaitForLogLine("Read "));
}

INSTANTIATE_TEST_SUITE_P(Servers, RealServers,
                         ::testing::Values(FtpServer::Kind::Pyftpdlib, FtpServer::Kind::Proftpd),
                         [](const auto& info) {
                             return info.param == FtpServer::Kind::Pyftpdlib ? "pyftpdlib"
                                                                             : "proftpd";
                         });

QString FaultHost(const FaultFtpServer& s) {
    return QStringLiteral("127.0.0.1:%1").arg(s.port());
}

struct ReplyCase {
    const char* name;
    const char* command;
    const char* reply;
    const char* alert;
};

class ServerReplies : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ServerReplies, BecomeTheAlertText) {
    const ReplyCase& c = GetParam();
    FaultFtpServer server(QJsonObject{
        {"rules", QJsonArray{QJsonObject{{"command", c.command}, {"reply", c.reply}}}}});
    ASSERT_TRUE(server.isRunning()) << server.startError().toStdString();
    // A folder below the root, so that the client changes into it.
    Droplet d(FaultHost(server), server.user(), server.password(),
              std::string(c.command) == "CWD" ? "/missing" : "/");
    EXPECT_TRUE(d.Upload(MakeFile("r.txt", Pattern(5000))));
    ASSERT_EQ(d.seen().alerts.size(), 1);
    EXPECT_EQ(d.seen().alerts[0], c.alert);
    const QStringList lines = d.LogLines();
    EXPECT_FALSE(lines.filter("Upload complete").size()) << lines.join("\n").toStdString();
    EXPECT_EQ(lines.last(), "Done.");
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ServerReplies,
    ::testing::Values(
        ReplyCase{"LoginRefused", "PASS", "530 Login incorrect.",
                  "Check your username or password. (Server error code: 530)"},
        ReplyCase{"NoSuchFolder", "CWD", "550 No such directory.",
                  "Check that your folder exists or allows uploads for your account. (Server "
                  "error code: 550)"},
        ReplyCase{"DiskFull", "STOR-END", "552 Exceeded storage allocation.",
                  "The FTP server returned error code: 552"},
        ReplyCase{"NoSpace", "STOR", "452 Insufficient storage space.",
                  "The FTP server returned error code: 452"},
        ReplyCase{"ServiceClosing", "STOR", "421 Service not available, closing.",
                  "The FTP server returned error code: 421"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Faults, ARefusedConnectionSaysSo) {
    const quint16 port = UnusedPort();
    Droplet d(QStringLiteral("127.0.0.1:%1").arg(port), "u", "p", "/");
    EXPECT_TRUE(d.Upload(MakeFile("r.txt", "x")));
    ASSERT_EQ(d.seen().alerts.size(), 1);
    EXPECT_EQ(d.seen().alerts[0], "Connection refused");
}

TEST(Faults, ADroppedDataConnectionIsAFailureNotAnUpload) {
    FaultFtpServer server(QJsonObject{{"stor_drop_after", 100000}});
    ASSERT_TRUE(server.isRunning());
    Droplet d(FaultHost(server), server.user(), server.password(), "/");
    EXPECT_TRUE(d.Upload(MakeFile("big.bin", Pattern(2 * 1024 * 1024))));
    EXPECT_EQ(d.seen().alerts.size(), 1);
    EXPECT_TRUE(d.LogLines().filter("Upload complete").isEmpty());
}

TEST(Faults, AStalledServerTimesOut) {
    qputenv("LOFTWISE_FTP_STALL_SECONDS", "2");
    FaultFtpServer server(QJsonObject{{"stor_stall_after", 65536}});
    ASSERT_TRUE(server.isRunning());
    Droplet d(FaultHost(server), server.user(), server.password(), "/");
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(d.Upload(MakeFile("slow.bin", Pattern(8 * 1024 * 1024))));
    EXPECT_LT(clock.elapsed(), 30000);
    qunsetenv("LOFTWISE_FTP_STALL_SECONDS");
    ASSERT_EQ(d.seen().alerts.size(), 1);
    EXPECT_EQ(d.seen().alerts[0], "Operation timed out");
    // The window showed how far it got, percent sign and all.
    const QRegularExpression progress(
        R"(^File: slow\.bin \(\d+% complete, \d+ of 8388608 bytes\)$)");
    EXPECT_FALSE(d.seen().messages.filter(progress).isEmpty())
        << d.seen().messages.join('|').toStdString();
    // Part of it reached the server: the log names the incomplete file.
    EXPECT_EQ(d.LogLines().filter("\u201Cslow.bin\u201D on the server is incomplete").size(), 1)
        << d.LogLines().join('|').toStdString();
}

TEST(Faults, ControlCharactersEndTheTransferBeforeAnythingIsSent) {
    FaultFtpServer server;
    ASSERT_TRUE(server.isRunning());
    for (const QString& user : {QStringLiteral("evil\r\nDELE x"), QStringLiteral("nul\0x")}) {
        Droplet d(FaultHost(server), user, server.password(), "/");
        EXPECT_TRUE(d.Upload(MakeFile("c.txt", "x")));
        ASSERT_EQ(d.seen().alerts.size(), 1);
        EXPECT_TRUE(d.seen().alerts[0].contains("line break or NUL"))
            << d.seen().alerts[0].toStdString();
    }
    // A file name FTP cannot carry is refused the same way, and the log says why.
    Droplet d(FaultHost(server), server.user(), server.password(), "/");
    d.Upload(MakeFile("c\rDELE x.txt", "x"));
    ASSERT_EQ(d.seen().alerts.size(), 1);
    EXPECT_TRUE(d.seen().alerts[0].contains("file name contains a line break"))
        << d.seen().alerts[0].toStdString();
    EXPECT_TRUE(d.LogLines().contains(d.seen().alerts[0])) << d.LogLines().join('|').toStdString();
    EXPECT_EQ(server.connectionCount(), 0);
}

TEST(Faults, MissingSettingsAreOnlyLogged) {
    Droplet d("127.0.0.1:1", "u", "p", "/");
    gHostEditText = nullptr;
    EXPECT_TRUE(d.Upload(MakeFile("m.txt", "x")));
    EXPECT_TRUE(d.seen().alerts.isEmpty());
    EXPECT_EQ(d.LogLines(), QStringList{"No host."});
}

TEST(Listing, FragmentsSplitMidLineGiveTheSameLines) {
    const QJsonArray fragments{
        "-rw-r--r--   1 owner    group        1234 Jan 01  2024 first f",
        "ile.txt\r\ndrwxr-xr-x   2 owner    group        4096 Jan 01  2024 a fold",
        "er\r\nthis line means nothing\r\nlrwxrwxrwx   1 owner    group           7 Jan 01  "
        "2024 link -> target\r\n"};
    FaultFtpServer server(QJsonObject{{"list_fragments", fragments}, {"list_delay", 0.2}});
    ASSERT_TRUE(server.isRunning());
    Droplet d(FaultHost(server), server.user(), server.password(), "/");
    LogDirectoryListing();
    ASSERT_TRUE(d.WaitForLogLine("Listing complete")) << d.LogLines().join("\n").toStdString();
    QStringList entries;
    for (const QString& l : d.LogLines())
        if (l.endsWith(' ')) entries << l;
    ASSERT_EQ(entries.size(), 3) << d.LogLines().join("\n").toStdString();
    EXPECT_TRUE(entries[0].startsWith("-rw-r--r--      owner    group     1234 "))
        << entries[0].toStdString();
    EXPECT_TRUE(entries[0].endsWith(" first file.txt "));
    EXPECT_TRUE(entries[1].endsWith(" a folder "));
    EXPECT_TRUE(entries[2].endsWith(" link -> target ")) << entries[2].toStdString();
    EXPECT_GE(d.LogLines().filter(QRegularExpression("^Read \\d+ bytes$")).size(), 2);
}

} // namespace
