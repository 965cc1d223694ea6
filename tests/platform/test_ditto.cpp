// The bundled ditto: the archive it writes (checked with Info-ZIP's unzip and
// by reading its central directory), staying on one device with -X, runs
// that fail without leaving an archive, and its command line.
#include "platform/MacTypes.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const QString kDitto = QStringLiteral(LOFTWISE_DITTO_PATH);

ProcessResult Ditto(const QStringList& args) {
    return RunProcess(kDitto, args, 120000);
}

std::string Bytes(const QString& path) {
    return path.toStdString();
}

// What the archive's central directory says about one member.
struct Member {
    std::string name;
    UInt16 flags = 0;
    UInt16 method = 0;
    UInt32 mode = 0; // Unix mode from the external attributes
    UInt64 size = 0;
    bool zip64Extra = false;
};

struct CentralDirectory {
    std::vector<Member> members;
    UInt16 classicCount = 0; // the count in the classic end record
    bool zip64End = false;   // a Zip64 end record is present
    UInt64 zip64Count = 0;
};

UInt16 Le16(const std::string& b, std::size_t at) {
    return UInt16(UInt8(b[at]) | UInt8(b[at + 1]) << 8);
}
UInt32 Le32(const std::string& b, std::size_t at) {
    return UInt32(Le16(b, at)) | UInt32(Le16(b, at + 2)) << 16;
}
UInt64 Le64(const std::string& b, std::size_t at) {
    return UInt64(Le32(b, at)) | UInt64(Le32(b, at + 4)) << 32;
}

// Reads the end records and the central directory from the file's tail, so
// archives of any size can be checked without reading their data.
bool ReadCentralDirectory(const QString& zipPath, CentralDirectory* cd) {
    *cd = CentralDirectory{};
    std::ifstream in(Bytes(zipPath), std::ios::binary);
    if (!in) return false;
    in.seekg(0, std::ios::end);
    const UInt64 size = UInt64(in.tellg());
    const UInt64 tailSize = std::min<UInt64>(size, 65536 + 22 + 76);
    std::string tail(tailSize, '\0');
    in.seekg(std::streamoff(size - tailSize));
    in.read(tail.data(), std::streamsize(tailSize));
    const std::size_t end = tail.rfind(std::string("PK\5\6", 4));
    if (end == std::string::npos || end + 22 > tail.size()) return false;
    cd->classicCount = Le16(tail, end + 10);
    UInt64 cdSize = Le32(tail, end + 12), cdOffset = Le32(tail, end + 16), count = cd->classicCount;
    if (end >= 20 && tail.compare(end - 20, 4, std::string("PK\6\7", 4)) == 0) {
        const UInt64 recordAt = Le64(tail, end - 20 + 8);
        std::string record(56, '\0');
        in.seekg(std::streamoff(recordAt));
        in.read(record.data(), 56);
        if (record.compare(0, 4, std::string("PK\6\6", 4)) != 0) return false;
        cd->zip64End = true;
        cd->zip64Count = count = Le64(record, 32);
        cdSize = Le64(record, 40);
        cdOffset = Le64(record, 48);
    }
    std::string dir(cdSize, '\0');
    in.seekg(std::streamoff(cdOffset));
    in.read(dir.data(), std::streamsize(cdSize));
    if (!in) return false;
    std::size_t at = 0;
    for (UInt64 i = 0; i < count; ++i) {
        if (at + 46 > dir.size() || dir.compare(at, 4, std::string("PK\1\2", 4)) != 0) return false;
        Member m;
        m.flags = Le16(dir, at + 8);
        m.method = Le16(dir, at + 10);
        m.size = Le32(dir, at + 24);
        const UInt16 nameLength = Le16(dir, at + 28), extraLength = Le16(dir, at + 30),
                     commentLength = Le16(dir, at + 32);
        m.mode = Le32(dir, at + 38) >> 16;
        m.name = dir.substr(at + 46, nameLength);
        std::size_t extra = at + 46 + nameLength;
        const std::size_t extraEnd = extra + extraLength;
        while (extra + 4 <= extraEnd) {
            const UInt16 id = Le16(dir, extra), length = Le16(dir, extra + 2);
            if (id == 0x0001) {
                m.zip64Extra = true;
                if (m.size == 0xffffffff) m.size = Le64(dir, extra + 4);
            }
            extra += 4 + length;
        }
        cd->members.push_back(m);
        at = extraEnd + commentLength;
    }
    return true;
}

