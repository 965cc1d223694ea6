// Bundles built in temporary folders: Info.plist, the registry, the main
// bundle, localised resource lookup, string tables and UUID strings.
#include "platform/Bundle.h"
#include "platform/SystemLog.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QStringEncoder>
#include <atomic>
#include <cstdlib>
#include <gtest/gtest.h>
#include <thread>

using namespace testing_support;

namespace {

std::string U8(const QString& s) {
    return s.toUtf8().toStdString();
}

// The four locale variables at once; an empty value unsets the variable.
const char* Set(const char* value) {
    return value && *value ? value : nullptr;
}
struct Locale {
    Locale(const char* language, const char* lcAll, const char* lcMessages, const char* lang)
        : a("LANGUAGE", Set(language)), b("LC_ALL", Set(lcAll)), c("LC_MESSAGES", Set(lcMessages)),
          d("LANG", Set(lang)) {}
    ScopedEnv a, b, c, d;
};

QByteArray InfoPlist(const QString& identifier, const QString& extra = {}) {
    return QString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<plist version=\"1.0\"><dict>\n"
                   "<key>CFBundleIdentifier</key><string>%1</string>\n"
                   "<key>CFBundleExecutable</key><string>Tool</string>\n%2"
                   "</dict></plist>\n")
        .arg(identifier, extra)
        .toUtf8();
}

QString MakeBundle(const QString& name, const QString& identifier, const QString& extra = {}) {
    const QString path = MakeTempDir("bundles") + "/" + name;
    WriteFile(path + "/Contents/Info.plist", InfoPlist(identifier, extra));
    WriteFile(path + "/Contents/Linux/Tool", "#!/bin/sh\n");
    return path;
}

QByteArray Utf16(const QString& text, QStringConverter::Encoding encoding) {
    QStringEncoder encoder(encoding, QStringConverter::Flag::WriteBom);
    return encoder(text);
}

// ---- preferred languages

struct LanguageCase {
    const char* language;
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    QStringList expected;
};

class PreferredLanguages : public ::testing::TestWithParam<LanguageCase> {};

TEST_P(PreferredLanguages, FromTheLocaleVariables) {
    const LanguageCase& c = GetParam();
    Locale locale(c.language, c.lcAll, c.lcMessages, c.lang);
    EXPECT_EQ(plat::PreferredLanguages(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Variables, PreferredLanguages,
    ::testing::Values(LanguageCase{"", "", "", "C.UTF-8", {}}, LanguageCase{"", "", "", "", {}},
                      LanguageCase{"", "", "", "de_DE.UTF-8", {"de_DE", "de"}},
                      LanguageCase{
                          "fr:de_AT", "", "", "en_US.UTF-8", {"fr", "de_AT", "de", "en_US", "en"}},
                      LanguageCase{"", "POSIX", "de_DE", "fr_FR", {}},
                      LanguageCase{"", "", "ja_JP.eucJP", "de", {"ja_JP", "ja"}},
                      LanguageCase{"", "it_IT@euro", "", "", {"it_IT", "it"}},
                      LanguageCase{"German:English", "", "", "", {"de", "en"}},
                      LanguageCase{"pt-BR::", "", "", "pt_PT", {"pt_BR", "pt", "pt_PT"}}));

// ---- resources

class Resources : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = MakeBundle("Res.app", "com.example.res." + QString::number(++s_count));
        const QString r = m_path + "/Contents/Resources/";
        WriteFile(r + "plain.txt", "plain");
        WriteFile(r + "de.lproj/both.txt", "de");
        WriteFile(r + "English.lproj/both.txt", "English");
        WriteFile(r + "German.lproj/legacy.txt", "German");
        WriteFile(r + "English.lproj/legacy.txt", "English");
        WriteFile(r + "fr.lproj/only.txt", "fr");
        WriteFile(r + "pt_BR.lproj/region.txt", "pt_BR");
        WriteFile(r + "English.lproj/region.txt", "English");
        WriteFile(r + "de.lproj/plain.txt", "localised plain");
        WriteFile(r + "Sub/inner.txt", "sub");
        WriteFile(r + "fr.lproj/Sub/inner2.txt", "fr sub");
        ASSERT_TRUE(QDir().mkpath(r + "main.nib"));
        m_bundle = CFBundleCreate(m_path);
        ASSERT_NE(m_bundle, nullptr);
    }

    // The .lproj folder (or "" for Resources itself) the lookup chose.
    QString Found(const QString& name, const QString& type, const QString& subDir = {}) {
        const auto path = CFBundleCopyResourcePath(m_bundle, name, type, subDir);
        if (!path) return "<none>";
        QString rel = QDir(m_path + "/Contents/Resources").relativeFilePath(*path);
        return QString(ReadFile(*path)) + " @ " + rel;
    }

    static inline int s_count = 0;
    QString m_path;
    CFBundleRef m_bundle = nullptr;
};

