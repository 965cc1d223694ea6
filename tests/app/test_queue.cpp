// The droplet end to end inside one process: drops arrive as Open Documents
// events, the queue pass uploads to a real pyftpdlib server, and the window
// shows what the user would see. Runs in a private keyring session.
#include "app/AppLog.h"
#include "app/ConnectionSettings.h"
#include "app/Shell.h"
#include "app/UploadQueue.h"
#include "app/WicketList.h"
#include "platform/AppleEventDelivery.h"
#include "platform/Bundle.h"
#include "platform/Preferences.h"
#include "platform/TextEncoding.h"
#include "platform/ui/Dialogs.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;

namespace {

const QString kRealBundle = QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app");
const QString kDomain = QStringLiteral("com.brisk-alder.Loftwise");
const QString kIdle = QStringLiteral(
    "Drop one or more files, folders or volumes on the application or this window to upload them.");

QString Text(ControlRef c) {
    QString t;
    plat::GetControlText(c, &t);
    return t;
}

// What the window showed during a pass, sampled every millisecond.
struct Watch {
    QStringList messages, counts;
    QList<int> progress; // bar value at each count message
    QList<int> values;   // every value the bar was set to
    std::function<void()> onSample;
};

class Queue : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_server = StartPyftpdlib().release();
        ASSERT_TRUE(s_server->isRunning()) << s_server->startError().toStdString();
        const QString copy = MakeTempDir("queue") + "/Loftwise.app";
        ASSERT_EQ(RunProcess("cp", {"-a", kRealBundle, copy}).exitCode, 0);
        plat::SetMainBundlePath(copy);
        ASSERT_EQ(StartApplication(), noErr);
        qobject_cast<QLineEdit*>(gHostEditText)
            ->setText(QStringLiteral("127.0.0.1:%1").arg(s_server->port()));
        qobject_cast<QLineEdit*>(gUsernameEditText)->setText(s_server->user());
        qobject_cast<QLineEdit*>(gPasswordEditText)->setText(s_server->password());
        qobject_cast<QLineEdit*>(gFolderEditText)->setText("/");
        // The log follows the destination, as after the sheet's OK.
        StopLogging();
        StartLogging();
        SetZip(false);
    }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        QDir(s_server->home()).removeRecursively();
        QDir().mkpath(s_server->home());
    }
    static void SetZip(bool on) {
        CFPreferencesSetAppValue("ZipFolders", PlistValue::boolean(on), kDomain);
        CFPreferencesAppSynchronize(kDomain);
    }
    // Posts one drop and pumps events until every pass is over.
    static Watch Drop(const QStringList& paths, std::function<void()> during = {}) {
        Watch w;
        w.onSample = std::move(during);
        SetMessageObserver([&w](int where, const QString& text) {
            (where == 1 ? w.messages : w.counts) << text;
            // The bar as it stands when each count is shown.
            if (where == 2) w.progress << GetControl32BitValue(gProgress);
        });
        auto* bar = qobject_cast<QProgressBar*>(gProgress);
        const auto conn =
            QObject::connect(bar, &QProgressBar::valueChanged, [&w](int v) { w.values << v; });
        QTimer sampler;
        QObject::connect(&sampler, &QTimer::timeout, [&w] {
            if (w.onSample) w.onSample();
        });
        sampler.start(1);
        EXPECT_EQ(plat::PostOpenDocuments(paths), paths.size());
        // The event is delivered in a turn of the loop, and schedules the pass.
        for (int turn = 0; turn < 10; ++turn)
            WaitNextEvent(everyEvent, nullptr, 0, nullptr);
        EXPECT_TRUE(WaitUntil([] { return !UploadPassPending(); }, 60000,
                              [] { WaitNextEvent(everyEvent, nullptr, 1, nullptr); }));
        SetMessageObserver(nullptr);
        QObject::disconnect(conn);
        return w;
    }
    static QStringList Arrived() {
        QStringList files;
        QDirIterator it(s_server->home(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << QDir(s_server->home()).relativeFilePath(it.next());
        files.sort();
        return files;
    }
    static QString LogText() {
        return QString::fromUtf8(ReadFile(QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME")) +
                                          "/Logs/Loftwise/" + AppLogDiskName(AppLogFileName())));
    }
    // The informative texts of the alerts shown while during() runs.
    static QStringList Alerts(const std::function<void()>& during) {
        QStringList texts;
        plat::SetAlertResponder([&](const plat::AlertRequest& r) {
            texts << r.explanation;
            return kAlertStdAlertOKButton;
        });
        during();
        plat::SetAlertResponder(nullptr);
        return texts;
    }
    static void ExpectIdle() {
        EXPECT_FALSE(IsControlVisible(gSpin));
        EXPECT_FALSE(IsControlVisible(gStopButton));
        EXPECT_FALSE(IsControlEnabled(gStopButton));
        EXPECT_FALSE(IsControlVisible(gProgress));
        EXPECT_FALSE(IsControlVisible(gSmallMessage));
        EXPECT_TRUE(IsControlVisible(gEditButton));
        EXPECT_EQ(Text(gMessage), kIdle);
    }
    static inline FtpServer* s_server = nullptr;
};

QString Tree(const QStringList& files, const QByteArray& bytes = "data") {
    const QString root = MakeTempDir("drop");
    for (const QString& f : files)
        WriteFile(root + "/" + f, bytes + f.toUtf8());
    return root;
}

TEST_F(Queue, TwoFilesAndAFolderOfThree) {
    const QString src =
        Tree({"a.txt", "b.txt", "Photos/x1.jpg", "Photos/sub/x2.jpg", "Photos/x3.jpg"});
    const Watch w = Drop({src + "/a.txt", src + "/b.txt", src + "/Photos"});
    EXPECT_EQ(Arrived(), QStringList({"a.txt", "b.txt", "x1.jpg", "x2.jpg", "x3.jpg"}));
    for (const char* name : {"a.txt", "b.txt", "x1.jpg", "x2.jpg", "x3.jpg"})
        EXPECT_TRUE(w.messages.contains(QString("File: ") + name))
            << name << "\n"
            << w.messages.join("\n").toStdString();
    EXPECT_EQ(w.counts, QStringList({"(1 of 3)", "(2 of 3)", "(3 of 3)"}));
    // Count j+1 is shown, then the bar is set to j: it steps from 0 to 2.
    EXPECT_EQ(w.progress, QList<int>({0, 0, 1}));
    EXPECT_EQ(w.values, QList<int>({1, 2}));
    EXPECT_EQ(GetControl32BitMaximum(gProgress), 2);
    EXPECT_EQ(GetControl32BitMinimum(gProgress), 0);
    EXPECT_EQ(ReadFile(s_server->home() + "/x2.jpg"), QByteArray("dataPhotos/sub/x2.jpg"));
    ExpectIdle();
}

TEST_F(Queue, StopDuringTheSecondFileOfAFolderOfFive) {
    const QByteArray content(2 * 1024 * 1024, 'z');
    const QString src = Tree({"F/f1.bin", "F/f2.bin", "F/f3.bin", "F/f4.bin", "F/f5.bin"}, content);
    bool pressed = false;
    Drop({src + "/F"}, [&] {
        if (!pressed && Text(gMessage).contains("f2.bin")) {
            pressed = true;
            ProcessHICommandForWindow(gWindow, FourCC("not!"));
        }
    });
    ASSERT_TRUE(pressed);
    const QStringList arrived = Arrived();
    // The file being sent is finished; the next one is not started.
    EXPECT_EQ(arrived.size(), 2) << arrived.join(",").toStdString();
    for (const QString& f : arrived)
        EXPECT_EQ(ReadFile(s_server->home() + "/" + f), content + "F/" + f.toUtf8());
    ExpectIdle();
}

TEST_F(Queue, FoldersWithoutZippingLoseTheirStructure) {
    const QString src = Tree({"Site/index.html", "Site/css/site.css", "Site/img/deep/logo.png"});
    QDir().mkpath(src + "/Empty/Nothing");
    const QString bundle = src + "/Tools/Viewer.app/Contents";
    WriteFile(bundle + "/Info.plist", "<plist/>");
    WriteFile(bundle + "/Linux/Viewer", "ELF");
    Drop({src + "/Empty", src + "/Site", src + "/Tools"});
    EXPECT_EQ(Arrived(),
              QStringList({"Info.plist", "Viewer", "index.html", "logo.png", "site.css"}));
    ExpectIdle();
}

TEST_F(Queue, ZippedFoldersGoAsOneArchiveThatIsThenRemoved) {
    const QString archives = qEnvironmentVariable("TMPDIR") +
                             QStringLiteral("/TemporaryItems-%1/Loftwise").arg(getuid());
    auto leftOver = [&] {
        return QDir(archives).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    };
    SetZip(true);
    const QString src = Tree({"Photos/one.jpg", "Photos/sub/two.jpg"});
    const Watch w = Drop({src + "/Photos"});
    EXPECT_TRUE(w.messages.contains("Folder: Photos")) << w.messages.join("\n").toStdString();
    ASSERT_EQ(Arrived(), QStringList({"Photos.zip"}));
    const QString out = MakeTempDir("unzipped");
    ASSERT_EQ(RunProcess("unzip", {"-q", s_server->home() + "/Photos.zip", "-d", out}).exitCode, 0);
    EXPECT_EQ(ReadFile(out + "/one.jpg"), QByteArray("dataPhotos/one.jpg"));
    EXPECT_EQ(ReadFile(out + "/sub/two.jpg"), QByteArray("dataPhotos/sub/two.jpg"));
    EXPECT_EQ(leftOver(), QStringList());

    // A refused upload takes its archive away too.
    auto* folder = qobject_cast<QLineEdit*>(gFolderEditText);
    folder->setText("/missing");
    EXPECT_EQ(Alerts([&] { Drop({src + "/Photos"}); }).size(), 1);
    folder->setText("/");
    SetZip(false);
    EXPECT_TRUE(QDir(archives).exists());
    EXPECT_EQ(leftOver(), QStringList());
}

TEST_F(Queue, ASecondDropDuringAPassIsQueuedBehindIt) {
    const QString first = Tree({"big1.bin", "big2.bin"}, QByteArray(1024 * 1024, 'b'));
    const QString second = Tree({"late.txt"});
    bool dropped = false;
    const Watch w = Drop({first + "/big1.bin", first + "/big2.bin"}, [&] {
        if (!dropped && Text(gMessage).contains("big1.bin")) {
            dropped = true;
            plat::PostOpenDocuments({second + "/late.txt"});
        }
    });
    ASSERT_TRUE(dropped);
    EXPECT_EQ(Arrived(), QStringList({"big1.bin", "big2.bin", "late.txt"}));
    // The late file went after the pass that was running.
    const qsizetype big2 = w.messages.indexOf(QRegularExpression(".*big2.bin.*"));
    const qsizetype late = w.messages.indexOf(QRegularExpression(".*late.txt.*"));
    ASSERT_GE(big2, 0);
    EXPECT_GT(late, big2) << w.messages.join("\n").toStdString();
}

TEST_F(Queue, ADropThatArrivesAfterAPassIsSentBeforeQuitting) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const QString src = Tree({"first.txt", "late1.bin", "late2.bin"}, QByteArray(1 << 20, 'l'));
    EXPECT_EXIT(
        {
            CFPreferencesSetAppValue("QuitWhenDone", PlistValue::boolean(true), kDomain);
            CFPreferencesAppSynchronize(kDomain);
            Drop({src + "/first.txt"});
            // The second drop comes while the quit timer runs, and its pass
            // outlasts the timer.
            bool slept = false;
            Drop({src + "/late1.bin", src + "/late2.bin"}, [&] {
                if (slept || !Text(gMessage).contains("late1.bin")) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                slept = true;
            });
            if (Arrived() == QStringList({"first.txt", "late1.bin", "late2.bin"}) &&
                ReadFile(s_server->home() + "/late2.bin") == ReadFile(src + "/late2.bin"))
                std::fputs("all sent\n", stderr);
            WaitUntil([] { return false; }, 5000,
                      [] { WaitNextEvent(everyEvent, nullptr, 1, nullptr); });
        },
        ::testing::ExitedWithCode(0), "all sent");
}

