// The activity log's framing lines, line continuation, UTF-8 text, appending
// across periods, and whole entries from many threads.
#include "tests/engine/LoggingContract.h"

#include "engine/LogSupport.h"
#include "engine/Logging.h"

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;

namespace {

QString LogPath() {
    return qEnvironmentVariable("XDG_STATE_HOME") + "/Logs/Test.log";
}

void Reset() {
    SetCurrentLog(nullptr);
    QDir().mkpath(QFileInfo(LogPath()).path());
    QFile::remove(LogPath());
}

void Start() {
    SetCurrentLog(nullptr); // as both programs do: the earlier period ends first
    if (!QFileInfo::exists(LogPath())) WriteFile(LogPath(), {});
    auto log = std::make_unique<CLog>(QStringLiteral("Loftwise"), QStringLiteral("started"),
                                      QStringLiteral("stopped"));
    log->OpenLogFile(LogPath().toStdString());
    SetCurrentLog(std::move(log));
}

OSStatus Stop() {
    SetCurrentLog(nullptr);
    return noErr;
}

bool IsFramingLine(const char* program, const char* verb, const QByteArray& line) {
    const QRegularExpression framing(
        QStringLiteral(R"(^%1 %2 logging at \d{1,2}:\d{2}:\d{2}( \S+)? on .*\d{4}.*\.$)")
            .arg(QLatin1String(program), QLatin1String(verb)));
    return framing.match(QString::fromLatin1(line)).hasMatch();
}

} // namespace

bool LogContract::IsStart(const QByteArray& line) const {
    return IsFramingLine(b().program, b().started, line);
}
bool LogContract::IsStop(const QByteArray& line) const {
    return IsFramingLine(b().program, b().stopped, line);
}

TEST_P(LogContract, EntriesAreFramedByStartAndStopLines) {
    b().start();
    b().entry("Uploading /Clients/a.txt", true);
    b().entry("caf\xC3\xA9", true); // UTF-8 goes out unchanged
    EXPECT_EQ(b().stop(), noErr);
    const QByteArray log = ReadFile(b().logPath());
    ASSERT_TRUE(log.endsWith('\n'));
    EXPECT_FALSE(log.contains('\r'));
    const auto lines = LogFileLines(log);
    ASSERT_EQ(lines.size(), 4) << log.constData();
    EXPECT_TRUE(IsStart(lines[0])) << lines[0].constData();
    EXPECT_EQ(lines[1], "Uploading /Clients/a.txt");
    EXPECT_EQ(lines[2], "caf\xC3\xA9");
    EXPECT_TRUE(IsStop(lines[3])) << lines[3].constData();
}

TEST_P(LogContract, ControlCharactersInAnEntryAreEscapedOntoItsLine) {
    const struct {
        const char* text;
        const char* line;
    } rows[] = {
        {"Uploading /x/a\rUpload complete (999999 bytes sent)",
         "Uploading /x/a\\rUpload complete (999999 bytes sent)"},
        {"line one\nstill one entry", "line one\\nstill one entry"},
        {"tab\there, bell\a, escape\x1B, delete\x7F",
         "tab\\there, bell\\x07, escape\\x1B, delete\\x7F"},
        {"a\\r backslash stays", "a\\r backslash stays"},
    };
    b().start();
    for (const auto& row : rows)
        b().entry(row.text, true);
    b().stop();
    const QByteArray log = ReadFile(b().logPath());
    EXPECT_FALSE(log.contains('\r'));
    const auto lines = LogFileLines(log);
    ASSERT_EQ(lines.size(), std::size(rows) + 2) << log.constData();
    for (std::size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(lines[qsizetype(i) + 1], rows[i].line);
}

TEST_P(LogContract, UnflaggedEntriesContinueTheLine) {
    const struct {
        const char* pieces[4];
        const char* line;
    } rows[] = {
        {{"drwxr-xr-x ", "2 ", "user ", "docs"}, "drwxr-xr-x 2 user docs"},
        {{"-rw-r--r-- ", "1 ", "user ", "a.txt"}, "-rw-r--r-- 1 user a.txt"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        b().reset();
        b().start();
        for (int i = 0; i < 4; ++i)
            b().entry(row.pieces[i], i == 3);
        b().stop();
        const auto lines = LogFileLines(ReadFile(b().logPath()));
        ASSERT_EQ(lines.size(), 3);
        EXPECT_EQ(lines[1], row.line);
    }
}

TEST_P(LogContract, TextInAnyScriptComesBackUnchanged) {
    const QByteArray high =
        QStringLiteral(
            "Gr\u00FC\u00DFe \u0417\u0434\u0440\u0430\u0432\u0441\u0442\u0432\u0443\u0439 "
            "\u4F60\u597D \U0001F600")
            .toUtf8();
    b().start();
    b().entry(high.constData(), true);
    b().stop();
    const auto lines = LogFileLines(ReadFile(b().logPath()));
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[1], high);
}

TEST_P(LogContract, EachStartAppendsAPeriodAndKeepsOldContent) {
    WriteFile(b().logPath(), "from before\n");
    for (const char* text : {"first", "second", "third"}) {
        b().start();
        b().entry(text, true);
        b().stop(); // e.g. the sheet confirmed again with nothing changed
    }
    // A second start without a stop still frames both periods.
    b().start();
    b().start();
    b().stop();
    const auto lines = LogFileLines(ReadFile(b().logPath()));
    ASSERT_EQ(lines.size(), 14);
    EXPECT_EQ(lines[0], "from before");
    for (int period = 0; period < 3; ++period) {
        EXPECT_TRUE(IsStart(lines[1 + 3 * period])) << period;
        EXPECT_TRUE(IsStop(lines[3 + 3 * period])) << period;
    }
    EXPECT_EQ(lines[2], "first");
    EXPECT_EQ(lines[5], "second");
    EXPECT_EQ(lines[8], "third");
    for (int i : {10, 12})
        EXPECT_TRUE(IsStart(lines[i])) << i;
    for (int i : {11, 13})
        EXPECT_TRUE(IsStop(lines[i])) << i;
}

TEST_P(LogContract, EntriesFromManyThreadsAreEachAppendedWhole) {
    constexpr int kThreads = 8;
    constexpr int kEntries = 10000;
    b().start();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, entry = b().entry] {
            // Long enough that a torn write would show.
            const std::string padding(60, char('a' + t));
            for (int i = 0; i < kEntries; ++i) {
                const std::string text =
                    "T" + std::to_string(t) + " E" + std::to_string(i) + " " + padding;
                entry(text.c_str(), true);
            }
        });
    for (auto& thread : threads)
        thread.join();
    b().stop();

    const auto lines = LogFileLines(ReadFile(b().logPath()));
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

TEST_P(LogContract, StoppingWhileWorkersLogIsNeitherHeldOffNorTorn) {
    b().start();
    std::atomic<bool> done = false;
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&done, entry = b().entry] {
            while (!done.load())
                entry("worker entry", true);
        });
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(b().stop(), noErr);
        b().start();
    }
    done = true;
    for (auto& worker : workers)
        worker.join();
    b().stop();
    int starts = 0, stops = 0;
    for (const QByteArray& line : LogFileLines(ReadFile(b().logPath()))) {
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

INSTANTIATE_TEST_SUITE_P(Engine, LogContract,
                         ::testing::Values(LogBuild{.program = "Loftwise",
                                                    .started = "started",
                                                    .stopped = "stopped",
                                                    .reset = Reset,
                                                    .logPath = LogPath,
                                                    .start = Start,
                                                    .stop = Stop,
                                                    .entry = LogEntry}));
