#include "platform/AppleEventDelivery.h"
#include "platform/AppleEvents.h"
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

using namespace testing_support;

namespace {

QString MakeBundle(const QString& name) {
    const QString path = RunRoot() + "/" + name;
    WriteFile(path + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
              "<string>com.example.delivery-test</string></dict></plist>\n");
    return path;
}

QString PrimaryBundle() {
    static const QString path = MakeBundle("Primary.app");
    return path;
}

plat::LaunchRole StartPrimary(const QStringList& files = {}) {
    plat::SetMainBundlePath(PrimaryBundle());
    return plat::StartAppleEventDelivery(files);
}

QString Canonical(const QString& path) {
    const QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? path : c;
}

struct Opened {
    std::vector<QStringList> events;
    bool allAliases = true;
};

// Reads every item back as a file reference, as the droplet's handler does.
OSErr OnOpenDocuments(const AppleEvent* event, AppleEvent*, SRefCon refcon) {
    auto* opened = static_cast<Opened*>(refcon);
    AEDescList list;
    OSErr err = AEGetParamDesc(event, keyDirectObject, typeAEList, &list);
    if (err != noErr) return err;
    long count = 0;
    AECountItems(&list, &count);
    QStringList paths;
    for (long i = 1; i <= count; ++i) {
        DescType type = 0;
        Size size = 0;
        AEGetNthPtr(&list, i, typeWildCard, nullptr, &type, nullptr, 0, &size);
        opened->allAliases = opened->allAliases && type == typeAlias;
        FSRef ref;
        if (AEGetNthPtr(&list, i, typeFSRef, nullptr, nullptr, &ref, sizeof ref, nullptr) !=
            noErr) {
            paths.push_back("<unreadable>");
            continue;
        }
        paths.push_back(Canonical(plat::PathOfRef(ref).value_or("<gone>")));
    }
    AEDisposeDesc(&list);
    opened->events.push_back(paths);
    return noErr;
}

struct OpenHandler {
    explicit OpenHandler(Opened* o) {
        EXPECT_EQ(
            AEInstallEventHandler(kCoreEventClass, kAEOpenDocuments, OnOpenDocuments, o, false),
            noErr);
    }
    ~OpenHandler() {
        AERemoveEventHandler(kCoreEventClass, kAEOpenDocuments, OnOpenDocuments, false);
    }
};

struct Launch {
    int exitCode = -1;
    QString out;
    QString err;
};

// Runs a second launch while this process keeps serving its event loop.
Launch RunSecondLaunch(const QStringList& args, const QString& workingDir = QString(),
                       const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    if (!workingDir.isEmpty()) p.setWorkingDirectory(workingDir);
    p.start(QStringLiteral(AE_FORWARD_HELPER), args);
    Launch r;
    if (!p.waitForStarted(10000)) return r;
    if (!SpinUntil([&] { return p.state() == QProcess::NotRunning; }, 30000)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

mode_t ModeOf(const QString& path, bool* isSocket = nullptr) {
    struct stat st {};
    if (lstat(QFile::encodeName(path).constData(), &st) != 0) return 0;
    if (isSocket) *isSocket = S_ISSOCK(st.st_mode);
    return st.st_mode & 0777;
}

} // namespace

TEST(AppleEventDelivery, LaunchFilesArriveAsOneEventOnceAHandlerIsInstalled) {
    const QString dir = MakeTempDir("launch");
    WriteFile(dir + "/a.txt", "a");
    WriteFile(dir + "/b.txt", "b");
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir));
    // Relative names are taken from the current folder; a missing one is left out.
    const auto role = StartPrimary({dir + "/a.txt", "b.txt", dir + "/missing.txt"});
    QDir::setCurrent(before);
    ASSERT_EQ(role, plat::LaunchRole::Primary);

    SpinFor(100); // the launch files wait for a handler, however long
    Opened opened;
    OpenHandler handler(&opened);
    EXPECT_TRUE(opened.events.empty());
    ASSERT_TRUE(SpinUntil([&] { return !opened.events.empty(); }));
    SpinFor(100); // time enough for a second event, were there one
    ASSERT_EQ(opened.events.size(), 1u);
    EXPECT_EQ(opened.events[0],
              (QStringList{Canonical(dir + "/a.txt"), Canonical(dir + "/b.txt")}));
    EXPECT_TRUE(opened.allAliases);
}

