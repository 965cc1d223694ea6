// Every test program runs with its own home, XDG folders, runtime folder and
// temporary folder, so tests never touch the user's settings or each other's,
// and with Qt offscreen so GUI tests need no display (a program that drives a
// real display calls RunTestsOnPlatform from a main of its own).
#include "tests/support/TestMain.h"

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

int RunTestsOnPlatform(int argc, char** argv, const char* platform) {
    QTemporaryDir root(QDir::tempPath() + "/loftwise-test-XXXXXX");
    if (!root.isValid()) return 2;
    const QByteArray base = root.path().toLocal8Bit();
    auto set = [&](const char* name, const char* sub) {
        QByteArray dir = base + "/" + sub;
        QDir().mkpath(QString::fromLocal8Bit(dir));
        setenv(name, dir.constData(), 1);
    };
    setenv("LOFTWISE_TEST_ROOT", base.constData(), 1);
    set("HOME", "home");
    set("XDG_CONFIG_HOME", "home/.config");
    set("XDG_STATE_HOME", "home/.local/state");
    set("XDG_DATA_HOME", "home/.local/share");
    set("XDG_RUNTIME_DIR", "run");
    chmod((base + "/run").constData(), 0700);
    set("TMPDIR", "tmp");
    setenv("QT_QPA_PLATFORM", platform, 1);
    unsetenv("LANGUAGE");
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    setenv("LANG", "C.UTF-8", 1);
    // Launch Services opens nothing during tests unless a test asks for it.
    setenv("LOFTWISE_OPENER", "/bin/true", 1);

    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}

#ifndef LOFTWISE_OWN_TEST_MAIN
int main(int argc, char** argv) {
    return RunTestsOnPlatform(argc, argv, "offscreen");
}
#endif
