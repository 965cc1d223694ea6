// The container walk over real folders: order, levels, what each item is
// offered as, stopping, and failures.
#include "platform/FileIteration.h"
#include "tests/support/TestSupport.h"

#include <QString>
#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

struct Visit {
    std::string path;
    ItemCount level;
    bool folder;
    bool operator==(const Visit&) const = default;
};

struct Recorder {
    std::vector<Visit> visits;
    std::vector<QString> names;
    std::vector<UInt64> sizes;
    std::vector<bool> specMatches;
    std::vector<std::string> finderInfo;
    size_t stopAfter = SIZE_MAX;
};

Boolean Record(Boolean, ItemCount level, const FSCatalogInfo* info, const FSRef* ref,
               const FSSpec* spec, const HFSUniStr255* name, void* data) {
    auto* r = static_cast<Recorder*>(data);
    r->visits.push_back({plat::PathBytesOfRef(*ref).value_or("<no path>"), level,
                         (info->nodeFlags & kFSNodeIsDirectoryMask) != 0});
    if (name)
        r->names.push_back(QString(reinterpret_cast<const QChar*>(name->unicode), name->length));
    if (spec) {
        FSRef back;
        r->specMatches.push_back(FSpMakeFSRef(spec, &back) == noErr &&
                                 FSCompareFSRefs(&back, ref) == noErr);
    }
    r->sizes.push_back(info->dataLogicalSize);
    r->finderInfo.emplace_back(reinterpret_cast<const char*>(info->finderInfo),
                               sizeof info->finderInfo);
    return r->visits.size() >= r->stopAfter;
}

// What the walk must produce: a plain recursive readdir, links not followed.
void Expected(const std::string& dir, ItemCount level, ItemCount maxLevels,
              std::vector<Visit>* out) {
    DIR* d = opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = dir + "/" + name;
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        out->push_back({path, level, S_ISDIR(st.st_mode)});
        if (S_ISDIR(st.st_mode) && (maxLevels == 0 || level < maxLevels))
            Expected(path, level + 1, maxLevels, out);
    }
    closedir(d);
}

std::string MakeTree(const std::vector<std::string>& entries) {
    const std::string root = MakeTempDir("walk").toStdString();
    for (const std::string& e : entries) {
        if (e.back() == '/') {
            fs::create_directories(root + "/" + e);
        } else {
            fs::create_directories(fs::path(root + "/" + e).parent_path());
            WriteFile(QString::fromStdString(root + "/" + e), QByteArray(int(e.size()), 'x'));
        }
    }
    return root;
}

FSRef RefOf(const std::string& path) {
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(path.c_str(), &ref, nullptr), noErr) << path;
    return ref;
}

OSErr Walk(const std::string& root, Recorder* r, ItemCount maxLevels = 0,
           FSCatalogInfoBitmap info = kFSCatInfoNodeFlags, bool spec = false, bool name = false) {
    const FSRef ref = RefOf(root);
    return FSIterateContainer(&ref, maxLevels, info, spec, name, Record, r);
}

const std::vector<std::string> kTree = {
    "a/f1",
    "a/sub/g1",
    "a/sub/g2",
    "a/sub/deeper/h",
    "a/empty/",
    "b.app/Contents/Info.plist",
    "b.app/Contents/MacOS/b",
    "top.txt",
    "z/only-folders/x/",
};

} // namespace

TEST(FileIteration, DepthFirstInCatalogOrderAtEveryLevelLimit) {
    const std::string root = MakeTree(kTree);
    for (ItemCount maxLevels : {0u, 1u, 2u, 3u}) {
        SCOPED_TRACE(maxLevels);
        std::vector<Visit> expected;
        Expected(root, 1, maxLevels, &expected);
        Recorder r;
        EXPECT_EQ(Walk(root, &r, maxLevels), noErr);
        EXPECT_EQ(r.visits, expected);
    }
}

// Enough items to grow the reference path table several times: every
// reference still names its own item.
TEST(FileIteration, ManyItemsKeepTheirOwnPaths) {
    std::vector<std::string> entries;
    for (int i = 0; i < 3000; ++i)
        entries.push_back("d" + std::to_string(i % 7) + "/file-" + std::to_string(i));
    const std::string root = MakeTree(entries);
    std::vector<Visit> expected;
    Expected(root, 1, 0, &expected);
    Recorder r;
    EXPECT_EQ(Walk(root, &r), noErr);
    EXPECT_EQ(r.visits.size(), 3007u);
    EXPECT_EQ(r.visits, expected);
}

