#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QUuid>
#include <gtest/gtest.h>

namespace testing_support {

QString RunRoot() { return QString::fromLocal8Bit(qgetenv("LOFTWISE_TEST_ROOT")); }

QString MakeTempDir(const QString& hint) {
    QString path = RunRoot() + "/" + hint + "-" + QUuid::createUuid().toString(QUuid::Id128).left(8);
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

} // namespace testing_support
