// The interface services over Qt Widgets, offscreen: nib loading, controls
// by signature and ID, command routing, timers, WaitNextEvent, alerts,
// sheets, the fade, the quit signals and the platform-noise filter.
#include "platform/Bundle.h"
#include "platform/ui/Controls.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Events.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QThread>
#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;

namespace {

const char* kWindowUi = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0"><class>Win</class>
 <widget class="QMainWindow" name="Win">
  <property name="windowTitle"><string>Test window</string></property>
  <widget class="QWidget" name="central">
   <layout class="QVBoxLayout" name="l">
    <item><widget class="QLabel" name="msg">
     <property name="signature" stdset="0"><string>CNTL</string></property>
     <property name="controlID" stdset="0"><number>1</number></property>
     <property name="text"><string>hello</string></property></widget></item>
    <item><widget class="QLabel" name="other">
     <property name="signature" stdset="0"><string>XTRA</string></property>
     <property name="controlID" stdset="0"><number>1</number></property></widget></item>
    <item><widget class="QPushButton" name="go">
     <property name="signature" stdset="0"><string>CNTL</string></property>
     <property name="controlID" stdset="0"><number>2</number></property>
     <property name="command" stdset="0"><string>go!!</string></property></widget></item>
    <item><widget class="QProgressBar" name="bar">
     <property name="signature" stdset="0"><string>CNTL</string></property>
     <property name="controlID" stdset="0"><number>3</number></property></widget></item>
    <item><widget class="QCheckBox" name="box">
     <property name="signature" stdset="0"><string>CNTL</string></property>
     <property name="controlID" stdset="0"><number>4</number></property>
     <property name="command" stdset="0"><string>ok  </string></property></widget></item>
   </layout>
  </widget>
 </widget></ui>)";

const char* kMenuUi = R"(<?xml version="1.0" encoding="UTF-8"?>
<ui version="4.0"><class>Menu</class>
 <widget class="QMainWindow" name="Menu">
  <widget class="QWidget" name="c"/>
  <widget class="QMenuBar" name="bar">
   <widget class="QMenu" name="m"><property name="title"><string>App</string></property>
    <addaction name="actPref"/><addaction name="actQuit"/></widget>
   <addaction name="m"/>
  </widget>
  <action name="actPref"><property name="text"><string>Settings</string></property>
   <property name="command" stdset="0"><string>pref</string></property>
   <property name="enabled"><bool>false</bool></property></action>
  <action name="actQuit"><property name="text"><string>Quit</string></property>
   <property name="command" stdset="0"><string>quit</string></property></action>
 </widget></ui>)";

struct Recorder {
    std::vector<std::pair<char, UInt32>> seen; // ('w'indow or 'a'pp, command)
};
Recorder gRec;
OSStatus gWindowAnswer = eventNotHandledErr;
OSStatus gAppAnswer = eventNotHandledErr;

UInt32 CommandOf(EventRef e) {
    HICommand c{};
    EXPECT_EQ(GetEventParameter(e, kEventParamDirectObject, typeHICommand, nullptr, sizeof c,
                                nullptr, &c),
              noErr);
    return c.commandID;
}

OSStatus WindowHandler(EventHandlerCallRef, EventRef e, void*) {
    gRec.seen.push_back({'w', CommandOf(e)});
    return gWindowAnswer;
}

OSStatus AppHandler(EventHandlerCallRef, EventRef e, void*) {
    gRec.seen.push_back({'a', CommandOf(e)});
    return gAppAnswer;
}

class UiTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const QString bundle = MakeTempDir("UiTest") + "/Test.app";
        WriteFile(bundle + "/Contents/Info.plist",
                  R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.uitest</string></dict></plist>)");
        WriteFile(bundle + "/Contents/Resources/main.nib/Win.ui", kWindowUi);
        WriteFile(bundle + "/Contents/Resources/main.nib/Menu.ui", kMenuUi);
        plat::SetMainBundlePath(bundle);
        ASSERT_EQ(CreateNibReference("main", &s_nib), noErr);
        ASSERT_EQ(SetMenuBarFromNib(s_nib, "Menu"), noErr);
        ASSERT_EQ(CreateWindowFromNib(s_nib, "Win", &s_window), noErr);
        const EventTypeSpec spec[] = {{kEventClassCommand, kEventCommandProcess}};
        ASSERT_EQ(InstallEventHandler(GetWindowEventTarget(s_window), WindowHandler, 1, spec,
                                      nullptr, nullptr),
                  noErr);
        ASSERT_EQ(
            InstallEventHandler(GetApplicationEventTarget(), AppHandler, 1, spec, nullptr, nullptr),
            noErr);
        ShowWindow(s_window);
    }
    void SetUp() override {
        gRec.seen.clear();
        gWindowAnswer = gAppAnswer = eventNotHandledErr;
    }
    static ControlRef Control(const char (&sig)[5], SInt32 id) {
        ControlID cid{FourCC(sig), id};
        ControlRef c = nullptr;
        EXPECT_EQ(GetControlByID(s_window, &cid, &c), noErr);
        return c;
    }
    static inline IBNibRef s_nib = nullptr;
    static inline WindowRef s_window = nullptr;
};

TEST_F(UiTest, NibErrorsAreStatusCodes) {
    IBNibRef nib = nullptr;
    EXPECT_EQ(CreateNibReference("missing", &nib), kIBCarbonRuntimeCantFindNibFile);
    EXPECT_EQ(nib, nullptr);
    WindowRef w = nullptr;
    EXPECT_EQ(CreateWindowFromNib(s_nib, "NoSuchEntry", &w), kIBCarbonRuntimeCantFindObject);
    EXPECT_EQ(w, nullptr);
}