std::vector<std::string> Names(const CentralDirectory& cd) {
    std::vector<std::string> names;
    for (const Member& m : cd.members)
        names.push_back(m.name);
    return names;
}

const Member* Find(const CentralDirectory& cd, const std::string& name) {
    for (const Member& m : cd.members)
        if (m.name == name) return &m;
    return nullptr;
}

// A folder tree as a map of relative path to type, contents or link
// target, and permission bits.
struct Node {
    char type = '?';
    std::string data;
    unsigned perms = 0;
    bool operator==(const Node&) const = default;
};

std::map<std::string, Node> Tree(const QString& root) {
    std::map<std::string, Node> tree;
    const fs::path base(Bytes(root));
    for (auto it = fs::recursive_directory_iterator(base); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path& p = it->path();
        Node node;
        const fs::file_status st = it->symlink_status();
        node.perms = unsigned(st.permissions()) & 07777;
        if (fs::is_symlink(st)) {
            node.type = 'l';
            node.data = fs::read_symlink(p).string();
            node.perms = 0; // link permissions mean nothing
        } else if (fs::is_directory(st)) {
            node.type = 'd';
        } else if (fs::is_regular_file(st)) {
            node.type = 'f';
            std::ifstream in(p, std::ios::binary);
            node.data.assign(std::istreambuf_iterator<char>(in), {});
        }
        tree[fs::relative(p, base).string()] = node;
    }
    return tree;
}

void SetModificationTime(const QString& path, time_t when) {
    const struct timeval times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(::lutimes(Bytes(path).c_str(), times), 0);
}

time_t ModificationTime(const QString& path) {
    struct stat st {};
    ::lstat(Bytes(path).c_str(), &st);
    return st.st_mtime;
}

// Data that compresses (text) interleaved with data that does not.
QByteArray MixedData(int bytes) {
    QByteArray data;
    data.reserve(bytes);
    UInt32 x = 12345;
    while (data.size() < bytes) {
        for (int i = 0; i < 4096 && data.size() < bytes; ++i) {
            x = x * 1103515245 + 12345;
            data.append(char(x >> 24));
        }
        data.append(QByteArray("the quick brown fox jumps over the lazy dog\n").repeated(100));
    }
    data.truncate(bytes);
    return data;
}

QStringList FilesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System |
                                  QDir::NoDotAndDotDot);
}

// The sample tree: nested and empty folders, links, non-ASCII names, an
// empty file, a file of a few MiB, an executable and a dated file.
QString MakeSampleTree() {
    const QString src = MakeTempDir("src");
    WriteFile(src + "/a/b/c/deep.txt", "deep\n");
    QDir().mkpath(src + "/empty");
    WriteFile(src + "/zero", QByteArray());
    WriteFile(src + "/café.txt", "crème brûlée\n");
    WriteFile(src + "/日本/メモ.txt", "日本語\n");
    WriteFile(src + "/big.bin", MixedData(3 * 1024 * 1024 + 17));
    WriteFile(src + "/run.sh", "#!/bin/sh\n");
    ::chmod(Bytes(src + "/run.sh").c_str(), 0750);
    ::symlink("a/b/c/deep.txt", Bytes(src + "/link").c_str());
    ::symlink("/no/such/target", Bytes(src + "/dangling").c_str());
    WriteFile(src + "/old.txt", "from 2001\n");
    SetModificationTime(src + "/old.txt", 981173106); // 2001-02-03 04:05:06 UTC
    return src;
}

bool Unzip(const QString& zip, const QString& into) {
    return RunProcess(QStringLiteral("unzip"),
                      {QStringLiteral("-q"), zip, QStringLiteral("-d"), into})
               .exitCode == 0;
}

bool CanUnshareMounts() {
    return RunProcess(QStringLiteral("unshare"), {QStringLiteral("-m"), QStringLiteral("true")})
               .exitCode == 0;
}