TEST_F(Queue, QuitChosenTwiceDuringAPassEndsAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const QString src = Tree({"big.bin"}, QByteArray(8 << 20, 'b'));
    EXPECT_EXIT(
        {
            Drop({src + "/big.bin"}, [&] {
                if (!Text(gMessage).contains("big.bin")) return;
                ProcessHICommandForWindow(gWindow, FourCC("quit"));
                ProcessHICommandForWindow(gWindow, FourCC("quit"));
            });
            // Returning here means the pass waited for the file; the death
            // test then fails, as the process did not end.
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(Queue, AnItemGoneSinceTheDropIsReportedAndTheRestSent) {
    const QString src = Tree({"a.txt", "b.txt", "c.txt"});
    const QStringList alerts = Alerts([&] {
        Drop({src + "/a.txt", src + "/b.txt", src + "/c.txt"}, [&] {
            if (Text(gMessage).contains("a.txt")) QFile::remove(src + "/b.txt");
        });
    });
    EXPECT_EQ(Arrived(), QStringList({"a.txt", "c.txt"}));
    const QString text =
        QString("\u201C%1/b.txt\u201D could not be found (error -43) and was not sent.").arg(src);
    EXPECT_EQ(alerts, QStringList({text}));
    EXPECT_TRUE(LogText().contains(text + "\n"));
}

TEST_F(Queue, AFolderThatChangesBetweenItsWalksIsNotLostSilently) {
    struct Case {
        int changes; // files added, one between each count and collect walk
        QStringList arrived;
        QStringList alerts;
        const char* logged; // besides the alerts
    };
    const Case cases[] = {
        {1,
         {"a.txt", "b.txt", "new1.txt", "z.txt"},
         {},
         "The folder Busy changed while it was read; it was read again."},
        {99,
         {"z.txt"},
         {"The folder Busy kept changing while it was read and was not sent. Drop it again "
          "once it is complete."},
         nullptr},
    };
    for (const Case& c : cases) {
        SetUp();
        const QString src = Tree({"Busy/a.txt", "Busy/b.txt", "z.txt"});
        int added = 0;
        SetBetweenWalksObserver([&] {
            if (added < c.changes) WriteFile(src + QString("/Busy/new%1.txt").arg(++added), "n");
        });
        const QStringList alerts = Alerts([&] { Drop({src + "/Busy", src + "/z.txt"}); });
        SetBetweenWalksObserver(nullptr);
        EXPECT_EQ(Arrived(), c.arrived) << c.changes;
        EXPECT_EQ(alerts, c.alerts) << c.changes;
        for (const QString& a : c.alerts)
            EXPECT_TRUE(LogText().contains(a + "\n"));
        if (c.logged) {
            EXPECT_TRUE(LogText().contains(QString(c.logged) + "\n"));
        }
    }
}

TEST_F(Queue, FilesOfOneDropWithTheSameNameAllArrive) {
    const QString src = Tree({"Trip/Paris/IMG_0001.jpg", "Trip/Rome/IMG_0001.jpg", "IMG_0001.jpg"});
    Drop({src + "/Trip", src + "/IMG_0001.jpg"});
    ASSERT_EQ(Arrived(), QStringList({"IMG_0001 1.jpg", "IMG_0001 2.jpg", "IMG_0001.jpg"}));
    QStringList contents;
    for (const QString& f : Arrived())
        contents << QString::fromUtf8(ReadFile(s_server->home() + "/" + f));
    contents.sort();
    EXPECT_EQ(contents, QStringList({"dataIMG_0001.jpg", "dataTrip/Paris/IMG_0001.jpg",
                                     "dataTrip/Rome/IMG_0001.jpg"}));
    EXPECT_TRUE(LogText().contains(
        "IMG_0001.jpg sent as IMG_0001 2.jpg (this drop has another file of that name)\n"));
    // A later drop replaces as before.
    Drop({src + "/IMG_0001.jpg"});
    EXPECT_EQ(Arrived().size(), 3);
    EXPECT_EQ(ReadFile(s_server->home() + "/IMG_0001.jpg"), QByteArray("dataIMG_0001.jpg"));
}

TEST_F(Queue, WicketsAreListedAndClearedOnlyOnOk) {
    SaveStringPreference("Host", "wicket.example");
    const QString log = QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME")) + "/Logs/Loftwise/" +
                        AppLogDiskName(AppLogFileName());
    ShowWickets();
    QString text = QString::fromLatin1(ReadFile(log));
    EXPECT_TRUE(text.contains("\n \nWickets: \nWicket 0\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nHost: wicket.example\n")) << text.toStdString();

    plat::SetAlertResponder([](const plat::AlertRequest& r) {
        EXPECT_EQ(r.message, "Are you sure you want to clear all current wickets?");
        EXPECT_EQ(r.explanation, "This action can not be undone.");
        return kAlertStdAlertCancelButton;
    });
    ClearWickets();
    text = QString::fromLatin1(ReadFile(log));
    EXPECT_TRUE(text.endsWith("Clearing Wickets...\nCancelled.\n")) << text.toStdString();
    CFPreferencesAppSynchronize(kDomain);
    EXPECT_TRUE(CFPreferencesCopyAppValue("LoginItems", kDomain).has_value());

    plat::SetAlertResponder([](const plat::AlertRequest&) { return kAlertStdAlertOKButton; });
    ClearWickets();
    plat::SetAlertResponder(nullptr);
    text = QString::fromLatin1(ReadFile(log));
    EXPECT_TRUE(text.endsWith("Clearing Wickets...\nWickets cleared.\n")) << text.toStdString();
    EXPECT_FALSE(CFPreferencesCopyAppValue("LoginItems", kDomain).has_value());
    ShowWickets();
    text = QString::fromLatin1(ReadFile(log));
    EXPECT_TRUE(text.endsWith("Wickets cleared.\n \nWickets: \n")) << text.toStdString();
}

} // namespace

namespace {

void SetField(ControlRef field, const QString& text) {
    qobject_cast<QLineEdit*>(field)->setText(text);
}

} // namespace

// A failure every file would meet ends the pass with one alert that says
// what happened and how much was not sent; nothing is tried after it.
TEST_F(Queue, AFailureEveryFileWouldMeetEndsThePassWithOneAlert) {
    const QString host = Text(gHostEditText), password = Text(gPasswordEditText);
    const struct {
        const char* what;
        QString host, password;
        const char* said;
    } rows[] = {
        {"refused connection", QStringLiteral("127.0.0.1:%1").arg(UnusedPort()), password,
         "Connection refused"},
        {"refused password", host, QStringLiteral("wrong"), "530"},
    };
    QStringList paths;
    const QString src = MakeTempDir("thirty");
    for (int i = 0; i < 30; ++i) {
        paths << src + QStringLiteral("/f%1.txt").arg(i);
        WriteFile(paths.last(), "x");
    }
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        SetField(gHostEditText, row.host);
        SetField(gPasswordEditText, row.password);
        QStringList alerts;
        int choices = 0;
        plat::SetAlertResponder([&](const plat::AlertRequest& r) {
            alerts << r.explanation;
            choices = int(r.buttons.size());
            return DialogItemIndex(2); // the settings
        });
        Drop(paths);
        plat::SetAlertResponder(nullptr);
        EXPECT_TRUE(gPreferencesWindow->isVisible());
        ProcessHICommandForWindow(gPreferencesWindow, FourCC("not!"));
        ASSERT_EQ(alerts.size(), 1) << alerts.join("|").toStdString();
        EXPECT_TRUE(alerts[0].contains(row.said)) << alerts[0].toStdString();
        EXPECT_TRUE(alerts[0].contains("Files not sent: 30.")) << alerts[0].toStdString();
        EXPECT_EQ(choices, 2); // OK, and the way to the settings
        EXPECT_TRUE(Arrived().isEmpty());
        ExpectIdle();
    }
    SetField(gHostEditText, host);
    SetField(gPasswordEditText, password);
}

// A copy without a server asks for one and sends the drop once it is set.
TEST_F(Queue, ADropOnACopyWithoutAServerOpensTheSheetAndGoesOnOk) {
    const QString host = Text(gHostEditText);
    SetField(gHostEditText, QString());
    const QString file = MakeTempDir("held") + "/held.txt";
    WriteFile(file, "held");
    const QStringList alerts = Alerts([&] { Drop({file}); });
    EXPECT_TRUE(alerts.isEmpty()) << alerts.join("|").toStdString();
    EXPECT_TRUE(IsControlVisible(gLockedNote));
    EXPECT_TRUE(Arrived().isEmpty());
    SetField(gHostEditText, host);
    QPushButton* ok = nullptr;
    for (auto* b : gPreferencesWindow->findChildren<QPushButton*>())
        if (b->property("command").toString() == "ok  ") ok = b;
    ASSERT_NE(ok, nullptr);
    ok->click();
    EXPECT_FALSE(IsControlVisible(gLockedNote));
    EXPECT_TRUE(WaitUntil([] { return !UploadPassPending() && !Arrived().isEmpty(); }, 30000,
                          [] { WaitNextEvent(everyEvent, nullptr, 1, nullptr); }));
    EXPECT_EQ(Arrived(), QStringList{"held.txt"});
}

// Drops that arrive while the sheet waits for a server all go, in order.
TEST_F(Queue, DropsHeldForAServerAreAllSent) {
    const QString host = Text(gHostEditText);
    SetField(gHostEditText, QString());
    const QString dir = MakeTempDir("held");
    WriteFile(dir + "/first.txt", "1");
    WriteFile(dir + "/second.txt", "2");
    Drop({dir + "/first.txt"});
    Drop({dir + "/second.txt"});
    EXPECT_TRUE(Arrived().isEmpty());
    SetField(gHostEditText, host);
    for (auto* b : gPreferencesWindow->findChildren<QPushButton*>())
        if (b->property("command").toString() == "ok  ") b->click();
    EXPECT_TRUE(WaitUntil([] { return !UploadPassPending() && Arrived().size() == 2; }, 30000,
                          [] { WaitNextEvent(everyEvent, nullptr, 1, nullptr); }));
    EXPECT_EQ(Arrived(), (QStringList{"first.txt", "second.txt"}));
}
