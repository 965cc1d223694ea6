// Alias records over real folders: what they find again after a rename or a
// move, and what they must not find (copies, deleted objects, new files that
// reuse an inode number).
#include "platform/Alias.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

std::string U8(const QString& s) {
    return s.toUtf8().toStdString();
}

FSRef RefOf(const QString& path) {
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(U8(path).c_str(), &ref, nullptr), noErr) << U8(path);
    return ref;
}

QByteArray AliasOf(const QString& path, const FSRef* fromFile = nullptr) {
    const FSRef target = RefOf(path);
    QByteArray alias;
    EXPECT_EQ(FSNewAlias(fromFile, &target, &alias), noErr);
    EXPECT_FALSE(alias.isEmpty());
    return alias;
}

struct Resolved {
    OSStatus status = noErr;
    QString path;
    Boolean changed = false;
    FSRef ref{};
};

Resolved Resolve(const QByteArray& alias, const FSRef* fromFile = nullptr) {
    Resolved r;
    r.status = FSResolveAlias(fromFile, alias, &r.ref, &r.changed);
    if (r.status == noErr) r.path = plat::PathOfRef(r.ref).value_or("<stale>");
    return r;
}

// A small application bundle, as the wicket entries refer to.
QString MakeBundle(const QString& folder, const QString& name) {
    const QString bundle = folder + "/" + name;
    WriteFile(bundle + "/Contents/Info.plist", "<plist/>");
    WriteFile(bundle + "/Contents/Linux/Loftwise", "#!/bin/sh\n");
    return bundle;
}

ino_t InodeOf(const QString& path) {
    struct stat st;
    return lstat(U8(path).c_str(), &st) == 0 ? st.st_ino : 0;
}

