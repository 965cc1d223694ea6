// File-system references over real folders: paths and names, lookups and
// creation, catalog information, FSSpec records, folder lookup and
// whole-file reads.
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;

namespace {

std::string U8(const QString& s) {
    return s.toUtf8().toStdString();
}

FSRef RefOf(const QString& path, OSStatus expected = noErr) {
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(U8(path).c_str(), &ref, nullptr), expected) << U8(path);
    return ref;
}

OSStatus Compare(const FSRef& a, const FSRef& b) {
    return FSCompareFSRefs(&a, &b);
}

QString PathOf(const FSRef& ref) {
    UInt8 buffer[4096];
    if (FSRefMakePath(&ref, buffer, sizeof buffer) != noErr) return QStringLiteral("<none>");
    return QString::fromUtf8(reinterpret_cast<const char*>(buffer));
}

class NamedPath : public ::testing::TestWithParam<const char*> {};

TEST_P(NamedPath, RoundTripsThroughReferences) {
    const QString dir = MakeTempDir("names");
    const QString name = QString::fromUtf8(GetParam());
    const QString file = dir + "/" + name;
    const QString folder = dir + "/" + name + " folder";
    WriteFile(file, "x");
    ASSERT_TRUE(QDir().mkdir(folder));

    FSRef ref{};
    Boolean isDir = true;
    ASSERT_EQ(FSPathMakeRef(U8(file).c_str(), &ref, &isDir), noErr);
    EXPECT_FALSE(isDir);
    EXPECT_EQ(PathOf(ref), file);
    EXPECT_EQ(plat::PathOfRef(ref), file);

    ASSERT_EQ(FSPathMakeRef(U8(folder).c_str(), &ref, &isDir), noErr);
    EXPECT_TRUE(isDir);
    EXPECT_EQ(plat::PathOfRef(ref), folder);

    // Found by name in the parent, and named as stored on disk.
    FSRef parent = RefOf(dir), byName{};
    ASSERT_EQ(FSMakeFSRefUnicode(&parent, name, &byName), noErr);
    EXPECT_EQ(Compare(byName, RefOf(file)), noErr);
    QString onDisk;
    ASSERT_EQ(FSGetCatalogInfo(&byName, kFSCatInfoNone, nullptr, &onDisk, nullptr, nullptr), noErr);
    EXPECT_EQ(onDisk, name);
}

INSTANTIATE_TEST_SUITE_P(Names, NamedPath,
                         ::testing::Values("plain.txt", "with space.txt", "Grüße.txt", "日本語",
                                           "Sites:Client", " leading and trailing ", "#%?*"));

TEST(FilesPaths, PathsAreMadeAbsoluteAndClean) {
    const QString dir = MakeTempDir("clean");
    WriteFile(dir + "/file", "x");
    ASSERT_TRUE(QDir().mkpath(dir + "/sub"));
    EXPECT_EQ(PathOf(RefOf(dir + "/sub/../file")), dir + "/file");
    EXPECT_EQ(PathOf(RefOf(dir + "//sub/./")), dir + "/sub");
    EXPECT_EQ(PathOf(RefOf(dir + "/sub/..")), dir);
    EXPECT_EQ(PathOf(RefOf("/")), "/");

    const QString cwd = QDir::currentPath();
    ASSERT_EQ(chdir(U8(dir).c_str()), 0);
    FSRef relative{};
    const OSStatus status = FSPathMakeRef("sub/../file", &relative, nullptr);
    ASSERT_EQ(chdir(U8(cwd).c_str()), 0);
    ASSERT_EQ(status, noErr);
    EXPECT_EQ(PathOf(relative), dir + "/file");
}

TEST(FilesPaths, MissingObjectsAreFileNotFound) {
    const QString dir = MakeTempDir("missing");
    WriteFile(dir + "/file", "x");
    FSRef ref{};
    for (const QString& path : {dir + "/absent", dir + "/absent/child", dir + "/file/child"})
        EXPECT_EQ(FSPathMakeRef(U8(path).c_str(), &ref, nullptr), fnfErr) << U8(path);
    EXPECT_EQ(FSPathMakeRef("", &ref, nullptr), fnfErr);
    EXPECT_EQ(FSPathMakeRef(nullptr, &ref, nullptr), paramErr);
}