TEST_F(Resources, NonLocalisedFirstThenPreferredThenDevelopmentThenAny) {
    Locale locale("", "", "", "de_DE.UTF-8");
    EXPECT_EQ(Found("plain", "txt"), "plain @ plain.txt");
    EXPECT_EQ(Found("both", "txt"), "de @ de.lproj/both.txt");
    EXPECT_EQ(Found("legacy", "txt"), "German @ German.lproj/legacy.txt");
    EXPECT_EQ(Found("region", "txt"), "English @ English.lproj/region.txt");
    EXPECT_EQ(Found("only", "txt"), "fr @ fr.lproj/only.txt");
    EXPECT_EQ(Found("absent", "txt"), "<none>");
    EXPECT_EQ(Found("plain.txt", ""), "plain @ plain.txt");
    EXPECT_EQ(Found("plain", ".txt"), "plain @ plain.txt");
}

struct SelectionCase {
    const char* language;
    const char* lang;
    const char* name;
    const char* expected;
};

class ResourceSelection : public Resources, public ::testing::WithParamInterface<SelectionCase> {};

TEST_P(ResourceSelection, FollowsTheLocale) {
    const SelectionCase& c = GetParam();
    Locale locale(c.language, "", "", c.lang);
    EXPECT_EQ(Found(c.name, "txt"), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Locales, ResourceSelection,
    ::testing::Values(SelectionCase{"", "C.UTF-8", "both", "English @ English.lproj/both.txt"},
                      SelectionCase{"", "de", "legacy", "German @ German.lproj/legacy.txt"},
                      SelectionCase{"fr:de", "en_US.UTF-8", "both", "de @ de.lproj/both.txt"},

                      SelectionCase{"", "pt_BR.UTF-8", "region", "pt_BR @ pt_BR.lproj/region.txt"},
                      SelectionCase{"", "pt_PT.UTF-8", "region", "pt_BR @ pt_BR.lproj/region.txt"},
                      SelectionCase{"", "ja_JP.UTF-8", "both",
                                    "English @ English.lproj/both.txt"}));

TEST_F(Resources, SubFoldersAndFolderResources) {
    Locale locale("", "", "", "C");
    EXPECT_EQ(Found("inner", "txt", "Sub"), "sub @ Sub/inner.txt");
    EXPECT_EQ(Found("inner2", "txt", "Sub"), "fr sub @ fr.lproj/Sub/inner2.txt");
    EXPECT_EQ(Found("inner", "txt"), "<none>");
    EXPECT_TRUE(CFBundleCopyResourcePath(m_bundle, "main", "nib").has_value());
}

TEST_F(Resources, NamesCannotLeaveTheBundle) {
    WriteFile(m_path + "/Contents/Info.txt", "outside");
    EXPECT_EQ(Found("../Info", "txt"), "<none>");
    EXPECT_EQ(Found("Info", "txt", ".."), "<none>");
    EXPECT_EQ(Found("passwd", "", "/etc"), "<none>");
    EXPECT_EQ(CFBundleCopyResourcePath(nullptr, "plain", "txt"), std::nullopt);
}

TEST_F(Resources, DevelopmentRegionFromInfoPlist) {
    const QString path = MakeBundle("Dev.app", "com.example.dev",
                                    "<key>CFBundleDevelopmentRegion</key><string>French</string>");
    const QString r = path + "/Contents/Resources/";
    WriteFile(r + "de.lproj/x.txt", "de");
    WriteFile(r + "fr.lproj/x.txt", "fr");
    Locale locale("", "", "", "C");
    const auto found = CFBundleCopyResourcePath(CFBundleCreate(path), "x", "txt");
    ASSERT_TRUE(found);
    EXPECT_EQ(ReadFile(*found), "fr");
}

// ---- string tables

TEST(StringsFile, ParsesTheOldStyleSyntax) {
    const QByteArray text = R"(/* A comment with "quotes" and ; in it */
"Hello" = "Hallo";
// a line comment = "x";
"Escapes" = "tab\tnew\nline \"quoted\" back\\slash cr\r";
"Unicode" = "\U00e9t\u00E9 \U20AC";
bare_key = bare.value/with:chars-ok;
"Same" ;
"Spaces around"    =
    "value"   ;
"Empty" = "";
"Hello" = "Hallo again";
)";
    const auto table = plat::ParseStringsFile(text);
    ASSERT_TRUE(table);
    const std::map<QString, QString> expected = {
        {"Hello", "Hallo again"},
        {"Escapes", "tab\tnew\nline \"quoted\" back\\slash cr\r"},
        {"Unicode", QString::fromUtf8("été €")},
        {"bare_key", "bare.value/with:chars-ok"},
        {"Same", "Same"},
        {"Spaces around", "value"},
        {"Empty", ""},
    };
    EXPECT_EQ(*table, expected);
}

