#include "tests/support/TestSupport.h"

#include "platform/TextEncoding.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <QUuid>
#include <cstdio>
#include <gtest/gtest.h>
#include <unistd.h>

namespace testing_support {

QString RunRoot() {
    return QString::fromLocal8Bit(qgetenv("LOFTWISE_TEST_ROOT"));
}

QString MakeTempDir(const QString& hint) {
    QString path =
        RunRoot() + "/" + hint + "-" + QUuid::createUuid().toString(QUuid::Id128).left(8);
    EXPECT_TRUE(QDir().mkpath(path)) << path.toStdString();
    return path;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(f.write(bytes), bytes.size());
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.readAll();
}

ProcessResult RunProcess(const QString& program, const QStringList& args, int timeoutMs) {
    ProcessResult r;
    QProcess p;
    p.start(program, args);
    if (!p.waitForStarted(timeoutMs)) return r;
    if (!p.waitForFinished(timeoutMs)) {
        r.timedOut = true;
        p.kill();
        p.waitForFinished(5000);
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

bool WaitUntil(const std::function<bool()>& condition, int ceilingMs,
               const std::function<void()>& step) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > ceilingMs) return false;
        if (step)
            step();
        else
            QThread::msleep(10);
    }
    return true;
}

bool SpinUntil(const std::function<bool()>& condition, int ceilingMs) {
    return WaitUntil(condition, ceilingMs,
                     [] { QCoreApplication::processEvents(QEventLoop::AllEvents, 10); });
}

void SpinFor(int ms) {
    SpinUntil([] { return false; }, ms);
}

QString MakeFile(const QString& name, const QByteArray& bytes) {
    const QString path = MakeTempDir("src") + "/" + name;
    WriteFile(path, bytes);
    return path;
}

QByteArray Pattern(qsizetype size) {
    QByteArray b(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char((i * 7 + i / 251) & 0xFF);
    return b;
}

QList<QByteArray> CrLines(const QByteArray& bytes) {
    QList<QByteArray> lines = bytes.split('\r');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

QList<QByteArray> LogFileLines(const QByteArray& bytes) {
    QList<QByteArray> lines = bytes.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines;
}

QStringList LogEntries(const QString& logPath) {
    static const QRegularExpression framing(
        "^Loftwise(CM)? (started|stopped|starting|stopping) logging at ");
    QStringList entries;
    for (const QByteArray& line : LogFileLines(ReadFile(logPath))) {
        const QString text = QString::fromUtf8(line);
        if (!text.isEmpty() && !framing.match(text).hasMatch()) entries << text;
    }
    return entries;
}

bool WaitForLogEntry(const QString& logPath, const QString& prefix, int count) {
    return WaitUntil([&] {
        int found = 0;
        for (const QString& entry : LogEntries(logPath))
            found += entry.startsWith(prefix);
        return found >= count;
    });
}

QString MakeRecordingProgram(const QString& path, const QString& record, const QString& tag,
                             const QByteArray& before) {
    const QByteArray line = tag.isEmpty() ? QByteArray("printf '%s\\n' \"$1\"")
                                          : "printf '%s %s\\n' '" + tag.toUtf8() + "' \"$1\"";
    WriteFile(path, "#!/bin/sh\n" + before + line + " >> '" + record.toUtf8() + "'\n");
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

namespace {
QStringList RecordLines(const QString& record) {
    return QString::fromUtf8(ReadFile(record)).split('\n', Qt::SkipEmptyParts);
}
} // namespace

QStringList WaitForRecord(const QString& record, int count, int ceilingMs) {
    WaitUntil([&] { return RecordLines(record).size() >= count; }, ceilingMs);
    return RecordLines(record);
}

QStringList RecordAfterQuietTime(const QString& record) {
    QThread::msleep(kNothingStartedMs);
    return RecordLines(record);
}

OpenerRecorder::OpenerRecorder() {
    const QString dir = MakeTempDir("opener");
    m_record = dir + "/opened.txt";
    const QString program = MakeRecordingProgram(dir + "/record-open", m_record);
    m_opener.emplace("LOFTWISE_OPENER", program.toUtf8().constData());
}

QByteArray CaptureStderr(const std::function<void()>& run) {
    std::fflush(stderr);
    const QString path = MakeTempDir("stderr") + "/err";
    FILE* file = std::fopen(QFile::encodeName(path).constData(), "w+");
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(file), STDERR_FILENO);
    run();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::fclose(file);
    return ReadFile(path);
}

} // namespace testing_support