TEST(FileIteration, NamesSpecsSizesAndStopping) {
    const std::string root = MakeTree({"Ünïcødé 😀.txt", "plain"});
    const std::string badName = root + "/bad\xff"
                                       "name"; // not UTF-8
    close(open(badName.c_str(), O_CREAT | O_WRONLY, 0644));
    Recorder r;
    EXPECT_EQ(Walk(root, &r, 0, kFSCatInfoNodeFlags | kFSCatInfoDataSizes, true, true), noErr);
    ASSERT_EQ(r.visits.size(), 3u);
    EXPECT_EQ(std::count_if(r.visits.begin(), r.visits.end(),
                            [&](const Visit& v) { return v.path == badName; }),
              1);
    for (size_t i = 0; i < r.visits.size(); ++i) {
        const std::string leaf = fs::path(r.visits[i].path).filename().string();
        EXPECT_EQ(r.names[i], QString::fromUtf8(leaf.data(), qsizetype(leaf.size())));
        EXPECT_TRUE(r.specMatches[i]);
        EXPECT_EQ(r.sizes[i], fs::file_size(r.visits[i].path));
    }
    unlink(badName.c_str()); // the run root's clean-up reads names as UTF-8

    // Stopping on a folder does not enter it; the walk still reports noErr.
    const std::string tree = MakeTree({"d/e/f", "d/g"});
    Recorder stop;
    stop.stopAfter = 1;
    EXPECT_EQ(Walk(tree, &stop), noErr);
    EXPECT_EQ(stop.visits.size(), 1u);
}

TEST(FileIteration, LinksAreFilesAndNeverFollowed) {
    const std::string root = MakeTree({"real/inside"});
    fs::create_directory_symlink(root + "/real", root + "/to-folder");
    fs::create_directory_symlink(root, root + "/real/loop");
    fs::create_symlink(root + "/nowhere", root + "/dangling");
    Recorder r;
    EXPECT_EQ(Walk(root, &r, 0, kFSCatInfoNodeFlags | kFSCatInfoFinderInfo), noErr);
    std::vector<Visit> expected;
    Expected(root, 1, 0, &expected);
    EXPECT_EQ(r.visits, expected);
    EXPECT_EQ(r.visits.size(), 5u); // real, real/inside, real/loop, to-folder, dangling
    // Links carry the Finder's type and creator for a link, as a lookup gives them.
    for (size_t i = 0; i < r.visits.size(); ++i) {
        const FSRef ref = RefOf(r.visits[i].path);
        FSCatalogInfo info;
        ASSERT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoFinderInfo, &info, nullptr, nullptr, nullptr),
                  noErr);
        EXPECT_EQ(r.finderInfo[i], std::string(reinterpret_cast<const char*>(info.finderInfo),
                                               sizeof info.finderInfo));
        EXPECT_EQ(r.finderInfo[i] != std::string(16, '\0'), fs::is_symlink(r.visits[i].path));
    }
}

TEST(FileIteration, EmptyFolderOffersNothing) {
    Recorder empty;
    EXPECT_EQ(Walk(MakeTree({}), &empty), noErr);
    EXPECT_TRUE(empty.visits.empty());
}

TEST(FileIteration, UnreadableFolderCountsAsEmpty) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads folders whatever their mode";
    const std::string root = MakeTree({"locked/secret", "open/file"});
    fs::permissions(root + "/locked", fs::perms::none);
    Recorder r;
    const OSErr err = Walk(root, &r);
    fs::permissions(root + "/locked", fs::perms::owner_all);
    EXPECT_EQ(err, noErr);
    ASSERT_EQ(r.visits.size(), 3u); // locked (nothing inside), open, open/file
}

TEST(FileIteration, BadContainers) {
    const std::string root = MakeTree({"file"});
    fs::create_directory_symlink(root, root + "/link");
    Recorder r;
    FSRef file = RefOf(root + "/file"), link = RefOf(root + "/link"), zero{};
    EXPECT_EQ(FSIterateContainer(nullptr, 0, 0, false, false, Record, &r), paramErr);
    EXPECT_EQ(FSIterateContainer(&file, 0, 0, false, false, nullptr, &r), paramErr);
    EXPECT_EQ(FSIterateContainer(&zero, 0, 0, false, false, Record, &r), paramErr);
    EXPECT_EQ(FSIterateContainer(&file, 0, 0, false, false, Record, &r), dirNFErr);
    EXPECT_EQ(FSIterateContainer(&link, 0, 0, false, false, Record, &r), dirNFErr);
    const std::string gone = MakeTree({});
    const FSRef goneRef = RefOf(gone);
    fs::remove(gone);
    EXPECT_EQ(FSIterateContainer(&goneRef, 0, 0, false, false, Record, &r), fnfErr);
    EXPECT_TRUE(r.visits.empty());
}