TEST(StringsFile, EncodingsByByteOrderMark) {
    const QString text = QString::fromUtf8("\"Grüße\" = \"日本語 \\U00e9\";\n");
    const std::map<QString, QString> expected = {
        {QString::fromUtf8("Grüße"), QString::fromUtf8("日本語 é")}};
    const QByteArray utf8 = text.toUtf8();
    const QByteArray noBomLe = Utf16(text, QStringConverter::Utf16LE).mid(2);
    for (const QByteArray& bytes :
         {utf8, QByteArray("\xEF\xBB\xBF") + utf8, Utf16(text, QStringConverter::Utf16LE),
          Utf16(text, QStringConverter::Utf16BE), noBomLe}) {
        const auto table = plat::ParseStringsFile(bytes);
        ASSERT_TRUE(table) << bytes.left(8).toHex().data();
        EXPECT_EQ(*table, expected);
    }
}

TEST(StringsFile, SyntaxErrorsGiveNothing) {
    const char* cases[] = {
        "\"a\" = \"b\"",           // no semicolon
        "\"a\" = \"b\" \"c\";",    // two values
        "\"a\" = \"unterminated;", // open string
        "\"a\" = ;",               // no value
        "/* open comment \"a\" = \"b\";",
        "= \"b\";",
        "\"a\" = \"b\";}",
        "\"a\" = \"\\U\";",          // escape without digits
        "\"a\" = \"\xff\xfe\xfd\";", // not UTF-8
    };
    for (const char* text : cases)
        EXPECT_EQ(plat::ParseStringsFile(QByteArray(text)), std::nullopt) << text;
    // Odd-length UTF-16.
    EXPECT_EQ(plat::ParseStringsFile(QByteArray("\xFF\xFE\x61", 3)), std::nullopt);
    // Empty tables are fine, braced or not.
    EXPECT_EQ(plat::ParseStringsFile(""), (std::map<QString, QString>{}));
    EXPECT_EQ(plat::ParseStringsFile("{ \"k\" = \"v\"; }"),
              (std::map<QString, QString>{{"k", "v"}}));
}