bool FileSystemHasBirthTimes(const QString& path) {
    struct statx sx;
    return statx(AT_FDCWD, U8(path).c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 &&
           (sx.stx_mask & STATX_BTIME);
}

TEST(Alias, ResolvesInPlaceAndFindsARenamedObjectInItsFolder) {
    const QString dir = MakeTempDir("renamed");
    const QString bundle = MakeBundle(dir, "Loftwise.app");
    WriteFile(dir + "/neighbour", "n");
    const QByteArray alias = AliasOf(bundle);
    const Resolved there = Resolve(alias);
    ASSERT_EQ(there.status, noErr);
    EXPECT_EQ(there.path, bundle);
    EXPECT_FALSE(there.changed);

    ASSERT_TRUE(QDir().rename(bundle, dir + "/Clients.app"));
    const Resolved r = Resolve(alias);
    ASSERT_EQ(r.status, noErr);
    EXPECT_EQ(r.path, dir + "/Clients.app");
    EXPECT_TRUE(r.changed);
}

TEST(Alias, FindsAMovedObjectThroughItselfAsTheBase) {
    const QString from = MakeTempDir("from"), to = MakeTempDir("to");
    const QString bundle = MakeBundle(from, "Loftwise.app");
    const QByteArray alias = AliasOf(bundle); // made with no relative base
    ASSERT_TRUE(QDir().rename(bundle, to + "/Moved.app"));

    EXPECT_EQ(Resolve(alias).status, fnfErr);
    const FSRef moved = RefOf(to + "/Moved.app");
    const Resolved r = Resolve(alias, &moved);
    ASSERT_EQ(r.status, noErr);
    EXPECT_EQ(r.path, to + "/Moved.app");
    EXPECT_TRUE(r.changed);
    EXPECT_EQ(FSCompareFSRefs(&r.ref, &moved), noErr);

    // Another object as the base finds nothing.
    const FSRef other = RefOf(to);
    EXPECT_EQ(Resolve(alias, &other).status, fnfErr);
}

TEST(Alias, ACopyIsANewObject) {
    const QString dir = MakeTempDir("copy"), elsewhere = MakeTempDir("copies");
    const QString original = MakeBundle(dir, "Loftwise.app");
    const QByteArray alias = AliasOf(original);
    const QString copy = elsewhere + "/Copy.app";
    ASSERT_EQ(RunProcess("cp", {"-a", original, copy}).exitCode, 0);
    const FSRef copyRef = RefOf(copy);

    // While the original exists, the record names it, not the copy.
    Resolved r = Resolve(alias, &copyRef);
    ASSERT_EQ(r.status, noErr);
    EXPECT_EQ(r.path, original);
    EXPECT_NE(FSCompareFSRefs(&r.ref, &copyRef), noErr);

    // Once it is gone, the copy still does not match, wherever it is.
    ASSERT_TRUE(QDir(original).removeRecursively());
    EXPECT_EQ(Resolve(alias, &copyRef).status, fnfErr);
    ASSERT_TRUE(QDir().rename(copy, original));
    const FSRef atOldPlace = RefOf(original);
    EXPECT_EQ(Resolve(alias, &atOldPlace).status, fnfErr);
}

TEST(Alias, DeletedObjectIsFileNotFound) {
    const QString dir = MakeTempDir("deleted");
    WriteFile(dir + "/file", "x");
    const QByteArray alias = AliasOf(dir + "/file");
    ASSERT_TRUE(QFile::remove(dir + "/file"));
    EXPECT_EQ(Resolve(alias).status, fnfErr);
    ASSERT_TRUE(QDir(dir).removeRecursively());
    EXPECT_EQ(Resolve(alias).status, fnfErr);
}

TEST(Alias, NewFileReusingTheInodeDoesNotMatch) {
    const QString dir = MakeTempDir("reuse");
    WriteFile(dir + "/probe", "x");
    if (!FileSystemHasBirthTimes(dir + "/probe"))
        GTEST_SKIP() << "this file system keeps no birth times";
    // Delete and recreate until the file system hands out the same inode
    // number again (ext4 does at once).
    for (int attempt = 0; attempt < 50; ++attempt) {
        WriteFile(dir + "/file", "old");
        const ino_t before = InodeOf(dir + "/file");
        const QByteArray alias = AliasOf(dir + "/file");
        ASSERT_TRUE(QFile::remove(dir + "/file"));
        usleep(2000); // a birth time that surely differs
        WriteFile(dir + "/file", "new");
        if (InodeOf(dir + "/file") != before) {
            ASSERT_TRUE(QFile::remove(dir + "/file"));
            continue;
        }
        EXPECT_EQ(Resolve(alias).status, fnfErr);
        return;
    }
    GTEST_SKIP() << "the file system never reused the inode number";
}

TEST(Alias, MovesTogetherWithItsRelativeBase) {
    const QString root = MakeTempDir("together");
    WriteFile(root + "/Project/base.txt", "b");
    WriteFile(root + "/Project/docs/target.txt", "t");
    const FSRef base = RefOf(root + "/Project/base.txt");
    const QByteArray alias = AliasOf(root + "/Project/docs/target.txt", &base);
    ASSERT_TRUE(QDir().rename(root + "/Project", root + "/Renamed Project"));

    const FSRef movedBase = RefOf(root + "/Renamed Project/base.txt");
    const Resolved r = Resolve(alias, &movedBase);
    ASSERT_EQ(r.status, noErr);
    EXPECT_EQ(r.path, root + "/Renamed Project/docs/target.txt");
    EXPECT_EQ(Resolve(alias).status, fnfErr);
}

TEST(Alias, BytesThatAreNoRecordAreParameterErrors) {
    const QString dir = MakeTempDir("garbage");
    WriteFile(dir + "/file", "x");
    const QByteArray good = AliasOf(dir + "/file");
    QByteArray wrongMagic = good;
    wrongMagic[0] = 'X';
    QByteArray wrongVersion = good;
    wrongVersion[4] = char(99);
    const QByteArray cases[] = {
        QByteArray(),
        QByteArray("garbage bytes, not an alias"),
        good.left(good.size() - 1),
        good + '\0',
        good.left(12),
        wrongMagic,
        wrongVersion,
    };
    for (const QByteArray& bad : cases) {
        FSRef out{};
        EXPECT_EQ(FSResolveAlias(nullptr, bad, &out, nullptr), paramErr) << bad.toHex().data();
    }
    FSRef out{};
    EXPECT_EQ(FSResolveAlias(nullptr, good, nullptr, nullptr), paramErr);
    EXPECT_EQ(FSResolveAlias(nullptr, good, &out, nullptr), noErr); // wasChanged may be null
}

TEST(Alias, UpdateTellsWhetherTheRecordChanged) {
    const QString dir = MakeTempDir("update");
    WriteFile(dir + "/a", "a");
    WriteFile(dir + "/b", "b");
    QByteArray alias = AliasOf(dir + "/a");
    const FSRef a = RefOf(dir + "/a"), b = RefOf(dir + "/b");
    Boolean changed = true;
    ASSERT_EQ(FSUpdateAlias(nullptr, &a, &alias, &changed), noErr);
    EXPECT_FALSE(changed);
    ASSERT_EQ(FSUpdateAlias(nullptr, &b, &alias, &changed), noErr);
    EXPECT_TRUE(changed);
    EXPECT_EQ(Resolve(alias).path, dir + "/b");

    // After a rename the updated record resolves straight to the new path.
    ASSERT_TRUE(QFile::rename(dir + "/b", dir + "/c"));
    const Resolved renamed = Resolve(alias);
    ASSERT_EQ(renamed.status, noErr);
    ASSERT_TRUE(renamed.changed);
    ASSERT_EQ(FSUpdateAlias(nullptr, &renamed.ref, &alias, &changed), noErr);
    EXPECT_TRUE(changed);
    const Resolved after = Resolve(alias);
    EXPECT_EQ(after.path, dir + "/c");
    EXPECT_FALSE(after.changed);
}

} // namespace