TEST_F(UiTest, ControlsAreFoundBySignatureAndId) {
    ControlRef msg = Control("CNTL", 1);
    ControlRef other = Control("XTRA", 1);
    ASSERT_NE(msg, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_NE(msg, other);
    EXPECT_EQ(msg->objectName(), "msg");

    ControlID missing{FourCC("CNTL"), 99};
    ControlRef none = msg;
    EXPECT_EQ(GetControlByID(s_window, &missing, &none), errUnknownControl);
    EXPECT_EQ(none, nullptr);

    QString text;
    ASSERT_EQ(plat::GetControlText(msg, &text), noErr);
    EXPECT_EQ(text, "hello");
    EXPECT_EQ(plat::SetControlText(msg, "Grüße"), noErr);
    ASSERT_EQ(plat::GetControlText(msg, &text), noErr);
    EXPECT_EQ(text, "Grüße");
    EXPECT_EQ(plat::SetControlText(Control("CNTL", 3), "x"), paramErr);
}

TEST_F(UiTest, ShowHideEnableAndValues) {
    ControlRef bar = Control("CNTL", 3);
    HideControl(bar);
    EXPECT_FALSE(IsControlVisible(bar));
    ShowControl(bar);
    EXPECT_TRUE(IsControlVisible(bar));
    DisableControl(bar);
    EXPECT_FALSE(IsControlEnabled(bar));
    EnableControl(bar);
    EXPECT_TRUE(IsControlEnabled(bar));

    SetControl32BitMinimum(bar, 0);
    SetControl32BitMaximum(bar, 4);
    SetControl32BitValue(bar, 2);
    EXPECT_EQ(GetControl32BitMinimum(bar), 0);
    EXPECT_EQ(GetControl32BitMaximum(bar), 4);
    EXPECT_EQ(GetControl32BitValue(bar), 2);

    ControlRef box = Control("CNTL", 4);
    SetControl32BitValue(box, 1);
    EXPECT_EQ(GetControl32BitValue(box), 1);
    SetControl32BitValue(box, 0);
    EXPECT_EQ(GetControl32BitValue(box), 0);

    EXPECT_EQ(SetWindowTitleWithCFString(s_window, "/pub/"), noErr);
    EXPECT_EQ(plat::WindowTitle(s_window), "/pub/");
}

TEST_F(UiTest, ButtonCommandGoesToWindowThenApplication) {
    auto* go = qobject_cast<QPushButton*>(Control("CNTL", 2));
    ASSERT_NE(go, nullptr);
    go->click();
    ASSERT_EQ(gRec.seen.size(), 2u);
    EXPECT_EQ(gRec.seen[0], std::make_pair('w', FourCC("go!!")));
    EXPECT_EQ(gRec.seen[1], std::make_pair('a', FourCC("go!!")));

    // A window handler that takes the command keeps it from the application.
    gRec.seen.clear();
    gWindowAnswer = noErr;
    go->click();
    ASSERT_EQ(gRec.seen.size(), 1u);
    EXPECT_EQ(gRec.seen[0].first, 'w');

    // The command ID keeps its spaces ("ok  ").
    gRec.seen.clear();
    qobject_cast<QCheckBox*>(Control("CNTL", 4))->click();
    ASSERT_EQ(gRec.seen.size(), 1u);
    EXPECT_EQ(gRec.seen[0].second, FourCC("ok  "));
}

TEST_F(UiTest, UnhandledCommandsReportEventNotHandled) {
    EXPECT_EQ(ProcessHICommandForWindow(s_window, FourCC("zzzz")), eventNotHandledErr);
    gAppAnswer = noErr;
    EXPECT_EQ(ProcessHICommandForWindow(s_window, FourCC("zzzz")), noErr);
}

TEST_F(UiTest, MenuActionsCarryCommandsAndCanBeEnabled) {
    MenuRef bar = plat::ApplicationMenuBar();
    ASSERT_NE(bar, nullptr);
    const QList<QAction*> prefs = plat::MenuCommandActions(nullptr, FourCC("pref"));
    ASSERT_EQ(prefs.size(), 1);
    QAction* pref = prefs[0];
    // The menu bar of the main window shares the nib's actions.
    ASSERT_NE(pref, nullptr);
    EXPECT_FALSE(pref->isEnabled());
    EnableMenuCommand(nullptr, FourCC("pref"));
    EXPECT_TRUE(pref->isEnabled());
    EXPECT_FALSE(static_cast<QMainWindow*>(s_window)->menuBar()->actions().isEmpty());

    gAppAnswer = noErr;
    pref->trigger();
    ASSERT_FALSE(gRec.seen.empty());
    EXPECT_EQ(gRec.seen.back(), std::make_pair('a', FourCC("pref")));
}

TEST_F(UiTest, OneShotTimerFiresOnceFromTheEventLoop) {
    static int fired = 0;
    fired = 0;
    EventLoopTimerRef timer = nullptr;
    ASSERT_EQ(InstallEventLoopTimer(
                  GetCurrentEventLoop(), 0.001, 0,
                  [](EventLoopTimerRef, void* data) { ++*static_cast<int*>(data); }, &fired,
                  &timer),
              noErr);
    EXPECT_EQ(fired, 0); // never inside the installing call
    const auto turn = [] { WaitNextEvent(everyEvent, nullptr, 1, nullptr); };
    ASSERT_TRUE(WaitUntil([] { return fired > 0; }, kWaitCeilingMs, turn));
    // A repeating 1 ms timer would fire again well within this.
    WaitUntil([] { return fired > 1; }, 200, turn);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(RemoveEventLoopTimer(timer), noErr);
}

// A label changed far faster than the display is painted about once a
// frame, and its last text is still painted.
TEST_F(UiTest, RapidChangesArePaintedOnceAFrame) {
    ControlRef msg = Control("CNTL", 1);
    struct PaintCounter : QObject {
        int paints = 0;
        qint64 lastPaint = 0;
        QElapsedTimer clock;
        bool eventFilter(QObject*, QEvent* e) override {
            if (e->type() == QEvent::Paint) ++paints, lastPaint = clock.nsecsElapsed();
            return false;
        }
    } counter;
    counter.clock.start();
    msg->installEventFilter(&counter);
    qint64 lastChange = 0;
    for (int i = 0; i < 300; ++i) {
        lastChange = counter.clock.nsecsElapsed();
        plat::SetControlText(msg, QStringLiteral("File: %1").arg(i));
        Draw1Control(msg);
        WaitNextEvent(everyEvent, nullptr, 0, nullptr);
        QThread::usleep(300);
    }
    const qint64 changed = counter.clock.nsecsElapsed();
    const int frames = int(changed / 16'666'667) + 2;
    EXPECT_LE(counter.paints, frames) << "over " << changed / 1'000'000 << " ms";
    EXPECT_GE(counter.paints, 2);
    const auto turn = [] { WaitNextEvent(everyEvent, nullptr, 1, nullptr); };
    EXPECT_TRUE(WaitUntil([&] { return counter.lastPaint > lastChange; }, kWaitCeilingMs, turn));
    msg->removeEventFilter(&counter);
}

TEST_F(UiTest, WaitNextEventSleepsButWakesWhenAWorkerPosts) {
    QElapsedTimer clock;
    clock.start();
    WaitNextEvent(everyEvent, nullptr, 6, nullptr); // 100 ms
    EXPECT_GE(clock.elapsed(), 95);

    std::thread worker([] {
        // Wake the main thread once it is asleep in WaitNextEvent.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        plat::WakeMainThread();
    });
    clock.restart();
    WaitNextEvent(everyEvent, nullptr, 600, nullptr); // would be 10 s
    const qint64 waited = clock.elapsed();
    worker.join();
    EXPECT_LT(waited, 2000);
}

TEST_F(UiTest, AlertsGoThroughTheResponder) {
    plat::AlertRequest seen{};
    plat::SetAlertResponder([&](const plat::AlertRequest& r) {
        seen = r;
        return kAlertStdAlertCancelButton;
    });
    AlertStdCFStringAlertParamRec params;
    ASSERT_EQ(GetStandardAlertDefaultParams(&params, kStdCFStringAlertVersionOne), noErr);
    params.cancelText = kAlertDefaultCancelText;
    params.cancelButton = kAlertStdAlertCancelButton;
    DialogRef alert = nullptr;
    ASSERT_EQ(CreateStandardAlert(kAlertStopAlert, "Are you sure?", "No undo.", &params, &alert),
              noErr);
    DialogItemIndex hit = 0;
    ASSERT_EQ(RunStandardAlert(alert, nullptr, &hit), noErr);
    plat::SetAlertResponder(nullptr);
    EXPECT_EQ(hit, kAlertStdAlertCancelButton);
    EXPECT_EQ(seen.type, kAlertStopAlert);
    EXPECT_EQ(seen.message, "Are you sure?");
    EXPECT_EQ(seen.explanation, "No undo.");
    EXPECT_EQ(seen.buttons, QStringList({"OK", "Cancel"}));

    // Offscreen and without a responder, the default button answers.
    ASSERT_EQ(CreateStandardAlert(kAlertNoteAlert, "Note", "", nullptr, &alert), noErr);
    ASSERT_EQ(RunStandardAlert(alert, nullptr, &hit), noErr);
    EXPECT_EQ(hit, kAlertStdAlertOKButton);
}

TEST_F(UiTest, BeepSheetAndFade) {
    std::vector<short> beeps;
    plat::SetBeepObserver([&](short d) { beeps.push_back(d); });
    SysBeep(30);
    plat::SetBeepObserver(nullptr);
    EXPECT_EQ(beeps, std::vector<short>{30});

    WindowRef sheet = nullptr;
    ASSERT_EQ(CreateWindowFromNib(s_nib, "Win", &sheet), noErr);
    ASSERT_EQ(ShowSheetWindow(sheet, s_window), noErr);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->parentWidget(), s_window);
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    ASSERT_EQ(HideSheetWindow(sheet), noErr);
    EXPECT_FALSE(sheet->isVisible());
    delete sheet;

    WindowRef fading = nullptr;
    ASSERT_EQ(CreateWindowFromNib(s_nib, "Win", &fading), noErr);
    ShowWindow(fading);
    ASSERT_EQ(
        TransitionWindow(fading, kWindowFadeTransitionEffect, kWindowHideTransitionAction, nullptr),
        noErr);
    EXPECT_FALSE(IsWindowVisible(fading));
    delete fading;
}