TEST(LocalizedStrings, PreferredTableThenDevelopmentRegionThenValueOrKey) {
    const QString path = MakeBundle("Strings.app", "com.example.strings");
    const QString r = path + "/Contents/Resources/";
    WriteFile(r + "en.lproj/Localizable.strings",
              "\"Hello\" = \"Hello\";\n\"Only English\" = \"Only in English\";\n");
    WriteFile(r + "de.lproj/Localizable.strings",
              Utf16("\"Hello\" = \"Hallo\";\n", QStringConverter::Utf16LE));
    WriteFile(r + "de.lproj/Other.strings", "\"Hello\" = \"Servus\";");
    WriteFile(r + "de.lproj/Broken.strings", "\"Hello\" = ");

    Locale locale("", "", "", "de_DE.UTF-8");
    CFBundleRef bundle = CFBundleCreate(path);
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(CFBundleCopyLocalizedString(bundle, "Hello", {}, {}), "Hallo");
    EXPECT_EQ(CFBundleCopyLocalizedString(bundle, "Only English", {}, "Localizable"),
              "Only in English");
    EXPECT_EQ(CFBundleCopyLocalizedString(bundle, "Missing", "Default", {}), "Default");
    EXPECT_EQ(CFBundleCopyLocalizedString(bundle, "Missing", {}, {}), "Missing");
    EXPECT_EQ(CFBundleCopyLocalizedString(bundle, "Hello", {}, "Other"), "Servus");
    EXPECT_EQ(CFBundleCopyLocalizedString(bundle, "Hello", {}, "Broken"), "Hello");
    EXPECT_EQ(CFBundleCopyLocalizedString(bundle, "Hello", {}, "NoSuchTable"), "Hello");
    EXPECT_EQ(CFBundleCopyLocalizedString(nullptr, "Hello", "v", {}), "v");

    // Tables are read once per bundle: a changed file is not seen again.
    WriteFile(r + "de.lproj/Localizable.strings", "\"Hello\" = \"Geändert\";");
    EXPECT_EQ(CFBundleCopyLocalizedString(bundle, "Hello", {}, {}), "Hallo");
}

TEST(LocalizedStrings, ConcurrentLookups) {
    const QString path = MakeBundle("Threads.app", "com.example.threads");
    QByteArray table;
    for (int i = 0; i < 200; ++i)
        table += QString("\"k%1\" = \"v%1\";\n").arg(i).toUtf8();
    WriteFile(path + "/Contents/Resources/en.lproj/Localizable.strings", table);
    CFBundleRef bundle = CFBundleCreate(path);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const int k = (i + t * 50) % 200;
                if (CFBundleCopyLocalizedString(bundle, QString("k%1").arg(k), {}, {}) !=
                    QString("v%1").arg(k))
                    ++wrong;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---- bundles and the registry

TEST(LocalizedStrings, FormatsAreFilledNeverInterpreted) {
    const struct {
        const char* format;
        QStringList arguments;
        const char* filled;
    } rows[] = {
        {"Connection failed with error: %@ %@",
         {"Timed out.", "http://h/v"},
         "Connection failed with error: Timed out. http://h/v"},
        {"Bytes received - %d", {"42"}, "Bytes received - 42"},
        {"%f%%", {"99.5"}, "99.5%"},
        {"%@ %@ %@", {"a"}, "a %@ %@"},
        {"%s %n %@ %", {"x"}, "%s %n x %"},
        {"%@", {"%@ %d"}, "%@ %d"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(plat::FillFormat(row.format, row.arguments), QString(row.filled)) << row.format;
}

TEST(Bundles, OpenedOnceAndFoundByIdentifier) {
    const QString path = MakeBundle("Reg.app", "com.example.registry",
                                    "<key>CFBundleVersion</key><string>1.2</string>");
    CFBundleRef bundle = CFBundleCreate(path);
    ASSERT_NE(bundle, nullptr);
    EXPECT_EQ(CFBundleCreate(path + "/"), bundle);
    EXPECT_EQ(CFBundleCreate(path + "/Contents/.."), bundle);
    EXPECT_EQ(CFBundleGetPath(bundle), path);
    EXPECT_EQ(CFBundleGetIdentifier(bundle), "com.example.registry");
    EXPECT_EQ(CFBundleGetBundleWithIdentifier("com.example.registry"), bundle);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier("com.example.never-opened"), nullptr);
    EXPECT_EQ(CFBundleCopyExecutablePath(bundle), path + "/Contents/Linux/Tool");

    const auto version = CFBundleGetValueForInfoDictionaryKey(bundle, "CFBundleVersion");
    ASSERT_TRUE(version && version->asString());
    EXPECT_EQ(*version->asString(), "1.2");
    EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(bundle, "Absent"), std::nullopt);

    // A second bundle with the same identifier does not take the first's place.
    const QString twin = MakeBundle("Twin.app", "com.example.registry");
    CFBundleRef second = CFBundleCreate(twin);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, bundle);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier("com.example.registry"), bundle);
}

