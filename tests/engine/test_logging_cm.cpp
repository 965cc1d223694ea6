// The plug-in's activity log: LoftwiseCM.log, its framing lines, entries
// dropped whole beyond 255 bytes, whole entries from many threads, and
// OpenConsole.
#include "engine/LoggingCM.h"
#include "platform/MacTypes.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace testing_support;

namespace {

QString LogsFolder() {
    return qEnvironmentVariable("XDG_STATE_HOME") + "/Logs";
}
QString LogPath() {
    return LogsFolder() + "/LoftwiseCM.log";
}

QList<QByteArray> Lines(const QByteArray& bytes) {
    QList<QByteArray> lines = bytes.split('\r');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

bool Matches(const char* pattern, const QByteArray& line) {
    return QRegularExpression(pattern).match(QString::fromLatin1(line)).hasMatch();
}
bool IsStart(const QByteArray& line) {
    return Matches(R"(^LoftwiseCM starting logging at \d{1,2}:\d{2}:\d{2}( \S+)? on .*\d{4}.*\.$)",
                   line);
}
bool IsStop(const QByteArray& line) {
    return Matches(R"(^LoftwiseCM stopping logging at \d{1,2}:\d{2}:\d{2}( \S+)? on .*\d{4}.*\.$)",
                   line);
}

struct OpenerRecorder {
    QString dir = MakeTempDir("opener");
    QString record = dir + "/opened.txt";

    OpenerRecorder() {
        const QString script = dir + "/record-open";
        WriteFile(script, "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + record.toUtf8() + "'\n");
        QFile::setPermissions(script, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("LOFTWISE_OPENER", script.toUtf8());
    }
    ~OpenerRecorder() { qputenv("LOFTWISE_OPENER", "/bin/true"); }

    QStringList Opened(int waitMs) const {
        QElapsedTimer timer;
        timer.start();
        while (!QFile::exists(record) && timer.elapsed() < waitMs)
            QThread::msleep(20);
        QThread::msleep(50);
        return QString::fromUtf8(ReadFile(record)).split('\n', Qt::SkipEmptyParts);
    }
};

class PluginLogging : public ::testing::Test {
protected:
    void SetUp() override {
        StopLogging();
        QDir(LogsFolder()).removeRecursively();
    }
    void TearDown() override { StopLogging(); }
};

TEST_F(PluginLogging, EntriesAreFramedInOneFileOfTheLogsFolder) {
    StartLogging();
    EXPECT_GT(fileRefNum, 0);
    LogEntry("Uploading /pub/a.txt", true);
    LogEntryCFString(QString::fromUtf8("Zipping \u00e9t\u00e9"));
    EXPECT_EQ(StopLogging(), noErr);
    EXPECT_EQ(fileRefNum, 0);
    EXPECT_EQ(QDir(LogsFolder()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot),
              QStringList{"LoftwiseCM.log"});
    const auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(IsStart(lines[0])) << lines[0].constData();
    EXPECT_EQ(lines[1], "Uploading /pub/a.txt");
    EXPECT_EQ(lines[2], "Zipping \x8Et\x8E");
    EXPECT_TRUE(IsStop(lines[3])) << lines[3].constData();
}

TEST_F(PluginLogging, NothingIsWrittenWhileClosed) {
    EXPECT_EQ(StopLogging(), noErr);
    LogEntry("lost", true);
    EXPECT_EQ(Write_Entry("lost"), noErr);
    EXPECT_FALSE(QFileInfo::exists(LogPath()));
}

TEST_F(PluginLogging, UnflaggedEntriesContinueTheLine) {
    StartLogging();
    LogEntry("-rw-r--r-- ", false);
    LogEntry("1 ", false);
    LogEntry("user ", false);
    LogEntry("a.txt", true);
    StopLogging();
    const auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[1], "-rw-r--r-- 1 user a.txt");
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
    const auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_EQ(lines[1], QByteArray(255, 'z'));
    EXPECT_EQ(lines[2], QByteArray(254, 'w'));
}

TEST_F(PluginLogging, MacRomanTextComesBackUnchanged) {
    QByteArray high;
    for (int b = 0x80; b <= 0xFF; ++b)
        high += char(b);
    StartLogging();
    LogEntry(high.constData(), true);
    StopLogging();
    const auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[1], high);
}

TEST_F(PluginLogging, EachStartAppendsAPeriodAndKeepsOldContent) {
    QDir().mkpath(LogsFolder());
    WriteFile(LogPath(), "from before\r");
    for (const char* text : {"one", "two"}) {
        StartLogging();
        LogEntry(text, true);
        StopLogging();
    }
    // A second start without a stop still frames both periods.
    StartLogging();
    StartLogging();
    StopLogging();
    const auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), 11);
    EXPECT_EQ(lines[0], "from before");
    EXPECT_EQ(lines[2], "one");
    EXPECT_EQ(lines[5], "two");
    for (int i : {1, 4, 7, 9})
        EXPECT_TRUE(IsStart(lines[i])) << i;
    for (int i : {3, 6, 8, 10})
        EXPECT_TRUE(IsStop(lines[i])) << i;
}

