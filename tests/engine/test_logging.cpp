// The droplet's activity log: names per destination, framing lines, the
// 255-byte entry limit, whole entries from many threads, and OpenConsole.
#include "engine/LogSupport.h"
#include "engine/Logging.h"
#include "engine/Settings.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <optional>
#include <thread>
#include <vector>

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

// The file's lines, split at CR; a trailing piece without CR is kept last.
QList<QByteArray> Lines(const QByteArray& bytes) {
    QList<QByteArray> lines = bytes.split('\r');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

const QRegularExpression
    kStarted(R"(^Loftwise started logging at \d{1,2}:\d{2}:\d{2}( \S+)? on [^\r]*\d{4}[^\r]*\.$)");
const QRegularExpression
    kStopped(R"(^Loftwise stopped logging at \d{1,2}:\d{2}:\d{2}( \S+)? on [^\r]*\d{4}[^\r]*\.$)");

bool IsStart(const QByteArray& line) {
    return kStarted.match(QString::fromLatin1(line)).hasMatch();
}
bool IsStop(const QByteArray& line) {
    return kStopped.match(QString::fromLatin1(line)).hasMatch();
}

// A program for LOFTWISE_OPENER that records each path it is asked to open.
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

    // The paths opened so far, waiting up to waitMs for the first.
    QStringList Opened(int waitMs) const {
        QElapsedTimer timer;
        timer.start();
        while (!QFile::exists(record) && timer.elapsed() < waitMs)
            QThread::msleep(20);
        QThread::msleep(50);
        return QString::fromUtf8(ReadFile(record)).split('\n', Qt::SkipEmptyParts);
    }
};

class AppLogging : public ::testing::Test {
protected:
    void SetUp() override {
        StopLogging();
        QDir(LogsFolder()).removeRecursively();
        gHost = QStringLiteral("ftphost");
        gFolderPath = QStringLiteral("/Clients");
    }
    void TearDown() override { StopLogging(); }

    QByteArray Log() const { return ReadFile(AppLogsFolder() + "/Loftwise-ftphost:Clients.log"); }
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

TEST_F(AppLogging, EntriesAreFramedByStartAndStopLines) {
    StartLogging();
    LogEntry("Uploading /Clients/a.txt", true);
    LogEntry("line one\nstill one entry", true);
    LogEntry("caf\x8E", true); // Mac Roman bytes go out unchanged
    StopLogging();
    const QByteArray log = Log();
    ASSERT_TRUE(log.endsWith('\r'));
    EXPECT_FALSE(log.contains("\r\n"));
    const auto lines = Lines(log);
    ASSERT_EQ(lines.size(), 5) << log.constData();
    EXPECT_TRUE(IsStart(lines[0])) << lines[0].constData();
    EXPECT_EQ(lines[1], "Uploading /Clients/a.txt");
    EXPECT_EQ(lines[2], "line one\nstill one entry");
    EXPECT_EQ(lines[3], "caf\x8E");
    EXPECT_TRUE(IsStop(lines[4])) << lines[4].constData();
}

TEST_F(AppLogging, UnflaggedEntriesContinueTheLine) {
    StartLogging();
    LogEntry("drwxr-xr-x ", false);
    LogEntry("2 ", false);
    LogEntry("user ", false);
    LogEntry("docs", true);
    StopLogging();
    const auto lines = Lines(Log());
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[1], "drwxr-xr-x 2 user docs");
}

TEST_F(AppLogging, EntriesAreCutAt255BytesAndAFullOneGetsNoLineEnd) {
    StartLogging();
    const QByteArray long300(300, 'x');
    const QByteArray fits254(254, 'y');
    LogEntry(long300.constData(), true);
    LogEntry("next", true);
    LogEntry(fits254.constData(), true);
    StopLogging();
    const auto lines = Lines(Log());
    ASSERT_EQ(lines.size(), 4);
    // The 300-byte entry left its first 255 bytes and no CR: "next" joins it.
    EXPECT_EQ(lines[1], QByteArray(255, 'x') + "next");
    EXPECT_EQ(lines[2], fits254);
}

TEST_F(AppLogging, RestartsAppendStopStartPairsAndKeepOldContent) {
    QDir().mkpath(AppLogsFolder());
    WriteFile(AppLogsFolder() + "/Loftwise-ftphost:Clients.log", "from before\r");
    StartLogging();
    LogEntry("first", true);
    StopLogging(); // the sheet confirmed twice with nothing changed
    StartLogging();
    LogEntry("second", true);
    StopLogging();
    StartLogging();
    LogEntry("third", true);
    StopLogging();
    const auto lines = Lines(Log());
    ASSERT_EQ(lines.size(), 10);
    EXPECT_EQ(lines[0], "from before");
    for (int period = 0; period < 3; ++period) {
        EXPECT_TRUE(IsStart(lines[1 + 3 * period])) << period;
        EXPECT_TRUE(IsStop(lines[3 + 3 * period])) << period;
    }
    EXPECT_EQ(lines[2], "first");
    EXPECT_EQ(lines[5], "second");
    EXPECT_EQ(lines[8], "third");
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

TEST_F(AppLogging, EntriesFromManyThreadsAreEachAppendedWhole) {
    constexpr int kThreads = 8;
    constexpr int kEntries = 10000;
    StartLogging();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            // Long enough that a torn write would show.
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

    const auto lines = Lines(Log());
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

TEST_F(AppLogging, StoppingWhileWorkersLogIsNeitherHeldOffNorTorn) {
    StartLogging();
    std::atomic<bool> done = false;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&done] {
            while (!done.load())
                LogEntry("worker entry", true);
        });
    for (int i = 0; i < 50; ++i) {
        StopLogging();
        StartLogging();
    }
    done = true;
    for (auto& worker : workers)
        worker.join();
    StopLogging();
    int starts = 0, stops = 0;
    for (const QByteArray& line : Lines(Log())) {
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

TEST_F(AppLogging, OpenConsoleOpensOnlyAnExistingLog) {
    OpenerRecorder opener;
    // Not even the logs folder exists: nothing is made, nothing opened.
    OpenConsole();
    EXPECT_FALSE(QFileInfo::exists(LogsFolder()));
    // The folders exist but this destination has no file yet.
    QDir().mkpath(LogsFolder());
    OpenConsole();
    EXPECT_TRUE(QFileInfo(AppLogsFolder()).isDir());
    EXPECT_TRUE(AppLogFiles().isEmpty());
    EXPECT_TRUE(opener.Opened(300).isEmpty());

    StartLogging();
    StopLogging();
    OpenConsole();
    EXPECT_EQ(opener.Opened(5000), QStringList{AppLogsFolder() + "/Loftwise-ftphost:Clients.log"});
}

TEST_F(AppLogging, OpenConsoleLeavesOutAMissingHost) {
    OpenerRecorder opener;
    gHost = QString();
    StartLogging(); // an empty host is a host: "Loftwise-/Clients.log"
    StopLogging();
    gHost.reset();
    OpenConsole();
    EXPECT_EQ(opener.Opened(5000), QStringList{AppLogsFolder() + "/Loftwise-:Clients.log"});
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