TEST(AppleEventDelivery, ASecondLaunchForwardsItsFilesInOrder) {
    ASSERT_EQ(StartPrimary(), plat::LaunchRole::Primary);
    bool isSocket = false;
    EXPECT_EQ(ModeOf(plat::InstanceSocketPath(), &isSocket), mode_t(0600));
    EXPECT_TRUE(isSocket);

    const QString dir = MakeTempDir("forward");
    const QString odd =
        QString::fromUtf8("line\nbreak \xC3\xA9.txt"); // framing must not split on newlines
    WriteFile(dir + "/z first.txt", "1");
    WriteFile(dir + "/" + odd, "2");
    WriteFile(dir + "/third.txt", "3");

    Opened opened;
    OpenHandler handler(&opened);
    const Launch second = RunSecondLaunch(
        {PrimaryBundle(), dir + "/z first.txt", odd, dir + "/nothing-here", "third.txt"}, dir);
    EXPECT_EQ(second.exitCode, 0) << second.err.toStdString();
    EXPECT_EQ(second.out, "forwarded\n");
    ASSERT_TRUE(SpinUntil([&] { return !opened.events.empty(); }));
    ASSERT_EQ(opened.events.size(), 1u);
    EXPECT_EQ(opened.events[0],
              (QStringList{Canonical(dir + "/z first.txt"), Canonical(dir + "/" + odd),
                           Canonical(dir + "/third.txt")}));

    // A launch without files just hands over to the running instance.
    const Launch plain = RunSecondLaunch({PrimaryBundle()});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_EQ(plain.out, "forwarded\n");
    // Only names of nothing: forwarded, but no event.
    const Launch none = RunSecondLaunch({PrimaryBundle(), dir + "/gone"});
    EXPECT_EQ(none.out, "forwarded\n");
    SpinFor(200); // time enough for the forwarded names to arrive, were there an event
    EXPECT_EQ(opened.events.size(), 1u);

    // Once the instance stops taking files, a later launch keeps its own.
    plat::StopAppleEventDelivery();
    const Launch late = RunSecondLaunch({PrimaryBundle(), dir + "/third.txt"});
    EXPECT_TRUE(late.out.startsWith("primary ")) << late.out.toStdString();
    EXPECT_EQ(opened.events.size(), 1u);
}

TEST(AppleEventDelivery, AStaleSocketIsReplacedAndRemovedOnExit) {
    const QString other = MakeBundle("Other.app");
    plat::SetMainBundlePath(other);
    const QString path = plat::InstanceSocketPath();
    plat::SetMainBundlePath(PrimaryBundle());
    EXPECT_NE(path, plat::InstanceSocketPath());
    EXPECT_TRUE(path.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + "/loftwise-"));
    EXPECT_TRUE(path.endsWith(".sock"));

    // What a crashed instance leaves behind: a socket file nobody listens on.
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    ASSERT_LT(size_t(name.size()), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, name.constData(), size_t(name.size()));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    ASSERT_TRUE(QFileInfo::exists(path));

    const Launch launch = RunSecondLaunch({other});
    EXPECT_EQ(launch.exitCode, 0) << launch.err.toStdString();
    EXPECT_EQ(launch.out, "primary 600 " + path + "\n");
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(AppleEventDelivery, WithoutARuntimeFolderTheSocketGoesToAPrivateTmpFolder) {
    const QString bundle = MakeBundle("NoRuntime.app");
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_RUNTIME_DIR");
    const Launch launch = RunSecondLaunch({bundle}, QString(), env);
    EXPECT_EQ(launch.exitCode, 0) << launch.err.toStdString();
    const QString folder = QStringLiteral("/tmp/loftwise-%1").arg(getuid());
    EXPECT_TRUE(launch.out.startsWith("primary 600 " + folder + "/loftwise-"))
        << launch.out.toStdString();
    EXPECT_EQ(ModeOf(folder), mode_t(0700));
    // The folder outlives this run; leave no lock file of a throwaway bundle in it.
    const QString socketPath = launch.out.section(' ', 2).trimmed();
    if (socketPath.startsWith(folder + "/")) QFile::remove(socketPath + ".lock");
}
