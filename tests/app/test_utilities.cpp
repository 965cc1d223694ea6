// The toolkit: text conversions, replacement, unique names, itoa, the
// name-based file operations over a private folder, bundle resources and
// localized strings.
#include "platform/Bundle.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"
#include "toolkit/CFile.h"
#include "toolkit/CString256.h"
#include "toolkit/Utilities.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

using namespace testing_support;

namespace {

FSRef RefOf(const QString& path) {
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(path.toUtf8().constData(), &ref, nullptr), noErr) << path.toStdString();
    return ref;
}

bool SameItem(const FSRef& a, const FSRef& b) {
    return FSCompareFSRefs(&a, &b) == noErr;
}

// A bundle with a strings table and a text resource, made the main bundle.
QString MakeMainBundle() {
    static const QString path = [] {
        const QString bundle = MakeTempDir("bundle") + "/Strings Test.app";
        WriteFile(bundle + "/Contents/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                  "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                  "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                  "<plist version=\"1.0\"><dict>\n"
                  "<key>CFBundleIdentifier</key><string>com.example.stringstest</string>\n"
                  "<key>CFBundleDevelopmentRegion</key><string>en</string>\n"
                  "</dict></plist>\n");
        WriteFile(bundle + "/Contents/Resources/LocalizedStrings.strings",
                  "\"Ready.\" = \"Bereit.\";\n"
                  "\"Again\" = \"Encore\";\n"
                  "\"Threads\" = \"F\xc3\xa4"
                  "den\";\n");
        WriteFile(bundle + "/Contents/Resources/Preferences.txt", "Host=ftp.example.com\n");
        plat::SetMainBundlePath(bundle);
        return bundle;
    }();
    return path;
}

} // namespace

TEST(TextConversions, UnicodeFromPlatformString) {
    UniCharCount length = 99;
    auto units = GetUnicodeString(QStringLiteral("a\u00e9\u20ac"), &length);
    ASSERT_EQ(length, 3u);
    EXPECT_EQ(units[0], u'a');
    EXPECT_EQ(units[1], u'\u00e9');
    EXPECT_EQ(units[2], u'\u20ac');

    GetUnicodeString(QString(), &length);
    EXPECT_EQ(length, 0u);
}

TEST(TextConversions, MacRomanToUnicodeAndBack) {
    std::unique_ptr<UniChar[]> units;
    UniCharCount length = 0;
    EXPECT_EQ(SetUnicodeTextFromASCII_C_Chars("caf\x8e \xdb", &units, &length), 6u);
    ASSERT_EQ(length, 6u);
    EXPECT_EQ(std::u16string(units.get(), length), u"caf\u00e9 \u20ac");

    std::unique_ptr<char[]> text;
    ASSERT_TRUE(SetASCII_C_CharsFromUnicodeText(&text, units.get(), length));
    EXPECT_STREQ(text.get(), "caf\x8e \xdb");

    const std::u16string arrow = u"to \u2192";
    EXPECT_FALSE(SetASCII_C_CharsFromUnicodeText(&text, arrow.data(), arrow.size()));
    EXPECT_EQ(text, nullptr);

    EXPECT_EQ(SetUnicodeTextFromASCII_C_Chars(nullptr, &units, &length), 0u);
    EXPECT_EQ(length, 0u);
}

TEST(ReplaceEveryOccurrance, ReplacesAll) {
    QString s = "a:b:c";
    ReplaceEveryOccurrance(s, ":", "/");
    EXPECT_EQ(s, "a/b/c");

    // Each pass searches from the start again, so new occurrences go too.
    QString t = "aaab";
    ReplaceEveryOccurrance(t, "ab", "b");
    EXPECT_EQ(t, "b");
}

TEST(ReplaceEveryOccurrance, DegenerateArgumentsFinish) {
    QString s = "a:b:c";
    ReplaceEveryOccurrance(s, ":", ":");
    EXPECT_EQ(s, "a:b:c");
    ReplaceEveryOccurrance(s, "", "x");
    EXPECT_EQ(s, "a:b:c");
    // A replacement holding the search text would loop forever; one pass instead.
    ReplaceEveryOccurrance(s, ":", "::");
    EXPECT_EQ(s, "a::b::c");
}