// Runs script with sh in a private mount namespace; $1... are args.
ProcessResult InMountNamespace(const QString& script, const QStringList& args) {
    return RunProcess(QStringLiteral("unshare"),
                      QStringList{QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                                  script, QStringLiteral("sh")} +
                          args,
                      120000);
}

} // namespace

TEST(Ditto, ArchivesTheContentsAtTopLevelAndUnzipsToTheSameTree) {
    const QString src = MakeSampleTree();
    const QString zip = MakeTempDir("zip") + "/Sample.zip";
    const ProcessResult run = Ditto({"-c", "-k", "-X", src, zip});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.isEmpty()) << run.err.toStdString();

    const QString out = MakeTempDir("out");
    ASSERT_TRUE(Unzip(zip, out));
    EXPECT_EQ(Tree(out), Tree(src));
    EXPECT_EQ(ModificationTime(out + "/old.txt"), 981173106);

    CentralDirectory cd;
    ASSERT_TRUE(ReadCentralDirectory(zip, &cd));
    for (const std::string& name : Names(cd)) {
        EXPECT_NE(name.rfind("src", 0), 0u) << name;
        EXPECT_NE(name[0], '/') << name;
    }
    // Folders are entries of their own, empty ones included.
    for (const char* folder : {"a/", "a/b/", "a/b/c/", "empty/", "日本/"})
        EXPECT_NE(Find(cd, folder), nullptr) << folder;
    const Member* link = Find(cd, "link");
    ASSERT_NE(link, nullptr);
    EXPECT_TRUE(S_ISLNK(link->mode));
    EXPECT_EQ(link->method, 0);
    const Member* big = Find(cd, "big.bin");
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(big->method, 8);
    EXPECT_EQ(big->size, 3u * 1024 * 1024 + 17);
    EXPECT_LT(QFileInfo(zip).size(), big->size);
    // Bit 11: the name is UTF-8.
    for (const char* name : {"café.txt", "日本/メモ.txt"}) {
        const Member* m = Find(cd, name);
        ASSERT_NE(m, nullptr) << name;
        EXPECT_TRUE(m->flags & 0x0800) << name;
    }
    EXPECT_FALSE(cd.zip64End);
    EXPECT_EQ(cd.classicCount, cd.members.size());

    // Same folder, same archive members in the same order.
    const QString again = MakeTempDir("zip") + "/Again.zip";
    ASSERT_EQ(Ditto({"-c", "-k", "-X", src + "/", again}).exitCode, 0);
    CentralDirectory cd2;
    ASSERT_TRUE(ReadCentralDirectory(again, &cd2));
    EXPECT_EQ(Names(cd2), Names(cd));
}

TEST(Ditto, AnArchiveInsideItsSourceLeavesItselfOut) {
    const QString src = MakeTempDir("src");
    WriteFile(src + "/file.txt", "data\n");
    ASSERT_EQ(Ditto({"-c", "-k", "-X", src, src + "/self.zip"}).exitCode, 0);
    CentralDirectory cd;
    ASSERT_TRUE(ReadCentralDirectory(src + "/self.zip", &cd));
    EXPECT_EQ(Names(cd), std::vector<std::string>{"file.txt"});
    EXPECT_EQ(FilesIn(src), (QStringList{"file.txt", "self.zip"}));
}

TEST(Ditto, FifosAndSocketsAreSkippedWithAWarning) {
    const QString src = MakeTempDir("src");
    WriteFile(src + "/file.txt", "data\n");
    ASSERT_EQ(::mkfifo(Bytes(src + "/pipe").c_str(), 0600), 0);
    const QString zip = MakeTempDir("zip") + "/out.zip";
    const ProcessResult run = Ditto({"-c", "-k", "-X", src, zip});
    ASSERT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_TRUE(run.err.contains("pipe")) << run.err.toStdString();
    CentralDirectory cd;
    ASSERT_TRUE(ReadCentralDirectory(zip, &cd));
    EXPECT_EQ(Names(cd), std::vector<std::string>{"file.txt"});
}