TEST(FilesPaths, SymbolicLinkIsTheLinkItselfUnlessTheSlashFollowsIt) {
    const QString dir = MakeTempDir("links");
    ASSERT_TRUE(QDir().mkdir(dir + "/target"));
    ASSERT_EQ(symlink("target", U8(dir + "/link").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", U8(dir + "/dangling").c_str()), 0);
    Boolean isDir = true;
    FSRef link{}, followed{};
    ASSERT_EQ(FSPathMakeRef(U8(dir + "/link").c_str(), &link, &isDir), noErr);
    EXPECT_FALSE(isDir);
    EXPECT_EQ(PathOf(link), dir + "/link");
    EXPECT_NE(Compare(link, RefOf(dir + "/target")), noErr);
    ASSERT_EQ(FSPathMakeRef(U8(dir + "/link/").c_str(), &followed, &isDir), noErr);
    EXPECT_TRUE(isDir);
    EXPECT_EQ(PathOf(followed), dir + "/target");
    EXPECT_EQ(PathOf(RefOf(dir + "/dangling")), dir + "/dangling");
}

TEST(FilesReferences, FollowARenameInTheSameFolderAndForgetADeletedObject) {
    const QString dir = MakeTempDir("follow");
    WriteFile(dir + "/before", "x");
    const FSRef ref = RefOf(dir + "/before");
    ASSERT_TRUE(QFile::rename(dir + "/before", dir + "/after"));
    EXPECT_EQ(plat::PathOfRef(ref), dir + "/after");

    // A different object now at the stored path is not the referenced one.
    ASSERT_TRUE(QDir().mkdir(dir + "/elsewhere"));
    ASSERT_TRUE(QFile::rename(dir + "/after", dir + "/elsewhere/after"));
    WriteFile(dir + "/before", "new");
    EXPECT_EQ(plat::PathOfRef(ref), std::nullopt);
    UInt8 buffer[1024];
    EXPECT_EQ(FSRefMakePath(&ref, buffer, sizeof buffer), fnfErr);

    const FSRef gone = RefOf(dir + "/before");
    ASSERT_TRUE(QFile::remove(dir + "/before"));
    EXPECT_EQ(plat::PathOfRef(gone), std::nullopt);
    EXPECT_EQ(FSGetCatalogInfo(&gone, kFSCatInfoNodeFlags, nullptr, nullptr, nullptr, nullptr),
              fnfErr);
}

TEST(FilesReferences, ZeroedOrForeignBytesAreNoReference) {
    FSRef zero{}, garbage;
    std::memset(garbage.hidden, 0xA5, sizeof garbage.hidden);
    for (const FSRef* bad : {&zero, &garbage}) {
        EXPECT_EQ(plat::PathOfRef(*bad), std::nullopt);
        EXPECT_EQ(FSCompareFSRefs(bad, bad), paramErr);
        EXPECT_NE(FSGetCatalogInfo(bad, 0, nullptr, nullptr, nullptr, nullptr), noErr);
        FSRef child{};
        EXPECT_NE(FSMakeFSRefUnicode(bad, "x", &child), noErr);
    }
}

TEST(FilesReferences, CompareByIdentity) {
    const QString dir = MakeTempDir("cmp");
    WriteFile(dir + "/a", "x");
    WriteFile(dir + "/b", "x");
    ASSERT_EQ(link(U8(dir + "/a").c_str(), U8(dir + "/hard").c_str()), 0);
    const FSRef a = RefOf(dir + "/a"), b = RefOf(dir + "/b"), hard = RefOf(dir + "/hard");
    EXPECT_EQ(FSCompareFSRefs(&a, &a), noErr);
    EXPECT_EQ(FSCompareFSRefs(&a, &hard), noErr);
    EXPECT_EQ(FSCompareFSRefs(&a, &b), paramErr);
    // /proc is another file system.
    const FSRef proc = RefOf("/proc");
    EXPECT_EQ(FSCompareFSRefs(&a, &proc), diffVolErr);
}

TEST(FilesLookup, NamesThatAreNotOneComponentAreRefused) {
    const QString dir = MakeTempDir("lookup");
    WriteFile(dir + "/file", "x");
    const FSRef parent = RefOf(dir), file = RefOf(dir + "/file");
    FSRef out{};
    EXPECT_EQ(FSMakeFSRefUnicode(&parent, "absent", &out), fnfErr);
    for (const QString& name :
         {QString(), QStringLiteral("a/b"), QStringLiteral("."), QStringLiteral(".."),
          QStringLiteral("a") + QChar(0) + QStringLiteral("b")}) {
        EXPECT_EQ(FSMakeFSRefUnicode(&parent, name, &out), paramErr) << U8(name);
        EXPECT_EQ(FSCreateFileUnicode(&parent, name, 0, nullptr, &out), paramErr) << U8(name);
        EXPECT_EQ(FSCreateDirectoryUnicode(&parent, name, 0, nullptr, &out), paramErr);
    }
    EXPECT_EQ(FSMakeFSRefUnicode(&file, "child", &out), dirNFErr);
    EXPECT_EQ(FSMakeFSRefUnicode(&parent, QString(300, 'n'), &out), paramErr);
}

TEST(FilesCreate, CreatesOnceThenReportsDuplicates) {
    const QString dir = MakeTempDir("create");
    const FSRef parent = RefOf(dir);
    FSRef file{}, folder{}, other{};
    ASSERT_EQ(FSCreateFileUnicode(&parent, "Grüße.txt", 0, nullptr, &file), noErr);
    EXPECT_EQ(PathOf(file), dir + "/Grüße.txt");
    EXPECT_TRUE(QFileInfo(dir + "/Grüße.txt").isFile());
    EXPECT_EQ(QFileInfo(dir + "/Grüße.txt").size(), 0);
    ASSERT_EQ(FSCreateDirectoryUnicode(&parent, "New Folder", 0, nullptr, &folder), noErr);
    EXPECT_TRUE(QFileInfo(dir + "/New Folder").isDir());
    ASSERT_EQ(FSCreateFileUnicode(&folder, "inner", 0, nullptr, nullptr), noErr);
    EXPECT_TRUE(QFileInfo(dir + "/New Folder/inner").isFile());

    WriteFile(dir + "/Grüße.txt", "keep");
    EXPECT_EQ(FSCreateFileUnicode(&parent, "Grüße.txt", 0, nullptr, &other), dupFNErr);
    EXPECT_EQ(FSCreateDirectoryUnicode(&parent, "Grüße.txt", 0, nullptr, &other), dupFNErr);
    EXPECT_EQ(FSCreateFileUnicode(&parent, "New Folder", 0, nullptr, &other), dupFNErr);
    EXPECT_EQ(ReadFile(dir + "/Grüße.txt"), "keep");
    EXPECT_EQ(FSCreateFileUnicode(&file, "child", 0, nullptr, &other), dirNFErr);
}

TEST(FilesCreate, PermissionDeniedIsAccessDenied) {
    if (geteuid() == 0) GTEST_SKIP() << "root is never denied";
    const QString dir = MakeTempDir("denied");
    ASSERT_EQ(chmod(U8(dir).c_str(), 0500), 0);
    const FSRef parent = RefOf(dir);
    FSRef out{};
    EXPECT_EQ(FSCreateFileUnicode(&parent, "f", 0, nullptr, &out), afpAccessDenied);
    EXPECT_EQ(FSCreateDirectoryUnicode(&parent, "d", 0, nullptr, &out), afpAccessDenied);
    chmod(U8(dir).c_str(), 0700);
}

TEST(FilesCatalog, FilesFoldersAndLinks) {
    const QString dir = MakeTempDir("catalog");
    ASSERT_TRUE(QDir().mkdir(dir + "/folder"));
    WriteFile(dir + "/folder/small", QByteArray(1234, 'z'));
    // A sparse file past 4 GiB: sizes are 64-bit.
    {
        const int fd = open(U8(dir + "/folder/big").c_str(), O_CREAT | O_WRONLY, 0600);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, off_t(5) << 30), 0);
        close(fd);
    }
    ASSERT_EQ(symlink("folder", U8(dir + "/link to folder").c_str()), 0);

    FSCatalogInfo info;
    QString name;
    FSRef parentRef{};
    FSSpec spec{};
    const FSRef small = RefOf(dir + "/folder/small");
    ASSERT_EQ(FSGetCatalogInfo(&small, kFSCatInfoNodeFlags | kFSCatInfoDataSizes, &info, &name,
                               &spec, &parentRef),
              noErr);
    EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
    EXPECT_EQ(info.dataLogicalSize, 1234u);
    EXPECT_EQ(name, "small");
    EXPECT_EQ(Compare(parentRef, RefOf(dir + "/folder")), noErr);
    FSRef fromSpec{};
    ASSERT_EQ(FSpMakeFSRef(&spec, &fromSpec), noErr);
    EXPECT_EQ(FSCompareFSRefs(&fromSpec, &small), noErr);

    const FSRef big = RefOf(dir + "/folder/big");
    ASSERT_EQ(FSGetCatalogInfo(&big, kFSCatInfoDataSizes, &info, nullptr, nullptr, nullptr), noErr);
    EXPECT_EQ(info.dataLogicalSize, UInt64(5) << 30);
    UInt64 size = 0;
    EXPECT_EQ(plat::DataForkSize(big, &size), noErr);
    EXPECT_EQ(size, UInt64(5) << 30);

    const FSRef folder = RefOf(dir + "/folder");
    ASSERT_EQ(FSGetCatalogInfo(&folder, kFSCatInfoNodeFlags, &info, &name, nullptr, nullptr),
              noErr);
    EXPECT_NE(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
    EXPECT_EQ(info.dataLogicalSize, 0u);
    EXPECT_EQ(name, "folder");

    const FSRef link = RefOf(dir + "/link to folder");
    ASSERT_EQ(FSGetCatalogInfo(&link, kFSCatInfoNodeFlags, &info, &name, nullptr, &parentRef),
              noErr);
    EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
    EXPECT_EQ(info.dataLogicalSize, 6u); // the length of "folder"
    OSType type;
    std::memcpy(&type, info.finderInfo, sizeof type);
    EXPECT_EQ(type, FourCC("slnk"));
    EXPECT_EQ(name, "link to folder");
    EXPECT_EQ(Compare(parentRef, RefOf(dir)), noErr);

    // The root has no parent.
    const FSRef root = RefOf("/");
    ASSERT_EQ(FSGetCatalogInfo(&root, 0, nullptr, &name, nullptr, &parentRef), noErr);
    EXPECT_EQ(name, "/");
    EXPECT_EQ(plat::IdentityOfRef(parentRef), std::nullopt);
}

TEST(FilesSpec, RoundTripsAndRejectsForeignBytes) {
    const QString dir = MakeTempDir("spec");
    WriteFile(dir + "/file", "x");
    const FSRef ref = RefOf(dir + "/file");
    FSSpec spec{};
    ASSERT_EQ(FSRefMakeFSSpec(&ref, &spec), noErr);
    FSSpec copy; // specifications travel as 70 raw bytes in drags
    std::memcpy(&copy, &spec, sizeof copy);
    FSRef back{};
    ASSERT_EQ(FSpMakeFSRef(&copy, &back), noErr);
    EXPECT_EQ(FSCompareFSRefs(&back, &ref), noErr);
    EXPECT_EQ(PathOf(back), dir + "/file");

    FSSpec zero{};
    EXPECT_EQ(FSpMakeFSRef(&zero, &back), paramErr);
    FSRef zeroRef{};
    EXPECT_EQ(FSRefMakeFSSpec(&zeroRef, &spec), paramErr);

    ASSERT_TRUE(QFile::remove(dir + "/file"));
    EXPECT_EQ(FSpMakeFSRef(&copy, &back), fnfErr);
    EXPECT_EQ(FNNotify(&ref), noErr);
}

TEST(FilesRead, WholeFilesAndWhatIsNoFile) {
    const QString dir = MakeTempDir("read");
    QByteArray big(300 * 1024 + 7, '\0');
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 31 % 251);
    WriteFile(dir + "/big", big);
    WriteFile(dir + "/empty", {});
    ASSERT_EQ(symlink("big", U8(dir + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo(U8(dir + "/fifo").c_str(), 0600), 0);

    EXPECT_EQ(plat::ReadWholeFile(RefOf(dir + "/big")), big);
    EXPECT_EQ(plat::ReadWholeFile(RefOf(dir + "/empty")), QByteArray());
    EXPECT_EQ(plat::ReadWholeFile(RefOf(dir + "/link")), big);
    EXPECT_EQ(plat::ReadWholeFile(RefOf(dir)), std::nullopt);
    EXPECT_EQ(plat::ReadWholeFile(RefOf(dir + "/fifo")), std::nullopt); // and does not hang

    UInt64 size = 99;
    EXPECT_EQ(plat::DataForkSize(RefOf(dir + "/link"), &size), noErr);
    EXPECT_EQ(size, UInt64(big.size()));
    EXPECT_EQ(plat::DataForkSize(RefOf(dir), &size), noErr);
    EXPECT_EQ(size, 0u);

    const FSRef gone = RefOf(dir + "/empty");
    ASSERT_TRUE(QFile::remove(dir + "/empty"));
    EXPECT_EQ(plat::ReadWholeFile(gone), std::nullopt);
    EXPECT_EQ(plat::DataForkSize(gone, &size), fnfErr);
    EXPECT_EQ(size, 0u);
}

struct FolderCase {
    OSType type;
    const char* variable; // the XDG variable it honours, or null
    const char* relative; // under that variable's folder, or under HOME
};

class FolderLocation : public ::testing::TestWithParam<FolderCase> {};

TEST_P(FolderLocation, HonoursXdgVariablesAndHome) {
    const FolderCase c = GetParam();
    const QString home = MakeTempDir("home");
    ScopedEnv homeEnv("HOME", U8(home).c_str());
    if (c.variable) {
        const QString xdg = MakeTempDir("xdg");
        {
            ScopedEnv set(c.variable, U8(xdg).c_str());
            EXPECT_EQ(plat::FolderPath(c.type), xdg + "/" + c.relative);
        }
        {
            // Relative values are ignored, as the XDG rules say.
            ScopedEnv relative(c.variable, "not/absolute");
            EXPECT_TRUE(plat::FolderPath(c.type)->startsWith(home + "/."));
        }
    }
    ScopedEnv unset(c.variable ? c.variable : "LOFTWISE_UNUSED", nullptr);
    const auto path = plat::FolderPath(c.type);
    ASSERT_TRUE(path);
    EXPECT_TRUE(path->startsWith(home + "/")) << U8(*path);
    EXPECT_TRUE(path->endsWith(QString("/") + c.relative)) << U8(*path);

    FSRef ref{};
    EXPECT_EQ(FSFindFolder(kUserDomain, c.type, kDontCreateFolder, &ref), fnfErr);
    ASSERT_EQ(FSFindFolder(kUserDomain, c.type, kCreateFolder, &ref), noErr);
    EXPECT_EQ(plat::PathOfRef(ref), *path);
    EXPECT_TRUE(QFileInfo(*path).isDir());
    FSRef again{};
    ASSERT_EQ(FSFindFolder(kUserDomain, c.type, kDontCreateFolder, &again), noErr);
    EXPECT_EQ(FSCompareFSRefs(&ref, &again), noErr);
    if (c.type == kPreferencesFolderType || c.type == kLogsFolderType) {
        struct stat st;
        ASSERT_EQ(stat(U8(*path).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Types, FolderLocation,
    ::testing::Values(FolderCase{kPreferencesFolderType, "XDG_CONFIG_HOME", "Preferences"},
                      FolderCase{kLogsFolderType, "XDG_STATE_HOME", "Logs"},
                      FolderCase{kContextualMenuItemsFolderType, "XDG_DATA_HOME",
                                 "Contextual Menu Items"},
                      FolderCase{kPreferencePanesFolderType, "XDG_DATA_HOME", "PreferencePanes"},
                      FolderCase{kApplicationsFolderType, nullptr, "Applications"}));

TEST(FilesFolders, DesktopFollowsUserDirs) {
    const QString home = MakeTempDir("desk");
    ScopedEnv homeEnv("HOME", U8(home).c_str());
    ScopedEnv config("XDG_CONFIG_HOME", U8(home + "/.config").c_str());
    WriteFile(home + "/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    EXPECT_EQ(plat::FolderPath(kDesktopFolderType), home + "/Schreibtisch");
    FSRef ref{};
    ASSERT_EQ(FSFindFolder(kUserDomain, kDesktopFolderType, kCreateFolder, &ref), noErr);
    EXPECT_EQ(plat::PathOfRef(ref), home + "/Schreibtisch");
}

TEST(FilesFolders, InstalledBundlesComeAfterTheUsersWhoseNamesHideThem) {
    const QString data = MakeTempDir("data");
    ScopedEnv dataEnv("XDG_DATA_HOME", U8(data).c_str());
    // A system-wide install beside this program: <bin>/../lib/loftwise/PreferencePanes.
    const QString bin = QFileInfo(QFile::symLinkTarget("/proc/self/exe")).absolutePath();
    const QString installed = QDir::cleanPath(bin + "/../lib/loftwise/PreferencePanes");
    const QString user = data + "/PreferencePanes";
    for (const QString& pane :
         {installed + "/Shared.prefPane", installed + "/A.prefPane", installed + "/notapane",
          user + "/Shared.prefPane", user + "/Z.prefPane"})
        QDir().mkpath(pane);
    WriteFile(installed + "/file.prefPane", "not a folder");
    EXPECT_EQ(
        plat::InstalledBundles(kPreferencePanesFolderType, "prefPane"),
        (QStringList{user + "/Shared.prefPane", user + "/Z.prefPane", installed + "/A.prefPane"}));
    QDir(QDir::cleanPath(bin + "/../lib/loftwise")).removeRecursively();
}

TEST(FilesFolders, UnknownTypesAreParameterErrors) {
    FSRef ref{};
    EXPECT_EQ(plat::FolderPath(FourCC("zzzz")), std::nullopt);
    EXPECT_EQ(FSFindFolder(kUserDomain, FourCC("zzzz"), kCreateFolder, &ref), paramErr);
}

class TemporaryItems : public ::testing::Test {
protected:
    void SetUp() override {
        m_tmp = MakeTempDir("tmpdir");
        m_env.emplace("TMPDIR", U8(m_tmp).c_str());
        m_path = m_tmp + QStringLiteral("/TemporaryItems-%1").arg(getuid());
    }
    QString m_tmp, m_path;
    std::optional<ScopedEnv> m_env;
};

TEST_F(TemporaryItems, CreatedPrivateUnderTmpdir) {
    EXPECT_EQ(plat::FolderPath(kTemporaryFolderType), m_path);
    FSRef ref{};
    EXPECT_EQ(FSFindFolder(kUserDomain, kTemporaryFolderType, kDontCreateFolder, &ref), fnfErr);
    ASSERT_EQ(FSFindFolder(kUserDomain, kTemporaryFolderType, kCreateFolder, &ref), noErr);
    EXPECT_EQ(plat::PathOfRef(ref), m_path);
    struct stat st;
    ASSERT_EQ(lstat(U8(m_path).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Too open a folder of our own is closed again.
    ASSERT_EQ(chmod(U8(m_path).c_str(), 0777), 0);
    ASSERT_EQ(FSFindFolder(kOnAppropriateDisk, kChewableItemsFolderType, kCreateFolder, &ref),
              noErr);
    ASSERT_EQ(lstat(U8(m_path).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(TemporaryItems, SymbolicLinkIsRefused) {
    const QString elsewhere = MakeTempDir("attacker");
    ASSERT_EQ(symlink(U8(elsewhere).c_str(), U8(m_path).c_str()), 0);
    FSRef ref{};
    EXPECT_EQ(FSFindFolder(kUserDomain, kTemporaryFolderType, kCreateFolder, &ref), permErr);
    EXPECT_EQ(FSFindFolder(kUserDomain, kTemporaryFolderType, kDontCreateFolder, &ref), permErr);
    ASSERT_EQ(unlink(U8(m_path).c_str()), 0);
    WriteFile(m_path, "a file in its place");
    EXPECT_EQ(FSFindFolder(kUserDomain, kTemporaryFolderType, kCreateFolder, &ref), permErr);
}

TEST_F(TemporaryItems, FolderOwnedBySomeoneElseIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder away";
    ASSERT_EQ(mkdir(U8(m_path).c_str(), 0700), 0);
    ASSERT_EQ(chown(U8(m_path).c_str(), getuid() + 4242, getgid()), 0);
    FSRef ref{};
    EXPECT_EQ(FSFindFolder(kUserDomain, kTemporaryFolderType, kCreateFolder, &ref), permErr);
}

TEST(FilesReferences, MadeAndReadFromManyThreads) {
    const QString dir = MakeTempDir("threads");
    constexpr int kFiles = 300;
    for (int i = 0; i < kFiles; ++i)
        WriteFile(dir + QString("/f%1").arg(i), "x");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    const FSRef parent = RefOf(dir);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kFiles; ++i) {
                const QString name = QString("f%1").arg((i + t * 75) % kFiles);
                FSRef ref{};
                if (FSMakeFSRefUnicode(&parent, name, &ref) != noErr ||
                    plat::PathOfRef(ref) != dir + "/" + name)
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
