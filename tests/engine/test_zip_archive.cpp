// Folder archiving: where the archive goes, what the archiver is given, what
// a failure leaves, and a caller's window kept alive while waiting.
#include "engine/ZipArchive.h"

#include "engine/Logging.h"
#include "platform/LaunchServices.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <cstdlib>
#include <functional>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace testing_support;

// What a window would have shown, and how often the wait yielded.
namespace {
std::vector<std::pair<QString, int>> gMessages;
int gYields = 0;
ZipArchiveCaller gCaller;

ZipArchiveCaller* Caller() {
    gCaller = {};
    gCaller.starting = [](const QString& name) {
        gMessages.emplace_back("Zip archiving: " + name, 1);
    };
    gCaller.whileWaiting = [] {
        ++gYields;
        // As the droplet's does, the wait gives the time away.
        ::usleep(1000000 / 60);
    };
    return &gCaller;
}
} // namespace

namespace {

const QString kDitto = QStringLiteral(LOFTWISE_DITTO_PATH);

QString LoftwiseTemporaryFolder() {
    return qEnvironmentVariable("TMPDIR") +
           QStringLiteral("/TemporaryItems-%1/Loftwise").arg(getuid());
}

QStringList UuidFolders() {
    return QDir(LoftwiseTemporaryFolder()).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
}

unsigned Mode(const QString& path) {
    struct stat st {};
    ::lstat(path.toUtf8().constData(), &st);
    return st.st_mode & 07777;
}

FSRef RefOf(const QString& path) {
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(path.toUtf8().constData(), &ref, nullptr), noErr) << path.toStdString();
    return ref;
}

QString PathOf(const FSRef& ref) {
    UInt8 path[4096];
    if (FSRefMakePath(&ref, path, sizeof path) != noErr) return {};
    return QString::fromUtf8(reinterpret_cast<const char*>(path));
}

QStringList ZipListing(const QString& zip) {
    const ProcessResult r = RunProcess(QStringLiteral("zipinfo"), {QStringLiteral("-1"), zip});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QStringList names = QString::fromUtf8(r.out).split('\n', Qt::SkipEmptyParts);
    names.sort();
    return names;
}

// An archiver script; "$@" are ditto's arguments.
QString MakeScript(const QString& body) {
    const QString path = MakeTempDir("bin") + "/archiver";
    WriteFile(path, ("#!/bin/sh\n" + body + "\n").toUtf8());
    ::chmod(path.toUtf8().constData(), 0755);
    return path;
}

class ZipArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("LOFTWISE_DITTO", kDitto.toUtf8().constData(), 1);
        gMessages.clear();
        gYields = 0;
    }
    void TearDown() override { unsetenv("LOFTWISE_DITTO"); }
    void UseArchiver(const QString& program) {
        setenv("LOFTWISE_DITTO", program.toUtf8().constData(), 1);
    }
};

const QRegularExpression kUuid(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"));

} // namespace

TEST_F(ZipArchiveTest, PhotosBecomesPhotosZipInANewPrivateUuidFolder) {
    const QString photos = MakeTempDir("in") + "/Photos";
    WriteFile(photos + "/beach.jpg", "jpeg 1");
    WriteFile(photos + "/2024/snow.jpg", "jpeg 2");
    const FSRef folder = RefOf(photos);
    FSRef archive{};
    ASSERT_TRUE(ZipArchive(&folder, &archive, Caller()));

    const QString zip = PathOf(archive);
    const QFileInfo info(zip);
    EXPECT_EQ(info.fileName(), "Photos.zip");
    const QString uuidFolder = info.absolutePath();
    EXPECT_TRUE(kUuid.match(QFileInfo(uuidFolder).fileName()).hasMatch())
        << uuidFolder.toStdString();
    EXPECT_EQ(QFileInfo(uuidFolder).absolutePath(), LoftwiseTemporaryFolder());
    EXPECT_EQ(Mode(uuidFolder), 0700u);
    EXPECT_EQ(Mode(LoftwiseTemporaryFolder()), 0700u);
    EXPECT_EQ(Mode(QFileInfo(LoftwiseTemporaryFolder()).absolutePath()), 0700u);
    EXPECT_EQ(ZipListing(zip), (QStringList{"2024/", "2024/snow.jpg", "beach.jpg"}));

    ASSERT_EQ(gMessages.size(), 1u);
    EXPECT_EQ(gMessages[0].first, "Zip archiving: Photos");
    EXPECT_EQ(gMessages[0].second, 1);
}

