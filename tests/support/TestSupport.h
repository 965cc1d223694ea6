// Helpers shared by the tests: files in the per-run private folder and
// child processes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace testing_support {

// The private folder this test program runs in (HOME and the XDG folders
// point inside it).
QString RunRoot();

// A new empty folder inside the run root.
QString MakeTempDir(const QString& hint = QStringLiteral("t"));

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

} // namespace testing_support
