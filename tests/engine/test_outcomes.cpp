// What a stream error means for the user: the kind of outcome (and whether
// the rest of a pass would meet it too), the words, the server's reply, and
// the words in the user's language.
#include "engine/FTPUpload.h"
#include "platform/SystemLog.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QJsonObject>
#include <thread>

#include <cerrno>
#include <gtest/gtest.h>
#include <netdb.h>

using namespace testing_support;
using Kind = TransferOutcome::Kind;

namespace {

TEST(Outcomes, EachStreamErrorReadsAsWhatHappened) {
    const struct {
        const char* what;
        CFStreamError error;
        bool connected;
        UInt64 bytes;
        Kind kind;
        bool endsPass, partial;
        const char* reason;
    } rows[] = {
        {"wrong password",
         {kCFStreamErrorDomainFTP, 530},
         false,
         0,
         Kind::LoginRefused,
         true,
         false,
         "Check your username or password. (Server error code: 530)"},
        {"missing folder",
         {kCFStreamErrorDomainFTP, 550},
         true,
         0,
         Kind::FolderRefused,
         true,
         false,
         "Check that your folder exists"},
        {"folder refused at CWD",
         {kCFStreamErrorDomainFTP, 500},
         false,
         0,
         Kind::FolderRefused,
         true,
         false,
         "The FTP server returned error code: 500"},
        {"too many connections",
         {kCFStreamErrorDomainFTP, 421},
         false,
         0,
         Kind::ConnectFailed,
         true,
         false,
         "error code: 421"},
        {"name not allowed",
         {kCFStreamErrorDomainFTP, 553},
         true,
         0,
         Kind::Rejected,
         false,
         false,
         "error code: 553"},
        {"disk full part way",
         {kCFStreamErrorDomainFTP, 552},
         true,
         4096,
         Kind::CutOff,
         false,
         true,
         "error code: 552"},
        {"refused connect",
         {kCFStreamErrorDomainPOSIX, ECONNREFUSED},
         false,
         0,
         Kind::ConnectFailed,
         true,
         false,
         "Connection refused"},
        {"unknown host",
         {kCFStreamErrorDomainNetDB, EAI_NONAME},
         false,
         0,
         Kind::ConnectFailed,
         true,
         false,
         "could not be found"},
        {"reset mid-file",
         {kCFStreamErrorDomainPOSIX, ECONNRESET},
         true,
         100,
         Kind::CutOff,
         false,
         true,
         "Connection reset by peer"},
        {"stalled before data",
         {kCFStreamErrorDomainPOSIX, ETIMEDOUT},
         true,
         0,
         Kind::CutOff,
         false,
         false,
         "Operation timed out"},
        {"name with a line break",
         {kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorControlCharacter},
         false,
         0,
         Kind::Rejected,
         false,
         false,
         "line break"},
        {"file changed while sent",
         {kCFStreamErrorDomainLoftwise, kLoftwiseStreamErrorFileChanged},
         true,
         10,
         Kind::FileFailed,
         false,
         true,
         "changed"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const TransferOutcome o = OutcomeOfStreamError(row.error, row.connected, row.bytes,
                                                       QStringLiteral("550 No such directory."));
        EXPECT_EQ(o.kind, row.kind);
        EXPECT_EQ(o.endsPass(), row.endsPass);
        EXPECT_EQ(o.partialOnServer(), row.partial);
        EXPECT_FALSE(o.sent());
        EXPECT_TRUE(o.reason.contains(row.reason)) << o.reason.toStdString();
        // Only the server's own errors carry its reply.
        EXPECT_EQ(o.Explanation().contains("550 No such directory."),
                  row.error.domain == kCFStreamErrorDomainFTP)
            << o.Explanation().toStdString();
    }
}

TEST(Outcomes, TextsComeInTheUsersLanguage) {
    ScopedEnv language("LANGUAGE", "de");
    ScopedEnv lang("LANG", "de_DE.UTF-8");
    const TransferOutcome login =
        OutcomeOfStreamError({kCFStreamErrorDomainFTP, 530}, false, 0, "530 Login incorrect.");
    EXPECT_EQ(login.Explanation(), "Prüfen Sie Benutzername und Passwort. (Fehlercode des Servers: "
                                   "530) Der Server antwortete: 530 Login incorrect.");
    EXPECT_EQ(OutcomeOfStreamError({kCFStreamErrorDomainPOSIX, ECONNREFUSED}, false, 0, {}).reason,
              "Verbindung abgelehnt");
    EXPECT_TRUE(PartialFileText("big.bin", 100, 300).contains("unvollständig"));
}

TEST(Outcomes, OneFormatFillerKnowsPercentAndLongs) {
    const struct {
        const char* format;
        QStringList values;
        const char* filled;
    } rows[] = {
        {"File: %@ (%@%% complete, %d of %d bytes)",
         {"big.bin", "20", "63438848", "314572800"},
         "File: big.bin (20% complete, 63438848 of 314572800 bytes)"},
        {"Upload complete (%ld bytes, %lld in all)",
         {"5", "7"},
         "Upload complete (5 bytes, 7 in all)"},
        {"%d%%", {"100"}, "100%"},
        {"left alone: %x %", {"1"}, "left alone: %x %"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(plat::FillFormat(row.format, row.values), row.filled) << row.format;
}

// Stop ends a transfer in the middle, at once, and says how much had left.
TEST(Outcomes, AStopEndsAnUploadAndCountsWhatLeft) {
    FaultFtpServer server(QJsonObject{{"stor_stall_after", 65536}});
    ASSERT_TRUE(server.isRunning());
    const QString path = MakeFile("stopped.bin", Pattern(8 * 1024 * 1024));
    Destination d;
    d.folderURL = QUrl(QStringLiteral("ftp://127.0.0.1:%1/").arg(server.port()));
    d.user = server.user();
    d.password = server.password();
    Upload upload(d, path.toStdString(), {}, 8 * 1024 * 1024);
    TransferOutcome outcome;
    std::thread worker([&] { outcome = upload.run(); });
    // Stopped once the server has taken its part and stalls.
    ASSERT_TRUE(WaitUntil([&] { return !server.commands().filter("STOR").isEmpty(); }, 20000));
    SpinFor(500);
    upload.stop();
    ASSERT_TRUE(WaitUntil([&] { return upload.finished(); }, 5000));
    worker.join();
    EXPECT_EQ(outcome.kind, Kind::Stopped);
    EXPECT_TRUE(outcome.endsPass());
    EXPECT_GE(outcome.bytes, 65536u);
    EXPECT_TRUE(outcome.partialOnServer());
}

} // namespace
