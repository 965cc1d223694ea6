// Helpers shared by the tests: files in the per-run private folder and
// child processes.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdlib>
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