TEST_F(ZipArchiveTest, ZippingTwiceGivesTwoArchivesInTwoFolders) {
    const QString docs = MakeTempDir("in") + "/Fotos é 日本";
    WriteFile(docs + "/a.txt", "a");
    const QStringList before = UuidFolders();
    const FSRef folder = RefOf(docs);
    FSRef first{}, second{};
    ASSERT_TRUE(ZipArchive(&folder, &first, Caller()));
    ASSERT_TRUE(ZipArchive(&folder, &second, Caller()));
    EXPECT_EQ(QFileInfo(PathOf(first)).fileName(), "Fotos é 日本.zip");
    EXPECT_NE(QFileInfo(PathOf(first)).absolutePath(), QFileInfo(PathOf(second)).absolutePath());
    EXPECT_TRUE(QFileInfo::exists(PathOf(first)));
    EXPECT_TRUE(QFileInfo::exists(PathOf(second)));
    EXPECT_EQ(UuidFolders().size(), before.size() + 2);
}

TEST_F(ZipArchiveTest, AnEmptyFolderStillRunsTheArchiverWithItsArguments) {
    const QString empty = MakeTempDir("in") + "/Nothing";
    QDir().mkpath(empty);
    const QString record = MakeTempDir("rec") + "/args";
    // Records its arguments one per line, then archives for real.
    UseArchiver(MakeScript(
        QStringLiteral("printf '%s\\n' \"$@\" > '%1'\nexec '%2' \"$@\"").arg(record, kDitto)));
    const FSRef folder = RefOf(empty);
    FSRef archive{};
    ASSERT_TRUE(ZipArchive(&folder, &archive, Caller()));
    const QString zip = PathOf(archive);
    EXPECT_TRUE(QFileInfo(zip).isFile());
    EXPECT_EQ(QString::fromUtf8(ReadFile(record)).split('\n', Qt::SkipEmptyParts),
              (QStringList{"-c", "-k", "-X", empty, zip}));
}

TEST_F(ZipArchiveTest, AFailingArchiverGivesFalseAndLeavesNothingBehind) {
    const QString src = MakeTempDir("in") + "/Docs";
    WriteFile(src + "/a.txt", "a");
    const FSRef folder = RefOf(src);
    FSRef archive{};
    const QStringList before = UuidFolders();
    const QString outside = MakeTempDir("outside");
    WriteFile(outside + "/keep.txt", "keep");
    const QString archivers[] = {
        // A half-written archive and a link out of the folder, then failure.
        MakeScript(QStringLiteral("echo PK > \"$5\"\nln -s '%1' \"$5.link\"\nexit 1").arg(outside)),
        MakeScript(QStringLiteral("kill -9 $$")),
        MakeTempDir("bin") + "/no-such-program",
    };
    for (const QString& archiver : archivers) {
        SCOPED_TRACE(archiver.toStdString());
        UseArchiver(archiver);
        EXPECT_FALSE(ZipArchive(&folder, &archive, Caller()));
        EXPECT_EQ(UuidFolders(), before);
    }
    EXPECT_EQ(ReadFile(outside + "/keep.txt"), "keep");
}

TEST_F(ZipArchiveTest, DiscardingRemovesOnlyAnArchiveMadeHere) {
    const QString src = MakeTempDir("in") + "/Docs";
    WriteFile(src + "/a.txt", "a");
    const FSRef folder = RefOf(src);
    const QStringList before = UuidFolders();
    FSRef archive{};
    ASSERT_TRUE(ZipArchive(&folder, &archive, Caller()));
    ASSERT_EQ(UuidFolders().size(), before.size() + 1);
    DiscardArchive(&archive);
    EXPECT_EQ(UuidFolders(), before);
    EXPECT_TRUE(QDir(LoftwiseTemporaryFolder()).exists());

    // A file elsewhere, even one in a folder of the temporary folder, stays.
    const QString elsewhere[] = {src + "/a.txt",
                                 QFileInfo(LoftwiseTemporaryFolder()).absolutePath() + "/x/y.zip"};
    for (const QString& path : elsewhere) {
        WriteFile(path, "mine");
        const FSRef ref = RefOf(path);
        DiscardArchive(&ref);
        EXPECT_EQ(ReadFile(path), "mine") << path.toStdString();
    }
}

TEST_F(ZipArchiveTest, TheWindowKeepsRunningWhileTheArchiverWorks) {
    const QString src = MakeTempDir("in") + "/Slow";
    WriteFile(src + "/a.txt", "a");
    UseArchiver(MakeScript(QStringLiteral("sleep 0.4\nexec '%1' \"$@\"").arg(kDitto)));
    const FSRef folder = RefOf(src);
    FSRef archive{};
    ASSERT_TRUE(ZipArchive(&folder, &archive, Caller()));
    // 0.4 s at most a tick (1/60 s) per yield.
    EXPECT_GE(gYields, 10);
}