TEST_F(UiTest, TerminationSignalsArriveAsTheQuitCommand) {
    int argc = 1;
    char arg0[] = "test";
    char* argv[] = {arg0, nullptr};
    ASSERT_EQ(plat::InitApplication(argc, argv), plat::LaunchRole::Primary);
    gAppAnswer = noErr; // keep the standard quit from ending anything here
    for (int sig : {SIGTERM, SIGINT}) {
        gRec.seen.clear();
        ASSERT_EQ(::raise(sig), 0);
        ASSERT_TRUE(WaitUntil([] { return !gRec.seen.empty(); }, kWaitCeilingMs,
                              [] { WaitNextEvent(everyEvent, nullptr, 1, nullptr); }))
            << "signal " << sig;
        EXPECT_EQ(gRec.seen.back(), std::make_pair('a', kHICommandQuit));
    }
}

// Installed before main, so it is the handler the noise filter forwards to
// whichever test installs the filter first.
struct MessageRecorder {
    static inline std::vector<std::string> seen;
    static inline QtMessageHandler next = nullptr;
    static inline bool recording = false;
    static void Record(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (!recording) return next(type, context, text);
        seen.push_back(std::string(context.category) + ": " + text.toStdString());
    }
    MessageRecorder() { next = qInstallMessageHandler(Record); }
} gMessageRecorder;