TEST(GenerateUniqueName, UpperCaseUuidText) {
    const auto a = GenerateUniqueName();
    const auto b = GenerateUniqueName();
    ASSERT_TRUE(a && b);
    static const QRegularExpression form(
        "^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    EXPECT_TRUE(form.match(*a).hasMatch()) << a->toStdString();
    EXPECT_EQ(a->size(), 36);
    EXPECT_NE(*a, *b);
}

TEST(Itoa, DecimalFormsWithinBudget) {
    char buffer[32];
    EXPECT_STREQ(itoa(buffer, sizeof buffer, -42), "-42");
    EXPECT_STREQ(itoa(buffer, sizeof buffer, 0), "0");
    EXPECT_STREQ(itoa(buffer, sizeof buffer, INT64_MIN), "-9223372036854775808");
    EXPECT_STREQ(itoa(buffer, sizeof buffer, INT64_MAX), "9223372036854775807");
    EXPECT_STREQ(itoa(buffer, sizeof buffer, INT32_MIN), "-2147483648");
}

TEST(Itoa, NeverWritesPastSize) {
    struct Case {
        std::size_t size;
        SInt64 value;
        const char* expected;
    };
    const Case cases[] = {
        {4, 12345, "345"},  // the lowest digits that fit
        {4, -12345, "-45"}, // room kept for the sign
        {3, -7, "-7"},      {2, -7, ""}, {1, -7, ""}, {1, 7, ""}, {2, 7, "7"}, {6, 12345, "12345"},
    };
    for (const Case& c : cases) {
        char buffer[16];
        std::memset(buffer, 'X', sizeof buffer);
        EXPECT_STREQ(itoa(buffer, c.size, c.value), c.expected) << c.size << " " << c.value;
        for (std::size_t i = c.size; i < sizeof buffer; ++i)
            EXPECT_EQ(buffer[i], 'X') << i;
    }
    char untouched = 'X';
    itoa(&untouched, 0, 5);
    EXPECT_EQ(untouched, 'X');
}

class FileOperations : public ::testing::Test {
protected:
    void SetUp() override {
        dir = MakeTempDir("files");
        parent = RefOf(dir);
    }
    QString dir;
    FSRef parent{};
};

TEST_F(FileOperations, ExistsOnlyAfterCreation) {
    FSRef ref{};
    EXPECT_FALSE(FSObjectExists(&parent, "missing", &ref));
    EXPECT_FALSE(CFile::FSObjectExists(&parent, CString256("missing"), &ref));

    WriteFile(dir + "/present.txt", "x");
    FSRef found{};
    EXPECT_TRUE(FSObjectExists(&parent, "present.txt", &found));
    EXPECT_TRUE(SameItem(found, RefOf(dir + "/present.txt")));
    FSRef viaCFile{};
    EXPECT_TRUE(CFile::FSObjectExists(&parent, CString256("present.txt"), &viaCFile));
    EXPECT_TRUE(SameItem(viaCFile, found));
}

TEST_F(FileOperations, CreateDirectoryTwiceGivesSameFolder) {
    FSRef first{}, second{};
    ASSERT_EQ(FSCreateDirectory(&parent, "Loftwise", &first), noErr);
    EXPECT_TRUE(QFileInfo(dir + "/Loftwise").isDir());
    EXPECT_TRUE(CFile::IsADirectory(&first));
    ASSERT_EQ(FSCreateDirectory(&parent, "Loftwise", &second), noErr);
    EXPECT_TRUE(SameItem(first, second));

    FSRef viaCFile{};
    ASSERT_EQ(CFile::FSCreateDirectory(&parent, CString256("Logs \x8e"), &viaCFile), noErr);
    EXPECT_TRUE(QFileInfo(dir + QStringLiteral("/Logs \u00e9")).isDir());
    ASSERT_EQ(CFile::FSCreateDirectory(&parent, CString256("Logs \x8e"), &second), noErr);
    EXPECT_TRUE(SameItem(viaCFile, second));
}

TEST_F(FileOperations, CreateFileTwiceKeepsContents) {
    FSRef first{};
    ASSERT_EQ(CFile::FSCreateFile(&parent, CString256("log.txt"), &first), noErr);
    const QString path = dir + "/log.txt";
    ASSERT_TRUE(QFileInfo(path).isFile());
    EXPECT_EQ(QFileInfo(path).size(), 0);
    EXPECT_FALSE(CFile::IsADirectory(&first));

    WriteFile(path, "kept contents");
    FSRef second{};
    ASSERT_EQ(CFile::FSCreateFile(&parent, CString256("log.txt"), &second), noErr);
    EXPECT_TRUE(SameItem(first, second));
    EXPECT_EQ(ReadFile(path), QByteArray("kept contents"));
}

TEST_F(FileOperations, FailedLookupIsNotReportedAsCreated) {
    FSRef ref{};
    EXPECT_NE(FSCreateDirectory(nullptr, "x", &ref), noErr);
    EXPECT_NE(CFile::FSCreateFile(nullptr, CString256("x"), &ref), noErr);
}

TEST_F(FileOperations, NonAsciiNamesConvertFromMacRoman) {
    FSRef ref{};
    ASSERT_EQ(CFile::FSCreateFile(&parent, CString256("Caf\x8e \xdb.txt"), &ref), noErr);
    const QString expected = QStringLiteral("Caf\u00e9 \u20ac.txt");
    EXPECT_TRUE(QFileInfo(dir + "/" + expected).isFile());
    EXPECT_EQ(GetObjectName(&ref), expected);
    EXPECT_EQ(FSGetName(&ref), expected);
    EXPECT_TRUE(FSObjectExists(&parent, expected, nullptr));
    EXPECT_FALSE(GetObjectName(nullptr).has_value());
}

TEST_F(FileOperations, ReadFileAddsTerminator) {
    WriteFile(dir + "/text.txt", "hello");
    const FSRef ref = RefOf(dir + "/text.txt");
    const auto data = CFile::ReadFile(&ref);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->size(), 5);
    EXPECT_EQ(data->constData()[5], '\0');
    EXPECT_STREQ(data->constData(), "hello");

    WriteFile(dir + "/empty", "");
    const FSRef emptyRef = RefOf(dir + "/empty");
    const auto empty = CFile::ReadFile(&emptyRef);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(empty->size(), 0);
    EXPECT_EQ(empty->constData()[0], '\0');

    EXPECT_FALSE(CFile::ReadFile(nullptr).has_value());
}

