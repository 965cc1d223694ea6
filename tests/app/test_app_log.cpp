// The droplet's activity log: one file per destination, long entries kept
// whole, a log that did not open, and which file OpenConsole opens.
#include "app/AppLog.h"
#include "app/Settings.h"
#include "engine/LogSupport.h"
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
    EXPECT_FALSE(HasCurrentLog());
    gHost = QStringLiteral("ftphost");
    gFolderPath.reset();
    StartLogging();
    EXPECT_FALSE(HasCurrentLog());
    LogEntry("lost", true);
    EXPECT_TRUE(AppLogFiles().isEmpty());
}

TEST_F(AppLogging, LongNamesAreCutToWhatTheFileSystemHolds) {
    // 250 "é": 250 Mac Roman bytes, 500 bytes of UTF-8 on disk.
    gFolderPath = "/" + QString(250, QChar(0xE9));
    StartLogging();
    EXPECT_TRUE(HasCurrentLog());
    LogEntry("kept", true);
    StopLogging();
    const QStringList files = AppLogFiles();
    ASSERT_EQ(files.size(), 1);
    EXPECT_LE(files[0].toUtf8().size(), 255);
    EXPECT_TRUE(files[0].startsWith("Loftwise-ftphost:\u00e9"));
    EXPECT_TRUE(ReadFile(AppLogsFolder() + "/" + files[0]).contains("kept\n"));
}

TEST_F(AppLogging, LongEntriesStayWhole) {
    StartLogging();
    // A path deep in a tree, in a script Mac Roman lacks.
    const QString path = "/" + QString(300, QChar(0x0416)) + "/Gr\u00FC\u00DFe.txt";
    LogLine("Uploading " + path);
    LogEntry("next", true);
    StopLogging();
    const auto lines = LogFileLines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(QString::fromUtf8(lines[1]), "Uploading " + path);
    EXPECT_EQ(lines[2], "next");
}

TEST_F(AppLogging, ALoggerWhoseFileDidNotOpenIgnoresWrites) {
    // A file where the "Loftwise" folder should be: nothing can be made in it.
    QDir().mkpath(LogsFolder());
    WriteFile(AppLogsFolder(), "not a folder");
    StartLogging();
    EXPECT_FALSE(HasCurrentLog());
    LogEntry("lost", true);
    StopLogging();
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

TEST(LogLines, TimeHasSecondsAndNoZone) {
    const QDateTime when(QDate(2026, 12, 7), QTime(6, 56, 45));
    const QString time = LogTimeString(when);
    EXPECT_TRUE(time.contains("56:45")) << time.toStdString();
    EXPECT_FALSE(time.contains(QRegularExpression("[A-Z]{3,}|[+-]\\d\\d"))) << time.toStdString();
    EXPECT_TRUE(LogDateString(when).contains("2026"));
}

} // namespace