TEST_F(ZipArchiveTest, PathsOver2048BytesFailCleanly) {
    // Just under the limit works; one folder deeper does not.
    QString deep = MakeTempDir("in");
    while (deep.toUtf8().size() < 1840)
        deep += "/" + QString(200, QLatin1Char('d'));
    deep += "/" + QString(2040 - deep.toUtf8().size() - 1, QLatin1Char('e'));
    ASSERT_EQ(deep.toUtf8().size(), 2040);
    ASSERT_TRUE(QDir().mkpath(deep));
    WriteFile(deep + "/file.txt", "x");
    FSRef folder = RefOf(deep);
    FSRef archive{};
    ASSERT_TRUE(ZipArchive(&folder, &archive, Caller()));
    EXPECT_EQ(ZipListing(PathOf(archive)), QStringList{"file.txt"});

    deep += "/" + QString(10, QLatin1Char('f'));
    ASSERT_TRUE(QDir().mkpath(deep));
    folder = RefOf(deep);
    EXPECT_FALSE(ZipArchive(&folder, &archive, Caller()));
}

TEST_F(ZipArchiveTest, ProgramsWeStartGetOnlyTheStandardDescriptors) {
    // A listening socket left inheritable, as a data connection would be.
    const int socket = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(socket, 0);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(socket, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback), 0);
    ASSERT_EQ(::listen(socket, 1), 0);

    const QString src = MakeTempDir("in") + "/Docs";
    WriteFile(src + "/a.txt", "a");
    const FSRef folder = RefOf(src);
    struct Case {
        const char* what;
        const char* variable;
        std::function<void()> start;
    };
    const Case cases[] = {
        {"archiver", "LOFTWISE_DITTO",
         [&] {
             FSRef archive{};
             ZipArchive(&folder, &archive, Caller());
         }},
        {"opener", "LOFTWISE_OPENER",
         [] { EXPECT_EQ(LSOpenCFURLRef(QUrl("http://example.com/"), nullptr), noErr); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString record = MakeTempDir("fds") + "/fds";
        // ls is a child of the script and so inherits what it did; its 3 is
        // the folder it lists.
        ScopedEnv program(c.variable, MakeScript(QStringLiteral("ls /proc/self/fd > '%1.tmp'\n"
                                                                "mv '%1.tmp' '%1'")
                                                     .arg(record))
                                          .toUtf8()
                                          .constData());
        c.start();
        ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(record); }));
        EXPECT_EQ(QString::fromUtf8(ReadFile(record)).split('\n', Qt::SkipEmptyParts),
                  (QStringList{"0", "1", "2", "3"}));
    }
    ::close(socket);
}

TEST_F(ZipArchiveTest, AFolderThatCannotBeArchivedIsLoggedAndShownWithTheReason) {
    struct Case {
        const char* what;
        QString folderName;
        bool unsafeTemporaryFolder;
        const char* reason;
    };
    const Case cases[] = {
        {"temporary folder not our own", "Docs", true, "not safe to use"},
        {"name too long for an archive", QString(252, QLatin1Char('n')), false, "too long"},
    };
    const QString logPath = qEnvironmentVariable("XDG_STATE_HOME") + "/Logs/Zip.log";
    QDir().mkpath(QFileInfo(logPath).path());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const QString src = MakeTempDir("in") + "/" + c.folderName;
        WriteFile(src + "/a.txt", "a");
        // Someone else's folder in the place of ours: a link to elsewhere.
        const QString tmp = MakeTempDir("tmp");
        if (c.unsafeTemporaryFolder) {
            ASSERT_EQ(::symlink(MakeTempDir("elsewhere").toUtf8().constData(),
                                (tmp + QStringLiteral("/TemporaryItems-%1").arg(getuid()))
                                    .toUtf8()
                                    .constData()),
                      0);
        }
        ScopedEnv tmpdir("TMPDIR", tmp.toUtf8().constData());
        WriteFile(logPath, {});
        auto opened = std::make_unique<CLog>("Loftwise", "started", "stopped");
        opened->OpenLogFile(logPath.toStdString());
        SetCurrentLog(std::move(opened));
        const FSRef folder = RefOf(src);
        FSRef archive{};
        EXPECT_FALSE(ZipArchive(&folder, &archive, Caller()));
        SetCurrentLog(nullptr);
        const QStringList log = LogEntries(logPath);
        ASSERT_EQ(log.size(), 1) << log.join('|').toStdString();
        EXPECT_TRUE(log[0].contains(c.folderName.left(40))) << log[0].toStdString();
        EXPECT_TRUE(log[0].contains(c.reason)) << log[0].toStdString();
        EXPECT_EQ(gCaller.failure, log[0]);
    }
}
