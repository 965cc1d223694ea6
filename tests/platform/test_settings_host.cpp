// The settings host: its command line and the request a second launch
// sends, finding panes, the panes' life cycle as the window drives it, and
// the loftwise-settings program (signals, one instance, snapshot).
#include "platform/hosts/settings/SettingsHost.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QListWidget>
#include <QProcess>
#include <csignal>
#include <gtest/gtest.h>

// Readable failures for lists of recorded calls.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << text.toStdString();
}

using namespace testing_support;
namespace sh = plat::settingshost;

namespace {

// Makes <dir>/<name>.prefPane around the test module; an empty label leaves
// NSPrefPaneIconLabel out, an empty principal class NSPrincipalClass.
QString MakePane(const QString& dir, const QString& name, const QString& id,
                 const QString& label = {}, const QString& principal = "FakeSettingsPane") {
    const QString bundle = dir + "/" + name + ".prefPane";
    QByteArray keys = "<key>CFBundleIdentifier</key><string>" + id.toUtf8() +
                      "</string><key>CFBundleName</key><string>" + name.toUtf8() +
                      "</string><key>CFBundleExecutable</key><string>" + name.toUtf8() +
                      "</string>";
    if (!label.isEmpty())
        keys += "<key>NSPrefPaneIconLabel</key><string>" + label.toUtf8() + "</string>";
    if (!principal.isEmpty())
        keys += "<key>NSPrincipalClass</key><string>" + principal.toUtf8() + "</string>";
    WriteFile(bundle + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + keys +
                  "</dict></plist>\n");
    const QString exe = bundle + "/Contents/Linux/" + name;
    WriteFile(exe, ReadFile(FAKE_PANE_MODULE));
    QFile::setPermissions(exe, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return bundle;
}

QString InstalledPanes() {
    const QString dir = qEnvironmentVariable("XDG_DATA_HOME") + "/PreferencePanes";
    QDir().mkpath(dir);
    return dir;
}

QStringList Lines(const QString& path) {
    const QString text = QString::fromUtf8(ReadFile(path));
    return text.split('\n', Qt::SkipEmptyParts);
}

// Each test has a record file of its own, named in the environment for
// panes loaded here and for the programs the test starts.
class SettingsHostTest : public ::testing::Test {
protected:
    QString dir = MakeTempDir("settings");
    QString record = dir + "/record";
    ScopedEnv recordEnv{"FAKE_SETTINGS_PANE_RECORD", record.toUtf8().constData()};

    QStringList calls() const { return Lines(record); }
    void clearCalls() const { QFile::remove(record); }
};

TEST(SettingsHostArguments, ParsesTheOptionsAndRefusesTheRest) {
    const QString cwd = QDir::currentPath();
    struct Row {
        QStringList args;
        QString pane;
        QStringList paths;
        QString snapshot;
        QString error; // empty: parses
        QString click = {};
    };
    const Row rows[] = {
        {{}, {}, {}, {}, {}},
        {{"--pane", "com.example.A"}, "com.example.A", {}, {}, {}},
        {{"--pane=com.example.A"}, "com.example.A", {}, {}, {}},
        {{"--pane-path", "/p/A.prefPane", "--pane-path=rel/B.prefPane"},
         {},
         {"/p/A.prefPane", cwd + "/rel/B.prefPane"},
         {},
         {}},
        {{"--snapshot", "out.png", "--pane", "x"}, "x", {}, "out.png", {}},
        {{"--snapshot=a.png", "--click", "b"}, {}, {}, "a.png", {}, "b"},
        {{"--click", "b"}, {}, {}, {}, "--click needs --snapshot"},
        {{"--pane"}, {}, {}, {}, "--pane needs a value"},
        {{"--pane="}, {}, {}, {}, "--pane needs a value"},
        {{"--pane-path"}, {}, {}, {}, "--pane-path needs a value"},
        {{"--panes", "x"}, {}, {}, {}, "unknown option --panes"},
        {{"-p"}, {}, {}, {}, "unknown option -p"},
        {{"com.example.A"}, {}, {}, {}, "unexpected argument com.example.A"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.args.join(' ').toStdString());
        const auto parsed = sh::ParseArguments(row.args);
        if (!row.error.isEmpty()) {
            ASSERT_TRUE(std::holds_alternative<QString>(parsed));
            EXPECT_EQ(std::get<QString>(parsed), row.error);
            continue;
        }
        ASSERT_TRUE(std::holds_alternative<sh::Options>(parsed))
            << std::get<QString>(parsed).toStdString();
        const auto& options = std::get<sh::Options>(parsed);
        EXPECT_EQ(options.pane, row.pane);
        EXPECT_EQ(options.panePaths, row.paths);
        EXPECT_EQ(options.snapshot, row.snapshot);
        EXPECT_EQ(options.click, row.click);
    }
}

TEST(SettingsHostArguments, RequestsCarryPaneAndPathsWhateverTheirCharacters) {
    const sh::Options sent[] = {
        {},
        {"com.brisk-alder.LoftwiseCM", {}, {}, {}},
        {"a b\nc:%", {"/with space/A.prefPane", "/new\nline/ü.prefPane"}, {}, {}},
    };
    for (const sh::Options& options : sent) {
        const QByteArray request = sh::EncodeRequest(options);
        SCOPED_TRACE(request.toStdString());
        EXPECT_EQ(request.count('\n'), 1);
        EXPECT_TRUE(request.endsWith('\n'));
        const auto decoded = sh::DecodeRequest(request);
        ASSERT_TRUE(std::holds_alternative<sh::Options>(decoded));
        EXPECT_EQ(std::get<sh::Options>(decoded).pane, options.pane);
        EXPECT_EQ(std::get<sh::Options>(decoded).panePaths, options.panePaths);
    }
    const QByteArray refused[] = {"OPEN pane:x",  "RAISE\n",         "OPEN other:x\n",
                                  "OPEN pane:\n", "OPEN path:rel\n", "OPEN  pane:x\n",
                                  "open pane:x\n"};
    for (const QByteArray& request : refused)
        EXPECT_TRUE(std::holds_alternative<QString>(sh::DecodeRequest(request)))
            << request.toStdString();
}

TEST_F(SettingsHostTest, FindsInstalledPanesAndANamedOneWins) {
    const QString installed = InstalledPanes();
    MakePane(installed, "Alpha", "com.example.alpha", "Alpha Label");
    MakePane(installed, "Beta", "com.example.beta");
    WriteFile(installed + "/NoBundle.prefPane/readme", "not a bundle");
    WriteFile(installed + "/Other.plugin/Contents/Info.plist", "<plist/>");
    const QString named = MakePane(dir, "AlphaBuild", "com.example.alpha", "Alpha Build");

    SettingsHost host;
    host.discoverPanes();
    EXPECT_EQ(host.paneIDs(), QStringList({"com.example.alpha", "com.example.beta"}));

    host.addPanePath(named);
    host.discoverPanes();
    EXPECT_EQ(host.paneIDs(), QStringList({"com.example.alpha", "com.example.beta"}));
    NSPreferencePane* alpha = host.paneObject("com.example.alpha");
    ASSERT_NE(alpha, nullptr);
    EXPECT_EQ(CFBundleGetPath(alpha->bundle()), named);
    EXPECT_EQ(host.paneObject("com.example.none"), nullptr);

    // The grid: the icon label, else the bundle's name.
    auto* grid = host.findChild<QListWidget*>("paneGrid");
    ASSERT_NE(grid, nullptr);
    ASSERT_EQ(grid->count(), 2);
    EXPECT_EQ(grid->item(0)->text(), "Alpha Build");
    EXPECT_EQ(grid->item(1)->text(), "Beta");

    // A pane made already keeps its object when the panes are found again.
    MakePane(installed, "Gamma", "com.example.gamma");
    host.discoverPanes();
    EXPECT_EQ(host.paneIDs().size(), 3);
    EXPECT_EQ(host.paneObject("com.example.alpha"), alpha);
}

TEST_F(SettingsHostTest, SelectingSwitchingShowAllAndClosingDriveTheLifeCycleInOrder) {
    const QString installed = InstalledPanes();
    MakePane(installed, "Alpha", "com.example.alpha", "Alpha Label");
    MakePane(installed, "Beta", "com.example.beta");
    MakePane(installed, "NoClass", "com.example.noclass", {}, "");
    MakePane(installed, "WrongClass", "com.example.wrong", {}, "Missing");

    SettingsHost host;
    host.show();
    host.discoverPanes();
    enum Step { Select, ShowAll, Close };
    struct Row {
        Step step;
        QString id;
        bool result;
        QStringList calls; // recorded by this step
        QString current;   // the pane shown after it, empty for the grid
        QString title;
    };
    const Row rows[] = {
        {Select,
         "com.example.alpha",
         true,
         {"Alpha.prefPane init", "Alpha.prefPane loadMainView", "Alpha.prefPane willSelect",
          "Alpha.prefPane didSelect"},
         "com.example.alpha",
         "Alpha Label"},
        {Select, "com.example.alpha", true, {}, "com.example.alpha", "Alpha Label"},
        {Select,
         "com.example.beta",
         true,
         // Made and loaded before the pane shown is left, which stays when that fails.
         {"Beta.prefPane init", "Beta.prefPane loadMainView", "Alpha.prefPane willUnselect",
          "Alpha.prefPane didUnselect", "Beta.prefPane willSelect", "Beta.prefPane didSelect"},
         "com.example.beta",
         "Beta"},
        // Panes that cannot be made leave the one shown as it is.
        {Select, "com.example.noclass", false, {}, "com.example.beta", "Beta"},
        {Select, "com.example.wrong", false, {}, "com.example.beta", "Beta"},
        {Select, "com.example.none", false, {}, "com.example.beta", "Beta"},
        {ShowAll,
         {},
         true,
         {"Beta.prefPane willUnselect", "Beta.prefPane didUnselect"},
         {},
         "Loftwise Settings"},
        {ShowAll, {}, true, {}, {}, "Loftwise Settings"},
        // Made and loaded once; shown again as often as asked.
        {Select,
         "com.example.alpha",
         true,
         {"Alpha.prefPane willSelect", "Alpha.prefPane didSelect"},
         "com.example.alpha",
         "Alpha Label"},
        {Close,
         {},
         true,
         {"Alpha.prefPane willUnselect", "Alpha.prefPane didUnselect"},
         {},
         "Alpha Label"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(QStringLiteral("%1 %2").arg(int(row.step)).arg(row.id).toStdString());
        clearCalls();
        bool result = true;
        if (row.step == Select)
            result = host.selectPane(row.id);
        else if (row.step == ShowAll)
            host.showAll();
        else
            result = host.close();
        EXPECT_EQ(result, row.result);
        EXPECT_EQ(calls(), row.calls);
        NSPreferencePane* current = host.currentPane();
        EXPECT_EQ(current ? CFBundleGetIdentifier(current->bundle()) : QString(), row.current);
        EXPECT_EQ(host.windowTitle(), row.title);
        if (current) {
            // The window fits the pane's view, and only that view shows.
            auto* view = host.findChild<QWidget*>("fakePaneView", Qt::FindChildrenRecursively);
            ASSERT_NE(view, nullptr);
            EXPECT_GE(host.width(), 520);
            EXPECT_GE(host.height(), 360);
            EXPECT_FALSE(host.findChild<QListWidget*>("paneGrid")->isVisible());
        }
    }
}

// The program, run as file managers and the plug-in run it.
class SettingsProgram : public SettingsHostTest {
protected:
    void SetUp() override {
        MakePane(InstalledPanes(), "Alpha", "com.example.alpha", "Alpha Label");
        MakePane(InstalledPanes(), "Beta", "com.example.beta");
    }
    void TearDown() override {
        if (running.state() != QProcess::NotRunning) {
            running.kill();
            running.waitForFinished();
        }
    }
    // Starts the first instance and waits until it shows pane (by bundle
    // folder name), so it listens by then.
    void startRunning(const QStringList& args, const QString& shown) {
        running.setProgram(LOFTWISE_SETTINGS);
        running.setArguments(args);
        running.start();
        ASSERT_TRUE(running.waitForStarted());
        ASSERT_TRUE(WaitUntil([&] { return calls().contains(shown + " didSelect"); }))
            << calls().join('\n').toStdString() << running.readAllStandardError().toStdString();
    }
    QProcess running;
};

TEST_F(SettingsProgram, SignalsLeaveThePaneBeforeTheProgramExits) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        clearCalls();
        startRunning({"--pane", "com.example.beta"}, "Beta.prefPane");
        ::kill(pid_t(running.processId()), signal);
        ASSERT_TRUE(running.waitForFinished(kWaitCeilingMs));
        EXPECT_EQ(running.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(running.exitCode(), 0);
        EXPECT_EQ(calls(),
                  QStringList({"Beta.prefPane init", "Beta.prefPane loadMainView",
                               "Beta.prefPane willSelect", "Beta.prefPane didSelect",
                               "Beta.prefPane willUnselect", "Beta.prefPane didUnselect"}));
    }
}

TEST_F(SettingsProgram, ASecondLaunchHandsItsPaneToTheRunningOne) {
    startRunning({"--pane", "com.example.alpha"}, "Alpha.prefPane");
    clearCalls();

    // A pane the running one has not seen yet, named by its path.
    const QString named = MakePane(dir, "Named", "com.example.named");
    const ProcessResult second =
        RunProcess(LOFTWISE_SETTINGS, {"--pane", "com.example.named", "--pane-path", named});
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_EQ(calls(), QStringList({"Named.prefPane init", "Named.prefPane loadMainView",
                                    "Alpha.prefPane willUnselect", "Alpha.prefPane didUnselect",
                                    "Named.prefPane willSelect", "Named.prefPane didSelect"}));

    // A pane nobody has: the grid shows, both say so, neither fails.
    clearCalls();
    const ProcessResult missing = RunProcess(LOFTWISE_SETTINGS, {"--pane", "com.example.none"});
    EXPECT_EQ(missing.exitCode, 0);
    EXPECT_TRUE(missing.err.contains("No settings pane \"com.example.none\""))
        << missing.err.toStdString();
    EXPECT_EQ(calls(), QStringList({"Named.prefPane willUnselect", "Named.prefPane didUnselect"}));

    ::kill(pid_t(running.processId()), SIGTERM);
    ASSERT_TRUE(running.waitForFinished(kWaitCeilingMs));
    EXPECT_EQ(running.exitCode(), 0);
    EXPECT_TRUE(running.readAllStandardError().contains("No settings pane \"com.example.none\""));
}

TEST_F(SettingsProgram, SnapshotWritesThePaneAsPNGAndNeverForwards) {
    startRunning({"--pane", "com.example.alpha"}, "Alpha.prefPane");
    clearCalls();
    const QString png = dir + "/shot.png";
    const ProcessResult shot =
        RunProcess(LOFTWISE_SETTINGS, {"--pane", "com.example.beta", "--snapshot", png});
    EXPECT_EQ(shot.exitCode, 0) << shot.err.toStdString();
    // The snapshot's own process showed and left Beta; the running one kept Alpha.
    EXPECT_EQ(calls(), QStringList({"Beta.prefPane init", "Beta.prefPane loadMainView",
                                    "Beta.prefPane willSelect", "Beta.prefPane didSelect",
                                    "Beta.prefPane willUnselect", "Beta.prefPane didUnselect"}));
    const QImage image(png, "PNG");
    ASSERT_FALSE(image.isNull());
    EXPECT_GE(image.width(), 520);
    EXPECT_GE(image.height(), 360);

    const ProcessResult unwritable =
        RunProcess(LOFTWISE_SETTINGS, {"--snapshot", dir + "/no/such/folder/shot.png"});
    EXPECT_EQ(unwritable.exitCode, 1);
}

TEST_F(SettingsProgram, ABadCommandLineGivesUsage) {
    const ProcessResult bad = RunProcess(LOFTWISE_SETTINGS, {"--frobnicate"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(bad.err.contains("usage: loftwise-settings")) << bad.err.toStdString();
    EXPECT_TRUE(calls().isEmpty());
}

} // namespace
