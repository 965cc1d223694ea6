// Launch Services: which program an open goes to and with what argument,
// that the caller never waits for it, and the item flags of the container
// test.
#include "platform/Bundle.h"
#include "platform/LaunchServices.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

class LaunchServices : public ::testing::Test {
protected:
    QString dir = MakeTempDir("ls");
    QString record = dir + "/record.txt";
    QByteArray savedPath = qgetenv("PATH");

    void TearDown() override {
        qputenv("LOFTWISE_OPENER", "/bin/true");
        qputenv("PATH", savedPath);
        plat::SetMainBundlePath(QString());
    }
};

TEST_F(LaunchServices, TheOpenerGetsTheLocalPathOrTheURL) {
    const QString opener = MakeRecordingProgram(dir + "/opener", record, "opener");
    qputenv("LOFTWISE_OPENER", opener.toUtf8());
    const QString file = dir + "/Loftwise-ftphost:pub b.log";
    WriteFile(file, "x");

    QUrl launched;
    EXPECT_EQ(LSOpenCFURLRef(QUrl::fromLocalFile(file), &launched), noErr);
    EXPECT_EQ(launched, QUrl::fromLocalFile(opener));
    EXPECT_EQ(WaitForRecord(record, 1), QStringList{"opener " + file});

    EXPECT_EQ(LSOpenCFURLRef(QUrl("http://example.com/a b?q=1"), nullptr), noErr);
    // Openers run detached and may finish in any order; take them one at a time.
    EXPECT_EQ(WaitForRecord(record, 2).value(1), "opener http://example.com/a%20b?q=1");
    FSRef ref;
    ASSERT_EQ(FSPathMakeRef(file.toUtf8().constData(), &ref, nullptr), noErr);
    FSRef launchedRef;
    EXPECT_EQ(LSOpenFSRef(&ref, &launchedRef), noErr);
    EXPECT_EQ(plat::PathOfRef(launchedRef), opener);
    EXPECT_EQ(
        WaitForRecord(record, 3),
        (QStringList{"opener " + file, "opener http://example.com/a%20b?q=1", "opener " + file}));
}

TEST_F(LaunchServices, MissingFilesAndProgramsAreReported) {
    qputenv("LOFTWISE_OPENER", MakeRecordingProgram(dir + "/opener", record, "opener").toUtf8());
    EXPECT_EQ(LSOpenCFURLRef(QUrl::fromLocalFile(dir + "/gone.log"), nullptr), fnfErr);
    EXPECT_EQ(LSOpenCFURLRef(QUrl(), nullptr), paramErr);
    EXPECT_EQ(LSOpenCFURLRef(QUrl("relative/path"), nullptr), paramErr);
    EXPECT_EQ(LSOpenFSRef(nullptr, nullptr), paramErr);

    WriteFile(dir + "/here.txt", "x");
    qputenv("LOFTWISE_OPENER", QFile::encodeName(dir + "/no-such-opener"));
    EXPECT_EQ(LSOpenCFURLRef(QUrl::fromLocalFile(dir + "/here.txt"), nullptr),
              kLSApplicationNotFoundErr);
    qunsetenv("LOFTWISE_OPENER");
    qputenv("PATH", QFile::encodeName(dir + "/empty-path"));
    EXPECT_EQ(LSOpenCFURLRef(QUrl("http://example.com/"), nullptr), kLSApplicationNotFoundErr);
    EXPECT_TRUE(RecordAfterQuietTime(record).isEmpty());
}

TEST_F(LaunchServices, TheCallerDoesNotWaitForTheOpener) {
    // An opener far slower than the call may take.
    const QString opener = MakeRecordingProgram(dir + "/slow", record, "slow", "sleep 3\n");
    qputenv("LOFTWISE_OPENER", opener.toUtf8());
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(LSOpenCFURLRef(QUrl("http://example.com/"), nullptr), noErr);
    EXPECT_LT(timer.elapsed(), 1500);
    EXPECT_TRUE(ReadFile(record).isEmpty());
}