TEST_F(FileOperations, DataSizes) {
    WriteFile(dir + "/empty", "");
    WriteFile(dir + "/big", QByteArray(70000, 'b'));
    UInt64 size = 123;
    FSRef ref = RefOf(dir + "/empty");
    EXPECT_EQ(CFile::FSGetDataSize(&ref, &size), noErr);
    EXPECT_EQ(size, 0u);
    ref = RefOf(dir + "/big");
    EXPECT_EQ(CFile::FSGetDataSize(&ref, &size), noErr);
    EXPECT_EQ(size, 70000u);

    size = 123;
    EXPECT_NE(CFile::FSGetDataSize(nullptr, &size), noErr);
    EXPECT_EQ(size, 0u);
    EXPECT_TRUE(CFile::IsADirectory(&parent));
    EXPECT_FALSE(CFile::IsADirectory(nullptr));
}

TEST(LocalizedStrings, KeyIsTheTextWithoutBundle) {
    if (CFBundleGetMainBundle()) GTEST_SKIP() << "a main bundle is already set in this process";
    const QString& text = LocalizedString("No bundle here");
    EXPECT_EQ(text, "No bundle here");
    EXPECT_EQ(&LocalizedString("No bundle here"), &text);
}

TEST(LocalizedStrings, LooksUpTableAndKeepsOneObjectPerKey) {
    MakeMainBundle();
    const QString& ready = LocalizedString("Ready.");
    EXPECT_EQ(ready, "Bereit.");
    EXPECT_EQ(&LocalizedString(QStringLiteral("Ready.")), &ready);

    const QString& missing = LocalizedString("Not in the table");
    EXPECT_EQ(missing, "Not in the table");
    EXPECT_EQ(&LocalizedString("Not in the table"), &missing);
    EXPECT_NE(&missing, &ready);
}

TEST(LocalizedStrings, ConcurrentLookupsShareTheEntry) {
    MakeMainBundle();
    std::vector<const QString*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &LocalizedString("Threads"); });
    for (auto& t : threads)
        t.join();
    for (const QString* p : seen)
        EXPECT_EQ(p, seen[0]);
    EXPECT_EQ(*seen[0], QStringLiteral("F\u00e4den"));
}

TEST(BundleResources, TextResourceByName) {
    MakeMainBundle();
    FSRef ref{};
    EXPECT_TRUE(MakeFSRefForBundleResource("Preferences", "txt", &ref));
    EXPECT_FALSE(CFile::IsADirectory(&ref));
    EXPECT_FALSE(MakeFSRefForBundleResource("Nothing", "txt", &ref));
    EXPECT_FALSE(MakeFSRefForBundleResource(nullptr, "txt", &ref));

    const auto text = ReadTextResource("Preferences");
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, QByteArray("Host=ftp.example.com\n"));
    EXPECT_EQ(text->constData()[text->size()], '\0');
    EXPECT_FALSE(ReadTextResource("Nothing").has_value());
}