TEST(PlatformNoise, KnownHarmlessWarningsAreDroppedEverythingElsePasses) {
    plat::QuietPlatformNoise();
    plat::QuietPlatformNoise(); // a second call must not chain the filter to itself
    struct Row {
        bool warning; // else critical
        const char* category;
        const char* text;
        bool passes;
    };
    const Row rows[] = {
        {true, "default", "This plugin does not support raise()", false},
        {true, "default", "This plugin does not support lower()", false},
        {true, "default", "This plugin does not support propagateSizeHints()", false},
        {true, "default", "QStandardPaths: XDG_RUNTIME_DIR not set, defaulting to '/tmp/runtime-u'",
         false},
        {true, "qt.qpa.plugin", "Could not find the Qt platform plugin \"wayland\" in \"\"", false},
        // Failures of something asked for, and look-alikes, still show.
        {true, "default", "This plugin does not support QPlatformServices::openUrl() for 'x'.",
         true},
        {true, "default", "This plugin does not support raise() for window 2", true},
        {true, "default", "QStandardPaths: wrong permissions on runtime directory /run/u", true},
        {true, "qt.qpa.plugin", "Could not find the Qt platform plugin \"xcb\" in \"\"", true},
        {true, "qt.qpa.xcb", "This plugin does not support raise()", true},
        {false, "default", "This plugin does not support raise()", true},
    };
    MessageRecorder::seen.clear();
    MessageRecorder::recording = true;
    std::vector<std::string> expected;
    for (const Row& row : rows) {
        const QMessageLogger logger(nullptr, 0, nullptr, row.category);
        if (row.warning)
            logger.warning("%s", row.text);
        else
            logger.critical("%s", row.text);
        if (row.passes) expected.push_back(std::string(row.category) + ": " + row.text);
    }
    MessageRecorder::recording = false;
    EXPECT_EQ(MessageRecorder::seen, expected);
}

} // namespace
