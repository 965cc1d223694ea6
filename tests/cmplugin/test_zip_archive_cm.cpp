// The plug-in's folder archiving: the same archive in the same place as the
// droplet's, made while the calling thread simply waits.
#include "engine/ZipArchive.h"

#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

const QString kDitto = QStringLiteral(LOFTWISE_DITTO_PATH);

QString PathOf(const FSRef& ref) {
    UInt8 path[4096];
    if (FSRefMakePath(&ref, path, sizeof path) != noErr) return {};
    return QString::fromUtf8(reinterpret_cast<const char*>(path));
}

} // namespace

TEST(ZipArchiveCM, ArchivesTheContentsIntoANewUuidFolder) {
    setenv("LOFTWISE_DITTO", kDitto.toUtf8().constData(), 1);
    const QString photos = MakeTempDir("in") + "/Photos";
    WriteFile(photos + "/beach.jpg", "jpeg");
    FSRef folder{}, archive{};
    ASSERT_EQ(FSPathMakeRef(photos.toUtf8().constData(), &folder, nullptr), noErr);
    ASSERT_TRUE(ZipArchive(&folder, &archive));

    const QFileInfo zip(PathOf(archive));
    EXPECT_EQ(zip.fileName(), "Photos.zip");
    const QString loftwise = qEnvironmentVariable("TMPDIR") +
                             QStringLiteral("/TemporaryItems-%1/Loftwise").arg(getuid());
    EXPECT_EQ(QFileInfo(zip.absolutePath()).absolutePath(), loftwise);
    EXPECT_EQ(QFileInfo(zip.absolutePath()).fileName().size(), 36);
    const ProcessResult list = RunProcess(QStringLiteral("zipinfo"), {"-1", zip.filePath()});
    EXPECT_EQ(list.out, "beach.jpg\n");

    const QString failing = MakeTempDir("bin") + "/archiver";
    WriteFile(failing, "#!/bin/sh\nexit 3\n");
    ::chmod(failing.toUtf8().constData(), 0755);
    setenv("LOFTWISE_DITTO", failing.toUtf8().constData(), 1);
    EXPECT_FALSE(ZipArchive(&folder, &archive));
    // The failed one leaves nothing; the made one goes when discarded.
    EXPECT_EQ(QDir(loftwise).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 1);
    FSRef made{};
    ASSERT_EQ(FSPathMakeRef(zip.filePath().toUtf8().constData(), &made, nullptr), noErr);
    DiscardArchive(&made);
    EXPECT_EQ(QDir(loftwise).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 0);
    unsetenv("LOFTWISE_DITTO");
}