TEST(Bundles, WhatIsNoBundle) {
    const QString dir = MakeTempDir("nobundle");
    EXPECT_EQ(CFBundleCreate(dir), nullptr);
    EXPECT_EQ(CFBundleCreate(dir + "/absent.app"), nullptr);
    EXPECT_EQ(CFBundleCreate(QString()), nullptr);
    EXPECT_EQ(CFBundleGetIdentifier(nullptr), QString());

    // A bundle with a broken Info.plist still opens, with no keys.
    WriteFile(dir + "/Broken.plugin/Contents/Info.plist", "not a property list");
    CFBundleRef broken = CFBundleCreate(dir + "/Broken.plugin");
    ASSERT_NE(broken, nullptr);
    EXPECT_EQ(CFBundleGetIdentifier(broken), QString());
    EXPECT_EQ(CFBundleCopyExecutablePath(broken), std::nullopt);
}

TEST(Bundles, MainBundleCanBeSetAndReset) {
    EXPECT_EQ(CFBundleGetMainBundle(), nullptr); // this test program is in no bundle
    const QString path = MakeBundle("Main.app", "com.example.main");
    plat::SetMainBundlePath(path);
    ASSERT_NE(CFBundleGetMainBundle(), nullptr);
    EXPECT_EQ(CFBundleGetPath(CFBundleGetMainBundle()), path);
    EXPECT_EQ(CFBundleGetBundleWithIdentifier("com.example.main"), CFBundleGetMainBundle());
    plat::SetMainBundlePath(QString());
    EXPECT_EQ(CFBundleGetMainBundle(), nullptr);
}

// Run as a child inside a bundle by the test below: prints its main bundle.
TEST(Bundles, ReportMainBundle) {
    if (qEnvironmentVariableIsEmpty("LOFTWISE_REPORT_MAIN_BUNDLE")) GTEST_SKIP() << "child only";
    printf("MAIN=%s\n", U8(CFBundleGetPath(CFBundleGetMainBundle())).c_str());
}

TEST(Bundles, MainBundleFromTheExecutablesPlace) {
    const QString path = MakeBundle("Probe.app", "com.example.probe");
    const QString exe = path + "/Contents/Linux/probe";
    ASSERT_TRUE(QFile::copy(QFile::symLinkTarget("/proc/self/exe"), exe));
    ASSERT_TRUE(QFile::setPermissions(exe, QFile::ReadOwner | QFile::ExeOwner));
    ScopedEnv report("LOFTWISE_REPORT_MAIN_BUNDLE", "1");
    // The copy's run path is relative to where it was built.
    ScopedEnv libraries("LD_LIBRARY_PATH", LOFTWISE_BINARY_DIR "/lib");
    const ProcessResult r = RunProcess(exe, {"--gtest_filter=Bundles.ReportMainBundle"});
    ASSERT_EQ(r.exitCode, 0) << r.err.data();
    EXPECT_TRUE(r.out.contains("MAIN=" + path.toUtf8() + "\n")) << r.out.data();
}

TEST(Uuid, UpperCaseCanonicalForm) {
    const QRegularExpression form("^[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$");
    const QString a = CFUUIDCreateString(), b = CFUUIDCreateString();
    EXPECT_TRUE(form.match(a).hasMatch()) << U8(a);
    EXPECT_TRUE(form.match(b).hasMatch()) << U8(b);
    EXPECT_NE(a, b);
}

} // namespace
