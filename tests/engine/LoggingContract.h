// What the activity log promises, whichever program opened it.
#pragma once

#include "platform/MacTypes.h"

#include <QByteArray>
#include <QString>
#include <gtest/gtest.h>
#include <ostream>

// One build's log as the shared tests drive it.
struct LogBuild {
    const char* program; // the first word of the start and stop lines
    const char* started; // their verbs
    const char* stopped;
    void (*reset)();      // logging off, no logs folder, this build's test settings
    QString (*logPath)(); // the file those settings log to
    void (*start)();
    OSStatus (*stop)();
    void (*entry)(const char* text, bool addLineEnd);
};

// Test names and messages show the build by its log's program name.
inline void PrintTo(const LogBuild& build, std::ostream* os) {
    *os << build.program;
}

class LogContract : public ::testing::TestWithParam<LogBuild> {
protected:
    void SetUp() override { GetParam().reset(); }
    void TearDown() override { GetParam().stop(); }

    const LogBuild& b() const { return GetParam(); }
    bool IsStart(const QByteArray& line) const;
    bool IsStop(const QByteArray& line) const;
};