TEST_F(PluginLogging, EntriesFromManyThreadsAreEachAppendedWhole) {
    constexpr int kThreads = 8;
    constexpr int kEntries = 10000;
    StartLogging();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            const std::string padding(60, char('a' + t));
            for (int i = 0; i < kEntries; ++i) {
                const std::string text =
                    "T" + std::to_string(t) + " E" + std::to_string(i) + " " + padding;
                LogEntry(text.c_str(), true);
            }
        });
    for (auto& thread : threads)
        thread.join();
    StopLogging();

    const auto lines = Lines(ReadFile(LogPath()));
    ASSERT_EQ(lines.size(), kThreads * kEntries + 2);
    EXPECT_TRUE(IsStart(lines.first()));
    EXPECT_TRUE(IsStop(lines.last()));
    std::vector<std::vector<int>> seen(kThreads, std::vector<int>(kEntries, 0));
    const QRegularExpression entry(R"(^T(\d) E(\d+) ([a-h])\3{59}$)");
    int malformed = 0;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        const auto m = entry.match(QString::fromLatin1(lines[i]));
        const int t = m.hasMatch() ? m.captured(1).toInt() : -1;
        const int e = m.hasMatch() ? m.captured(2).toInt() : -1;
        if (t < 0 || t >= kThreads || e >= kEntries || m.captured(3)[0] != QChar('a' + t)) {
            ++malformed;
            continue;
        }
        ++seen[t][e];
    }
    EXPECT_EQ(malformed, 0);
    int missingOrDuplicated = 0;
    for (const auto& perThread : seen)
        for (int count : perThread)
            missingOrDuplicated += count != 1;
    EXPECT_EQ(missingOrDuplicated, 0);
}

TEST_F(PluginLogging, StoppingWhileWorkersLogIsNeitherHeldOffNorTorn) {
    StartLogging();
    std::atomic<bool> done = false;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&done] {
            while (!done.load())
                LogEntry("worker entry", true);
        });
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(StopLogging(), noErr);
        StartLogging();
    }
    done = true;
    for (auto& worker : workers)
        worker.join();
    StopLogging();
    int starts = 0, stops = 0;
    for (const QByteArray& line : Lines(ReadFile(LogPath()))) {
        if (IsStart(line))
            ++starts;
        else if (IsStop(line))
            ++stops;
        else
            ASSERT_EQ(line, "worker entry");
    }
    EXPECT_EQ(starts, 51);
    EXPECT_EQ(stops, 51);
}

TEST_F(PluginLogging, OpenConsoleOpensOnlyAnExistingLog) {
    OpenerRecorder opener;
    OpenConsole("LoftwiseCM.log");
    EXPECT_FALSE(QFileInfo::exists(LogsFolder()));
    QDir().mkpath(LogsFolder());
    OpenConsole("LoftwiseCM.log");
    OpenConsole("../LoftwiseCM.log");
    EXPECT_FALSE(QFileInfo::exists(LogPath()));
    EXPECT_TRUE(opener.Opened(300).isEmpty());

    StartLogging();
    StopLogging();
    OpenConsole("LoftwiseCM.log");
    EXPECT_EQ(opener.Opened(5000), QStringList{LogPath()});
}

} // namespace
