// The droplet's shell: start-up from the real bundle, the idle state,
// command dispatch, status messages; and the real executable started,
// described and quit by signal.
#include "app/Shell.h"
#include "platform/Bundle.h"
#include "platform/ui/Snapshot.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QProcess>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const QString kBundle = QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app");
const QString kExecutable = kBundle + "/Contents/Linux/Loftwise";

std::vector<UInt32> gUnhandled;

// Installed before the shell's handler, so it runs after it and sees only
// what the shell passed on.
OSStatus Fallback(EventHandlerCallRef, EventRef e, void*) {
    HICommand c{};
    GetEventParameter(e, kEventParamDirectObject, typeHICommand, nullptr, sizeof c, nullptr, &c);
    gUnhandled.push_back(c.commandID);
    return noErr; // keeps the standard quit from running during the tests
}

QString Text(ControlRef c) {
    QString t;
    plat::GetControlText(c, &t);
    return t;
}

class ShellTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // German texts, so a table entry is visibly different from its key.
        setenv("LANGUAGE", "de", 1);
        plat::SetMainBundlePath(kBundle);
        const EventTypeSpec spec[] = {{kEventClassCommand, kEventCommandProcess}};
        InstallEventHandler(GetApplicationEventTarget(), Fallback, 1, spec, nullptr, nullptr);
        ASSERT_EQ(StartApplication(), noErr);
    }
    void SetUp() override { gUnhandled.clear(); }
};

TEST_F(ShellTest, StartsInTheIdleState) {
    ASSERT_NE(gWindow, nullptr);
    EXPECT_TRUE(IsWindowVisible(gWindow));
    for (ControlRef c : {gMessage, gSpin, gEditButton, gProgress, gSmallMessage, gStopButton,
                         gDirectoryListingButton, gConsoleLogButton})
        ASSERT_NE(c, nullptr);
    EXPECT_FALSE(IsControlVisible(gSpin));
    EXPECT_FALSE(IsControlVisible(gStopButton));
    EXPECT_FALSE(IsControlEnabled(gStopButton));
    EXPECT_FALSE(IsControlVisible(gProgress));
    EXPECT_FALSE(IsControlVisible(gSmallMessage));
    EXPECT_TRUE(IsControlVisible(gEditButton));
    EXPECT_TRUE(IsControlVisible(gDirectoryListingButton));
    EXPECT_TRUE(IsControlVisible(gConsoleLogButton));
    // The Preferences command is enabled at start-up.
    const QList<QAction*> prefs = plat::MenuCommandActions(nullptr, kHICommandPreferences);
    ASSERT_EQ(prefs.size(), 1);
    EXPECT_TRUE(prefs[0]->isEnabled());
}

TEST_F(ShellTest, DispatchTable) {
    struct Row {
        FourCharCode command;
        OSStatus expected;
    };
    const Row rows[] = {{FourCC("ClrP"), noErr},
                        {FourCC("ShwP"), noErr},
                        {FourCC("DLIS"), noErr},
                        {FourCC("cLog"), noErr},
                        {FourCC("pref"), noErr},
                        {FourCC("not!"), noErr},
                        {FourCC("xyzw"), eventNotHandledErr}};
    for (const Row& r : rows) {
        gUnhandled.clear();
        HICommand cmd{kHICommandFromMenu, r.command, {nullptr, 0}};
        const OSStatus st = ProcessHICommand(&cmd);
        const bool passedOn = !gUnhandled.empty();
        EXPECT_EQ(passedOn, r.expected != noErr) << FourCCString(r.command);
        EXPECT_EQ(st, noErr) << FourCCString(
            r.command); // the fallback takes what the shell passed on
    }
}

TEST_F(ShellTest, StopOnlySetsTheFlagAndQuitIsPassedOn) {
    gStopping = false;
    EXPECT_EQ(ProcessHICommandForWindow(gWindow, FourCC("not!")), noErr);
    EXPECT_TRUE(gStopping.load());
    EXPECT_TRUE(gUnhandled.empty());

    EXPECT_FALSE(gQuitting.load());
    HICommand quit{kHICommandFromMenu, kHICommandQuit, {nullptr, 0}};
    ProcessHICommand(&quit);
    EXPECT_TRUE(gQuitting.load());
    ASSERT_EQ(gUnhandled.size(), 1u);
    EXPECT_EQ(gUnhandled[0], kHICommandQuit);
}

TEST_F(ShellTest, PrintMessageLooksUpTheStringTable) {
    print_message("File: ", 1);
    EXPECT_EQ(Text(gMessage), "Datei: ");
    print_message("(%d of %d)", 2);
    EXPECT_EQ(Text(gSmallMessage), "(%d von %d)");
    // Formatted texts have no entry and appear as they are.
    print_message("File: photo 1.jpg", 1);
    EXPECT_EQ(Text(gMessage), "File: photo 1.jpg");
    // Other places set nothing.
    print_message("Bye.", 3);
    EXPECT_EQ(Text(gMessage), "File: photo 1.jpg");
    EXPECT_EQ(Text(gSmallMessage), "(%d von %d)");
    print_message(QString(), 1);
    EXPECT_EQ(Text(gMessage), "File: photo 1.jpg");
}

// The real program, as the desktop starts it.
TEST(ShellProcess, StartsDescribesItsWindowAndQuitsOnSigterm) {
    ASSERT_TRUE(QFileInfo::exists(kExecutable));
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QString shot = MakeTempDir("shot") + "/window.png";
    env.insert("LOFTWISE_SNAPSHOT", shot);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("LANGUAGE");
    app.setProcessEnvironment(env);
    app.start(kExecutable, {});
    ASSERT_TRUE(app.waitForStarted());
    QByteArray out;
    WaitUntil(
        [&] {
            out += app.readAllStandardOutput();
            return out.contains("Window image:");
        },
        kWaitCeilingMs, [&] { app.waitForReadyRead(100); });
    EXPECT_TRUE(out.contains("text: Drop one or more files, folders or volumes")) << out.data();
    EXPECT_TRUE(out.contains("button: Settings")) << out.data();
    EXPECT_FALSE(out.contains("button: Stop")) << out.data();
    EXPECT_FALSE(out.contains("busy indicator")) << out.data();
    EXPECT_TRUE(QFileInfo(shot).size() > 0);

    ::kill(pid_t(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}

TEST(ShellProcess, ABundleWithoutItsInterfaceFileEndsWithTheStatus) {
    const QString copy = MakeTempDir("broken") + "/Broken.app";
    ASSERT_EQ(RunProcess("cp", {"-a", kBundle, copy}).exitCode, 0);
    ASSERT_TRUE(QDir(copy + "/Contents/Resources/main.nib").removeRecursively());
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    app.setProcessEnvironment(env);
    app.start(copy + "/Contents/Linux/Loftwise", {});
    ASSERT_TRUE(app.waitForFinished(20000));
    // The status of the failed step, as the exit status carries it.
    EXPECT_EQ(app.exitCode(), kIBCarbonRuntimeCantFindNibFile & 0xFF);
}

} // namespace
