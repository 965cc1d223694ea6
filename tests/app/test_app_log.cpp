// The droplet's activity log: what it shares with the plug-in's (run from
// LoggingContract.cpp), names per destination, the 255-byte entry limit,
// a log that did not open, and which file OpenConsole opens.
#include "engine/LogSupport.h"
#include "engine/Logging.h"
#include "app/Settings.h"
#include "tests/engine/LoggingContract.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <optional>

using namespace testing_support;

// The droplet's settings, as this test sets them.
namespace {
std::optional<QString> gHost;
std::optional<QString> gFolderPath;
} // namespace

std::optional<QString> GetHost() {
    return gHost;
}
std::optional<QString> GetFolderPath(bool) {
    return gFolderPath;
}

namespace {

QString LogsFolder() {
    return qEnvironmentVariable("XDG_STATE_HOME") + "/Logs";
}
QString AppLogsFolder() {
    return LogsFolder() + "/Loftwise";
}

QStringList AppLogFiles() {
    return QDir(AppLogsFolder()).entryList(QDir::Files | QDir::Hidden, QDir::Name);
}

void Reset() {
    StopLogging();
    QDir(LogsFolder()).removeRecursively();
    gHost = QStringLiteral("ftphost");
    gFolderPath = QStringLiteral("/Clients");
}
QString LogPath() {
    return AppLogsFolder() + "/Loftwise-ftphost:Clients.log";
}

INSTANTIATE_TEST_SUITE_P(Droplet, LogContract,
                         ::testing::Values(LogBuild{.program = "Loftwise",
                                                    .started = "started",
                                                    .stopped = "stopped",
                                                    .reset = Reset,
                                                    .logPath = LogPath,
                                                    .start = StartLogging,
                                                    .stop =
                                                        [] {
                                                            StopLogging();
                                                            return OSStatus(noErr);
                                                        },
                                                    .entry = LogEntry,
                                                    .openConsole = OpenConsole}));

class AppLogging : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { StopLogging(); }
};

TEST_F(AppLogging, OneFilePerDestinationWithSlashesShownAsColons) {
    StartLogging();
    StopLogging();
    gFolderPath = QStringLiteral("/Clients/");
    StartLogging();
    StopLogging();
    gHost = QString();
    gFolderPath = QStringLiteral("/pub");
    StartLogging();
    StopLogging();
    EXPECT_EQ(AppLogFiles(), (QStringList{"Loftwise-:pub.log", "Loftwise-ftphost:Clients.log",
                                          "Loftwise-ftphost:Clients:.log"}));
    // The Mac Roman name keeps its "/"; only the disk name shows ":".
    EXPECT_STREQ(AppLogFileName().c_str(), "Loftwise-/pub.log");
}

TEST_F(AppLogging, NoLoggerWithoutHostOrFolder) {
    gHost.reset();
    StartLogging();
    EXPECT_EQ(gLogger, nullptr);
    gHost = QStringLiteral("ftphost");
    gFolderPath.reset();
    StartLogging();
    EXPECT_EQ(gLogger, nullptr);
    LogEntry("lost", true);
    EXPECT_TRUE(AppLogFiles().isEmpty());
}

TEST_F(AppLogging, LongNamesAreCutToWhatTheFileSystemHolds) {
    // 250 "é": 250 Mac Roman bytes, 500 bytes of UTF-8 on disk.
    gFolderPath = "/" + QString(250, QChar(0xE9));
    StartLogging();
    ASSERT_NE(gLogger, nullptr);
    EXPECT_GT(gLogger->RefNum(), 0);
    LogEntry("kept", true);
    StopLogging();
    const QStringList files = AppLogFiles();
    ASSERT_EQ(files.size(), 1);
    EXPECT_LE(files[0].toUtf8().size(), 255);
    EXPECT_TRUE(files[0].startsWith("Loftwise-ftphost:\u00e9"));
    EXPECT_TRUE(ReadFile(AppLogsFolder() + "/" + files[0]).contains("kept\r"));
}

TEST_F(AppLogging, EntriesAreCutAt255BytesAndAFullOneGetsNoLineEnd) {
    StartLogging();
    const QByteArray long300(300, 'x');
    const QByteArray fits254(254, 'y');
    LogEntry(long300.constData(), true);
    LogEntry("next", true);
    LogEntry(fits254.constData(), true);
    StopLogging();
    const auto lines = CrLines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 4);
    // The 300-byte entry left its first 255 bytes and no CR: "next" joins it.
    EXPECT_EQ(lines[1], QByteArray(255, 'x') + "next");
    EXPECT_EQ(lines[2], fits254);
}

TEST_F(AppLogging, ALoggerWhoseFileDidNotOpenIgnoresWrites) {
    // A file where the "Loftwise" folder should be: nothing can be made in it.
    QDir().mkpath(LogsFolder());
    WriteFile(AppLogsFolder(), "not a folder");
    StartLogging();
    ASSERT_NE(gLogger, nullptr);
    EXPECT_EQ(gLogger->RefNum(), 0);
    LogEntry("lost", true);
    EXPECT_EQ(gLogger->Write_Entry("lost"), noErr);
    StopLogging();
    EXPECT_EQ(gLogger, nullptr);
    EXPECT_EQ(ReadFile(AppLogsFolder()), "not a folder");
}

TEST_F(AppLogging, OpenConsoleMakesTheLoftwiseFolderButNoLog) {
    QDir().mkpath(LogsFolder());
    OpenConsole();
    EXPECT_TRUE(QFileInfo(AppLogsFolder()).isDir());
    EXPECT_TRUE(AppLogFiles().isEmpty());
}

TEST_F(AppLogging, OpenConsoleLeavesOutAMissingHost) {
    OpenerRecorder opener;
    gHost = QString();
    StartLogging(); // an empty host is a host: "Loftwise-/Clients.log"
    StopLogging();
    gHost.reset();
    OpenConsole();
    EXPECT_EQ(opener.WaitForOpened(1), QStringList{AppLogsFolder() + "/Loftwise-:Clients.log"});
}

TEST(LogLines, TextOutsideMacRomanBecomesQuestionMarks) {
    EXPECT_EQ(MacRomanOrQuestionMarks(QString::fromUtf8("d\u00e9c. \u2603 \U0001D11E \u20ac")),
              "d\x8E"
              "c. ? ? \xDB");
}

TEST(LogLines, TimeHasSecondsAndNoZone) {
    const QDateTime when(QDate(2026, 12, 7), QTime(6, 56, 45));
    const QString time = LogTimeString(when);
    EXPECT_TRUE(time.contains("56:45")) << time.toStdString();
    EXPECT_FALSE(time.contains(QRegularExpression("[A-Z]{3,}|[+-]\\d\\d"))) << time.toStdString();
    EXPECT_TRUE(LogDateString(when).contains("2026"));
}

} // namespace