TEST(Ditto, StaysOnTheSourceDeviceWithX) {
    if (!CanUnshareMounts()) GTEST_SKIP() << "no private mount namespaces here";
    const QString src = MakeTempDir("src");
    WriteFile(src + "/outside.txt", "here\n");
    QDir().mkpath(src + "/mnt");
    const QString dir = MakeTempDir("zip");
    // A fresh tmpfs on src/mnt, visible only to this namespace.
    const QString script = QStringLiteral(
        "mount -t tmpfs none \"$1/mnt\" || exit 99; echo inside > \"$1/mnt/inside.txt\"; "
        "\"$2\" -c -k -X \"$1\" \"$3/x.zip\" || exit 1; \"$2\" -c -k \"$1\" \"$3/all.zip\"");
    const ProcessResult run = InMountNamespace(script, {src, kDitto, dir});
    if (run.exitCode == 99) GTEST_SKIP() << "cannot mount a tmpfs here";
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();

    CentralDirectory cd;
    ASSERT_TRUE(ReadCentralDirectory(dir + "/x.zip", &cd));
    EXPECT_EQ(Names(cd), std::vector<std::string>{"outside.txt"});
    ASSERT_TRUE(ReadCentralDirectory(dir + "/all.zip", &cd));
    EXPECT_NE(Find(cd, "mnt/inside.txt"), nullptr);
}

TEST(Ditto, AFailedRunLeavesNoArchiveBehind) {
    // Unreadable: as root, without the capabilities that bypass permissions.
    const QString src = MakeTempDir("src");
    WriteFile(src + "/a.txt", "a\n");
    WriteFile(src + "/secret/b.txt", "b\n");
    WriteFile(src + "/z.txt", "z\n");
    ::chmod(Bytes(src + "/secret/b.txt").c_str(), 0);
    QString program = kDitto;
    QStringList args{"-c", "-k", "-X", src};
    if (::geteuid() == 0) {
        args.prepend(kDitto);
        args.prepend(QStringLiteral("--bounding-set=-dac_override,-dac_read_search"));
        program = QStringLiteral("setpriv");
    }
    const QString dir = MakeTempDir("zip");
    WriteFile(dir + "/out.zip", "an earlier archive");
    const ProcessResult run = RunProcess(program, args + QStringList{dir + "/out.zip"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("secret/b.txt")) << run.err.toStdString();
    EXPECT_EQ(ReadFile(dir + "/out.zip"), "an earlier archive");
    EXPECT_EQ(FilesIn(dir), QStringList{"out.zip"});

    // Every unreadable item is reported, not only the first.
    ::chmod(Bytes(src + "/z.txt").c_str(), 0);
    const ProcessResult both = RunProcess(program, args + QStringList{dir + "/new.zip"});
    EXPECT_EQ(both.exitCode, 1);
    EXPECT_TRUE(both.err.contains("secret/b.txt") && both.err.contains("z.txt"))
        << both.err.toStdString();
    EXPECT_EQ(FilesIn(dir), QStringList{"out.zip"});

    // Missing source, a file as the source, missing destination folder.
    EXPECT_EQ(Ditto({"-c", "-k", "-X", src + "/none", dir + "/n.zip"}).exitCode, 1);
    EXPECT_EQ(Ditto({"-c", "-k", "-X", src + "/a.txt", dir + "/n.zip"}).exitCode, 1);
    EXPECT_EQ(Ditto({"-c", "-k", "-X", dir, dir + "/none/n.zip"}).exitCode, 1);
    EXPECT_EQ(FilesIn(dir), QStringList{"out.zip"});
}

TEST(Ditto, AFullDiskLeavesNoArchiveBehind) {
    if (!CanUnshareMounts()) GTEST_SKIP() << "no private mount namespaces here";
    const QString src = MakeTempDir("src");
    WriteFile(src + "/noise.bin", MixedData(4 * 1024 * 1024));
    const QString full = MakeTempDir("full");
    const QString script = QStringLiteral("mount -t tmpfs -o size=256k none \"$1\" || exit 99; "
                                          "\"$2\" -c -k -X \"$3\" \"$1/out.zip\"; "
                                          "status=$?; ls -A \"$1\"; exit $status");
    const ProcessResult run = InMountNamespace(script, {full, kDitto, src});
    if (run.exitCode == 99) GTEST_SKIP() << "cannot mount a tmpfs here";
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("No space left on device")) << run.err.toStdString();
    EXPECT_EQ(run.out, QByteArray()) << "left in the folder: " << run.out.toStdString();
}

