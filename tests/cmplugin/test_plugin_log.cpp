// The plug-in's activity log: LoftwiseCM.log as the one file of the logs
// folder, platform strings, and which names OpenConsole takes.
#include "cmplugin/PluginLog.h"
#include "platform/MacTypes.h"
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

class PluginLogging : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override { StopLogging(); }
};

TEST_F(PluginLogging, OneFileOfTheLogsFolderTakesPlatformStrings) {
    StartLogging();
    EXPECT_TRUE(HasCurrentLog());
    LogLine(QString::fromUtf8("Zipping \u00e9t\u00e9"));
    LogLine("Zipping a\rb");
    // The format's line feed stays; the values' control characters do not.
    LogEntryFormat("%@\nUploading File: %@", {"date", "a\r\nb"});
    StopLogging();
    EXPECT_FALSE(HasCurrentLog());
    EXPECT_EQ(QDir(LogsFolder()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
              QStringList{"LoftwiseCM.log"});
    const auto lines = LogFileLines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 6);
    EXPECT_EQ(lines[1], "Zipping \xC3\xA9t\xC3\xA9");
    EXPECT_EQ(lines[2], "Zipping a\\rb");
    EXPECT_EQ(lines[3], "date");
    EXPECT_EQ(lines[4], "Uploading File: a\\r\\nb");
}

TEST_F(PluginLogging, NothingIsWrittenWhileClosed) {
    StopLogging();
    LogEntry("lost", true);
    EXPECT_FALSE(QFileInfo::exists(LogPath()));
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