TEST_F(LaunchServices, LogsGoToTheViewerAndTheRestToXdgOpen) {
    qunsetenv("LOFTWISE_OPENER");
    const QString bin = dir + "/bin";
    QDir().mkpath(bin);
    MakeRecordingProgram(bin + "/xdg-open", record, "xdg-open");
    qputenv("PATH", QFile::encodeName(bin) + ":/usr/bin:/bin");
    const QString log = dir + "/a.log";
    const QString text = dir + "/a.txt";
    WriteFile(log, "x");
    WriteFile(text, "x");

    // No viewer anywhere: xdg-open for the log too.
    EXPECT_EQ(plat::FindLogViewer(), std::nullopt);
    EXPECT_EQ(LSOpenCFURLRef(QUrl::fromLocalFile(log), nullptr), noErr);
    EXPECT_EQ(WaitForRecord(record, 1), QStringList{"xdg-open " + log});

    // One on PATH.
    MakeRecordingProgram(bin + "/LoftwiseConsole", record, "path-viewer");
    EXPECT_EQ(LSOpenCFURLRef(QUrl::fromLocalFile(log), nullptr), noErr);
    EXPECT_EQ(WaitForRecord(record, 2).value(1), "path-viewer " + log);

    // The main bundle's own comes first.
    const QString bundle = dir + "/Loftwise.app";
    QDir().mkpath(bundle + "/Contents/Linux");
    MakeRecordingProgram(bundle + "/Contents/Linux/LoftwiseConsole", record, "bundle-viewer");
    plat::SetMainBundlePath(bundle);
    EXPECT_EQ(plat::FindLogViewer(), bundle + "/Contents/Linux/LoftwiseConsole");
    EXPECT_EQ(LSOpenCFURLRef(QUrl::fromLocalFile(log), nullptr), noErr);
    EXPECT_EQ(WaitForRecord(record, 3).value(2), "bundle-viewer " + log);

    // Other files and URLs still go to the desktop's handler.
    EXPECT_EQ(LSOpenCFURLRef(QUrl::fromLocalFile(text), nullptr), noErr);
    EXPECT_EQ(WaitForRecord(record, 4).value(3), "xdg-open " + text);
    EXPECT_EQ(LSOpenCFURLRef(QUrl("https://example.com/help.html"), nullptr), noErr);
    EXPECT_EQ(WaitForRecord(record, 5).value(4), "xdg-open https://example.com/help.html");
}

LSItemInfoFlags FlagsOf(const QString& path, LSRequestedInfo which = kLSRequestBasicFlagsOnly) {
    FSRef ref;
    if (FSPathMakeRef(path.toUtf8().constData(), &ref, nullptr) != noErr) return 0xFFFFFFFF;
    LSItemInfoRecord info;
    if (LSCopyItemInfoForRef(&ref, which, &info) != noErr) return 0xFFFFFFFF;
    return info.flags;
}

TEST_F(LaunchServices, FoldersVolumesAndBundlesAreContainers) {
    WriteFile(dir + "/notes.txt", "x");
    QDir().mkpath(dir + "/Folder");
    QDir().mkpath(dir + "/Clients.app/Contents/Linux");
    QDir().mkpath(dir + "/Menu.plugin");
    WriteFile(dir + "/Tool/Contents/Info.plist", "<plist/>");
    QFile::link(dir + "/Folder", dir + "/link-to-folder");

    EXPECT_EQ(FlagsOf(dir + "/notes.txt"), kLSItemInfoIsPlainFile);
    EXPECT_EQ(FlagsOf(dir + "/Folder"), kLSItemInfoIsContainer);
    EXPECT_EQ(FlagsOf(dir + "/Clients.app"),
              kLSItemInfoIsContainer | kLSItemInfoIsPackage | kLSItemInfoIsApplication);
    EXPECT_EQ(FlagsOf(dir + "/Menu.plugin"), kLSItemInfoIsContainer | kLSItemInfoIsPackage);
    EXPECT_EQ(FlagsOf(dir + "/Tool"), kLSItemInfoIsContainer | kLSItemInfoIsPackage);
    EXPECT_EQ(FlagsOf(dir + "/link-to-folder"), kLSItemInfoIsAliasFile | kLSItemInfoIsSymlink);
    EXPECT_TRUE(FlagsOf("/") & kLSItemInfoIsVolume);
    EXPECT_TRUE(FlagsOf("/") & kLSItemInfoIsContainer);
    // Flags only when asked for.
    EXPECT_EQ(FlagsOf(dir + "/Folder", kLSRequestExtension), 0u);
}

TEST_F(LaunchServices, ItemInfoGivesTheExtensionAndFailsForAGoneItem) {
    WriteFile(dir + "/archive.tar.gz", "x");
    FSRef ref;
    ASSERT_EQ(FSPathMakeRef((dir + "/archive.tar.gz").toUtf8().constData(), &ref, nullptr), noErr);
    LSItemInfoRecord info;
    ASSERT_EQ(LSCopyItemInfoForRef(&ref, kLSRequestAllInfo, &info), noErr);
    EXPECT_EQ(info.extension, "gz");
    EXPECT_EQ(info.flags, kLSItemInfoIsPlainFile);
    QFile::remove(dir + "/archive.tar.gz");
    EXPECT_EQ(LSCopyItemInfoForRef(&ref, kLSRequestBasicFlagsOnly, &info), fnfErr);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(LSCopyItemInfoForRef(nullptr, kLSRequestBasicFlagsOnly, &info), paramErr);
}

} // namespace