TEST(Ditto, OtherCommandLinesAreUsageErrors) {
    const QString src = MakeTempDir("src");
    const QString dir = MakeTempDir("zip");
    const QString zip = dir + "/u.zip";
    const QList<QStringList> lines = {
        {},
        {"-c", "-k"},
        {"-c", "-k", "-X", src},
        {"-c", "-k", "-X", src, zip, zip},
        {"-c", "-X", src, zip},
        {"-k", "-X", src, zip},
        {"-x", "-k", src, zip},
        {"-c", "-k", "-V", src, zip},
        {"-c", "-k", "--rsrc", src, zip},
        {"-c", "-k", "--keepParent", src, zip},
        {src, zip},
    };
    for (const QStringList& line : lines) {
        const ProcessResult run = Ditto(line);
        EXPECT_EQ(run.exitCode, 2) << line.join(' ').toStdString();
        EXPECT_TRUE(run.err.startsWith("usage: ditto")) << run.err.toStdString();
    }
    EXPECT_TRUE(FilesIn(dir).isEmpty());
}

TEST(Ditto, MoreThan65535EntriesGetAZip64EndRecord) {
    // Hard links are much quicker to make than files; each is archived as a
    // file of its own. A file takes at most 65,000 links, so two are used.
    const QString base = MakeTempDir("many");
    const QString src = base + "/src";
    WriteFile(base + "/even", "even\n");
    WriteFile(base + "/odd", "odd\n");
    constexpr int kFolders = 66, kFilesEach = 1000; // 66,066 entries
    ASSERT_EQ(::mkdir(Bytes(src).c_str(), 0755), 0);
    for (int d = 0; d < kFolders; ++d) {
        const std::string folder = Bytes(src) + "/" + std::to_string(d);
        ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
        for (int f = 0; f < kFilesEach; ++f) {
            const QString target = base + (f % 2 ? "/odd" : "/even");
            ASSERT_EQ(::link(Bytes(target).c_str(), (folder + "/" + std::to_string(f)).c_str()), 0);
        }
    }
    const QString zip = MakeTempDir("zip") + "/many.zip";
    ASSERT_EQ(Ditto({"-c", "-k", "-X", src, zip}).exitCode, 0);
    CentralDirectory cd;
    ASSERT_TRUE(ReadCentralDirectory(zip, &cd));
    EXPECT_TRUE(cd.zip64End);
    EXPECT_EQ(cd.zip64Count, UInt64(kFolders * (kFilesEach + 1)));
    EXPECT_EQ(cd.members.size(), std::size_t(kFolders * (kFilesEach + 1)));
    EXPECT_EQ(cd.classicCount, 0xffff);
    const ProcessResult test = RunProcess(QStringLiteral("unzip"), {"-tq", zip}, 120000);
    EXPECT_EQ(test.exitCode, 0) << test.out.toStdString();
}

// A member over 4 GiB (a sparse file) takes about a minute: run with
// LOFTWISE_SLOW_TESTS=1.
TEST(Ditto, MembersOver4GiBUseZip64) {
    if (qEnvironmentVariable("LOFTWISE_SLOW_TESTS") != QLatin1String("1"))
        GTEST_SKIP() << "slow: set LOFTWISE_SLOW_TESTS=1";
    const QString src = MakeTempDir("big");
    constexpr UInt64 kSize = 4300000000ull;
    { std::ofstream(Bytes(src + "/huge.img")); }
    ASSERT_EQ(::truncate(Bytes(src + "/huge.img").c_str(), off_t(kSize)), 0);
    WriteFile(src + "/after.txt", "after\n");
    const QString zip = MakeTempDir("zip") + "/big.zip";
    ASSERT_EQ(RunProcess(kDitto, {"-c", "-k", "-X", src, zip}, 600000).exitCode, 0);
    CentralDirectory cd;
    ASSERT_TRUE(ReadCentralDirectory(zip, &cd));
    const Member* huge = Find(cd, "huge.img");
    ASSERT_NE(huge, nullptr);
    EXPECT_TRUE(huge->zip64Extra);
    EXPECT_EQ(huge->size, kSize);
    EXPECT_EQ(RunProcess(QStringLiteral("unzip"), {"-tq", zip}, 600000).exitCode, 0);
}
