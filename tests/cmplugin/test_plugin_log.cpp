// The plug-in's activity log: what it shares with the droplet's (run from
// LoggingContract.cpp), LoftwiseCM.log as the one file of the logs folder,
// platform strings, entries dropped whole beyond 255 bytes, and which names
// OpenConsole takes.
#include "engine/LoggingCM.h"
#include "platform/MacTypes.h"
#include "tests/engine/LoggingContract.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

QString LogsFolder() {
    return qEnvironmentVariable("XDG_STATE_HOME") + "/Logs";
}
QString LogPath() {
    return LogsFolder() + "/LoftwiseCM.log";
}

void Reset() {
    StopLogging();
    QDir(LogsFolder()).removeRecursively();
}

INSTANTIATE_TEST_SUITE_P(Plugin, LogContract,
                         ::testing::Values(LogBuild{
                             .program = "LoftwiseCM",
                             .started = "starting",
                             .stopped = "stopping",
                             .reset = Reset,
                             .logPath = LogPath,
                             .start = StartLogging,
                             .stop = StopLogging,
                             .entry = LogEntry,
                             .openConsole = [] { OpenConsole("LoftwiseCM.log"); }}));

class PluginLogging : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { StopLogging(); }
};

TEST_F(PluginLogging, OneFileOfTheLogsFolderTakesPlatformStrings) {
    StartLogging();
    EXPECT_GT(fileRefNum, 0);
    LogEntryCFString(QString::fromUtf8("Zipping \u00e9t\u00e9"));
    LogEntryCFString("Zipping a\rb");
    // The format's line feed stays; the values' control characters do not.
    LogEntryFormat("%@\nUploading File: %@", {"date", "a\r\nb"});
    EXPECT_EQ(StopLogging(), noErr);
    EXPECT_EQ(fileRefNum, 0);
    EXPECT_EQ(QDir(LogsFolder()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
              QStringList{"LoftwiseCM.log"});
    const auto lines = CrLines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 5);
    EXPECT_EQ(lines[1], "Zipping \x8Et\x8E");
    EXPECT_EQ(lines[2], "Zipping a\\rb");
    EXPECT_EQ(lines[3], "date\nUploading File: a\\r\\nb");
}

TEST_F(PluginLogging, NothingIsWrittenWhileClosed) {
    EXPECT_EQ(StopLogging(), noErr);
    LogEntry("lost", true);
    EXPECT_EQ(Write_Entry("lost"), noErr);
    EXPECT_FALSE(QFileInfo::exists(LogPath()));
}

TEST_F(PluginLogging, EntriesBeyond255BytesAreDroppedWhole) {
    StartLogging();
    LogEntry(QByteArray(300, 'x').constData(), true);
    LogEntry(QByteArray(255, 'y').constData(), true); // 256 with its CR
    LogEntry(QByteArray(255, 'z').constData(), false);
    LogEntry("", true);
    LogEntry(QByteArray(254, 'w').constData(), true);
    LogEntryCFString(QString(255, 'v'));
    LogEntryCFString(QString::fromUtf8("snow \u2603")); // no Mac Roman form
    StopLogging();
    const auto lines = CrLines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[1], QByteArray(255, 'z'));
    EXPECT_EQ(lines[2], QByteArray(254, 'w'));
}

TEST_F(PluginLogging, OpenConsoleTakesOnlyANameInTheLogsFolder) {
    OpenerRecorder opener;
    QDir().mkpath(LogsFolder());
    // A file one level up, where the name would lead if taken as a path.
    WriteFile(LogsFolder() + "/../LoftwiseCM.log", "outside\r");
    OpenConsole("../LoftwiseCM.log");
    EXPECT_FALSE(QFileInfo::exists(LogPath()));
    EXPECT_TRUE(opener.OpenedAfterQuietTime().isEmpty());
    QFile::remove(LogsFolder() + "/../LoftwiseCM.log");
}

} // namespace
