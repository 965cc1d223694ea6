// What the tests share: files in the per-run private folder, child
// processes, waits, log files and what Launch Services was asked to open.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace testing_support {

// Sets (or, with a null value, unsets) an environment variable for one scope.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = getenv(name)) m_old = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_old)
            setenv(m_name, m_old->c_str(), 1);
        else
            unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// The private folder this test program runs in (HOME and the XDG folders
// point inside it).
QString RunRoot();

// A new empty folder inside the run root.
QString MakeTempDir(const QString& hint = QStringLiteral("t"));
// A file of that name and content in a new temporary folder; its path.
QString MakeFile(const QString& name, const QByteArray& bytes);
// size bytes of a pattern that does not repeat within a block.
QByteArray Pattern(qsizetype size);

void WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);

struct ProcessResult {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    bool timedOut = false;
};
// Runs a program to its end (or kills it after timeoutMs).
ProcessResult RunProcess(const QString& program, const QStringList& args, int timeoutMs = 30000);

// What the code wrote on standard error while it ran.
QByteArray CaptureStderr(const std::function<void()>& run);

// Waits look at their condition every few milliseconds up to a generous
// ceiling, so a loaded machine makes a passing test slower, never failing.
constexpr int kWaitCeilingMs = 30000;

// Calls step (by default a short sleep) until the condition holds; false
// when the ceiling passed first.
bool WaitUntil(const std::function<bool()>& condition, int ceilingMs = kWaitCeilingMs,
               const std::function<void()>& step = {});
// As WaitUntil, running the Qt event loop in between.
bool SpinUntil(const std::function<bool()>& condition, int ceilingMs = kWaitCeilingMs);
// Runs the Qt event loop for a fixed time; only for showing that something
// does not happen within it.
void SpinFor(int ms);

// The activity logs: CR-ended lines of Mac Roman text.
// The lines, split at CR; a trailing piece without CR is kept last.
// A log file's lines (UTF-8, LF line ends), without their ends.
QList<QByteArray> LogFileLines(const QByteArray& bytes);
QList<QByteArray> CrLines(const QByteArray& bytes);
// The log's entries as text, without empty lines and the start and stop lines.
QStringList LogEntries(const QString& logPath);
// Waits until at least count of the log's entries start with prefix (a
// listing runs on its own thread).
bool WaitForLogEntry(const QString& logPath, const QString& prefix, int count = 1);

// Writes an executable script that runs before, then appends its first
// argument to record, after "<tag> " when a tag is given.
QString MakeRecordingProgram(const QString& path, const QString& record, const QString& tag = {},
                             const QByteArray& before = {});
// The record's lines once there are at least count of them (fewer when the
// ceiling passed first).
QStringList WaitForRecord(const QString& record, int count, int ceilingMs = kWaitCeilingMs);
// How long a test gives a program it expects NOT to be started: a started
// one records within this even on a loaded machine.
constexpr int kNothingStartedMs = 300;
// The record's lines after kNothingStartedMs; for showing that nothing (more)
// was recorded.
QStringList RecordAfterQuietTime(const QString& record);

// Points LOFTWISE_OPENER (the program Launch Services opens with) at a
// recording program for one scope.
class OpenerRecorder {
public:
    OpenerRecorder();
    // The paths opened, once there are at least count.
    QStringList WaitForOpened(int count) const { return WaitForRecord(m_record, count); }
    // The paths opened after the quiet time.
    QStringList OpenedAfterQuietTime() const { return RecordAfterQuietTime(m_record); }

private:
    QString m_record;
    std::optional<ScopedEnv> m_opener;
};

} // namespace testing_support
