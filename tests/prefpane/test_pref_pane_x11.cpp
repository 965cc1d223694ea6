// A real drag in the pane's outline view: an X server of its own (Xvfb), Qt
// on xcb, and the pointer moved by xdotool through the X server, so the
// drag runs through Qt's own X11 drag loop exactly as a user's does.
#include "tests/cmplugin/MenuSettings.h"
#include "tests/support/TestMain.h"
#include "tests/support/TestSupport.h"

#include "platform/Preferences.h"
#include "platform/hosts/settings/SettingsHost.h"
#include "platform/ui/OutlineView.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QWindow>
#include <csignal>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const QString kPane = QStringLiteral(LOFTWISE_BUNDLES_DIR "/LoftwisePrefPane.prefPane");

// The names of the saved tree, groups as name(children).
QString SavedTree(const PlistValue& group) {
    QStringList parts;
    const PlistValue* entries = group.find("Entries");
    if (!entries || !entries->asArray()) return {};
    for (const PlistValue& e : *entries->asArray()) {
        if (const PlistArray* item = e.asArray())
            parts << *item->at(0).asString();
        else if (e.asDictionary())
            parts << *e.find("Group")->asString() + "(" + SavedTree(e) + ")";
    }
    return parts.join(',');
}

QString SavedTree() {
    plat::ResetPreferencesCache();
    const std::optional<PlistValue> tree = CFPreferencesCopyAppValue("MenuItems", kCMDomain);
    return tree ? SavedTree(*tree) : QString();
}

TEST(PaneOnX11, DraggingAnItemOntoAGroupWithThePointerMovesItToTheGroupsTop) {
    if (QGuiApplication::platformName() != "xcb") GTEST_SKIP() << "no X server";
    if (QStandardPaths::findExecutable("xdotool").isEmpty())
        GTEST_SKIP() << "xdotool is not installed";
    Set("MenuItems",
        Root({Group("Target", {Item("t1", "ftp://h/t1")}), Item("Move me", "ftp://h/m")}));

    SettingsHost host;
    host.addPanePath(kPane);
    host.discoverPanes();
    ASSERT_TRUE(host.selectPane(kCMDomain));
    host.show();
    ASSERT_TRUE(SpinUntil([&] { return host.windowHandle() && host.windowHandle()->isExposed(); }));
    auto* outline = host.currentPane()->mainView()->findChild<NSOutlineView*>("outlineView");
    ASSERT_TRUE(outline);
    ASSERT_EQ(outline->numberOfRows(), 2); // the group is collapsed

    QAbstractItemModel* model = outline->model();
    const auto pointAt = [&](int row) {
        const QRect r = outline->visualRect(model->index(row, 0));
        return outline->viewport()->mapToGlobal(r.center());
    };
    const QPoint from = pointAt(1), to = pointAt(0);

    // Press, move in steps past the drag distance, hover on the group, release.
    QStringList steps{"mousemove",
                      QString::number(from.x()),
                      QString::number(from.y()),
                      "sleep",
                      "0.3",
                      "mousedown",
                      "1",
                      "sleep",
                      "0.2"};
    for (int i = 1; i <= 8; ++i) {
        const QPoint p = from + (to - from) * i / 8;
        steps << "mousemove" << QString::number(p.x()) << QString::number(p.y()) << "sleep"
              << "0.1";
    }
    steps << "sleep"
          << "0.4"
          << "mouseup"
          << "1";
    QProcess pointer;
    pointer.start("xdotool", steps);
    ASSERT_TRUE(pointer.waitForStarted());

    EXPECT_TRUE(SpinUntil([] { return SavedTree() == "Target(Move me,t1)"; }, 20000))
        << SavedTree().toStdString();
    pointer.waitForFinished(5000);
}

// An X server of our own on a free display number, for the life of the run.
class XServer {
public:
    bool start() {
        for (int n = 90 + getpid() % 100; n < 400; ++n) {
            const QString socket = QString("/tmp/.X11-unix/X%1").arg(n);
            if (QFileInfo::exists(socket) || QFileInfo::exists(QString("/tmp/.X%1-lock").arg(n)))
                continue;
            const std::string display = ":" + std::to_string(n);
            m_pid = fork();
            if (m_pid == 0) {
                execlp("Xvfb", "Xvfb", display.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
                       "tcp", static_cast<char*>(nullptr));
                _exit(127);
            }
            if (m_pid < 0) return false;
            if (WaitUntil([&] { return QFileInfo::exists(socket) || exited(); }, 10000) &&
                !exited()) {
                setenv("DISPLAY", display.c_str(), 1);
                return true;
            }
            stop();
        }
        return false;
    }
    void stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }
    ~XServer() { stop(); }

private:
    bool exited() {
        if (m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == m_pid) m_pid = -1;
        return m_pid < 0;
    }
    pid_t m_pid = -1;
};

} // namespace

int main(int argc, char** argv) {
    unsetenv("WAYLAND_DISPLAY");
    XServer server;
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() || !server.start()) {
        // Without an X server the drag cannot be made; the run says so.
        fprintf(stderr, "No X server could be started; the X11 drag test does not run\n");
        return RunTestsOnPlatform(argc, argv, "offscreen");
    }
    return RunTestsOnPlatform(argc, argv, "xcb");
}
