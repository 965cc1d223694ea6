// The settings file's raw bytes: found in the Preferences folder, read and
// replaced whole, the byte count logged; names given as Mac OS Roman.
#include "prefpane/SettingsFile.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cstdio>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testing_support;

namespace {

QString PreferencesFolder() {
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Preferences";
}

QString SettingsPath() {
    return PreferencesFolder() + "/" + kLoftwiseCMDomain + ".plist";
}

QByteArray RandomBytes(int size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, '\0');
    for (char& b : bytes)
        b = char(random.bounded(256));
    return bytes;
}

enum class Folder { Missing, Empty, WithFile };

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override { QDir(PreferencesFolder()).removeRecursively(); }
    void TearDown() override { SetSettingsFileLocalizer(nullptr); }

    void Prepare(Folder state, const QByteArray& contents = "old") {
        if (state != Folder::Missing) QDir().mkpath(PreferencesFolder());
        if (state == Folder::WithFile) WriteFile(SettingsPath(), contents);
    }
};

} // namespace

TEST_F(SettingsFile, GetAndSetActOnlyOnAFileThatIsThere) {
    const struct {
        const char* label;
        Folder state;
        std::optional<QByteArray> read;
        OSStatus setStatus;
    } cases[] = {
        {"no Preferences folder", Folder::Missing, std::nullopt, fnfErr},
        {"no settings file", Folder::Empty, std::nullopt, fnfErr},
        {"settings file", Folder::WithFile, QByteArray("old"), noErr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        Prepare(c.state);
        EXPECT_EQ(GetPreferencesFile(), c.read);
        EXPECT_EQ(SetPreferencesFile("new"), c.setStatus);
        // Nothing is created: neither the folder nor the file.
        EXPECT_EQ(QDir(PreferencesFolder()).exists(), c.state != Folder::Missing);
        EXPECT_EQ(QFile::exists(SettingsPath()), c.state == Folder::WithFile);
        if (c.state == Folder::WithFile) {
            EXPECT_EQ(ReadFile(SettingsPath()), "new");
        }
    }
}

TEST_F(SettingsFile, RoundTripIsByteForByteAcrossChunks) {
    // Around the 1024-byte chunk of the reads, and shorter than what was there.
    for (int size : {0, 1, 1023, 1024, 1025, 2048, 5000}) {
        SCOPED_TRACE(size);
        SetUp();
        Prepare(Folder::WithFile, RandomBytes(6000, 1));
        ::chmod(QFile::encodeName(SettingsPath()).constData(), 0600);
        const QByteArray bytes = RandomBytes(size, quint32(size) + 7);

        ASSERT_EQ(SetPreferencesFile(bytes), noErr);
        EXPECT_EQ(ReadFile(SettingsPath()), bytes);
        EXPECT_EQ(GetPreferencesFile(), std::optional<QByteArray>(bytes));

        // Replaced whole: same mode, no temporary file left beside it.
        struct stat st {};
        ASSERT_EQ(::stat(QFile::encodeName(SettingsPath()).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        EXPECT_EQ(QDir(PreferencesFolder()).entryList(QDir::Files | QDir::Hidden),
                  QStringList{QString(kLoftwiseCMDomain) + ".plist"});
    }
}

TEST_F(SettingsFile, TheWrittenByteCountIsLogged) {
    const struct {
        const char* label;
        QString (*localizer)(const QString&);
        int size;
        const char* line;
    } cases[] = {
        {"English", nullptr, 1500, "Total bytes written = 1500\n"},
        {"nothing", nullptr, 0, "Total bytes written = 0\n"},
        {"translated", [](const QString&) { return QStringLiteral("Geschrieben: %d Bytes"); }, 3,
         "Geschrieben: 3 Bytes\n"},
        // A table's text is no format: conversions other than the count stay text.
        {"hostile table", [](const QString&) { return QStringLiteral("%s%n %d"); }, 2, "%s%n 2\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SetUp();
        Prepare(Folder::WithFile);
        SetSettingsFileLocalizer(c.localizer);
        const QByteArray err = CaptureStderr([&] { SetPreferencesFile(RandomBytes(c.size, 3)); });
        EXPECT_TRUE(err.endsWith(QByteArray("] ") + c.line)) << err.constData();
        EXPECT_EQ(err.count('\n'), 1) << err.constData();
    }
}

TEST_F(SettingsFile, AWriteThatCannotHappenLeavesTheFileAndCountsNothing) {
    // No file can be made beside this one, so no replacement can be written.
    const char* path = "/proc/version";
    const QByteArray before = ReadFile(path);
    FSRef file;
    ASSERT_EQ(FSPathMakeRef(path, &file, nullptr), noErr);
    const QByteArray err = CaptureStderr([&] { DoFileWrite("replaced", &file); });
    EXPECT_TRUE(err.endsWith("] Total bytes written = 0\n")) << err.constData();
    EXPECT_EQ(ReadFile(path), before);
}

TEST_F(SettingsFile, AnObjectIsAbsentOnlyWhenNotFound) {
    Prepare(Folder::Empty);
    WriteFile(PreferencesFolder() + "/plain", "x");
    WriteFile(PreferencesFolder() + QString::fromUtf8("/café"), "x");
    FSRef folder;
    ASSERT_EQ(FSPathMakeRef(QFile::encodeName(PreferencesFolder()).constData(), &folder, nullptr),
              noErr);
    const struct {
        const char* name; // Mac OS Roman
        bool exists;
        bool found; // the reference names the object
    } cases[] = {
        {"plain", true, true},    {"caf\x8e", true, true},       {"cafe", false, false},
        {"absent", false, false}, {"caf\xc3\xa9", false, false}, // UTF-8 bytes are other letters
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FSRef file;
        EXPECT_EQ(FSObjectExists(&folder, c.name, &file), c.exists);
        const auto path = plat::PathOfRef(file);
        EXPECT_EQ(path.has_value(), c.found);
    }
    // A failure other than not-found counts as there: a name that cannot be one.
    FSRef file;
    EXPECT_TRUE(FSObjectExists(&folder, "a/b", &file));
    EXPECT_FALSE(FSObjectExists(&folder, nullptr, &file));
}
