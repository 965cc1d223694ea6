// The plug-in helpers its engine calls: the settings switches as the pane
// leaves them, the localized texts of the plug-in's own bundle, and the date
// text of its log lines.
#include "cmplugin/LocalizedStrings.h"
#include "cmplugin/Preferences.h"
#include "cmplugin/Utils.h"
#include "platform/Bundle.h"
#include "platform/Preferences.h"
#include "tests/support/TestSupport.h"

#include <QDate>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const QString kDomain = QString::fromLatin1(kLoftwiseCMIdentifier);

struct Reader {
    const char* key;
    Boolean (*read)();
};
const Reader kReaders[] = {
    {"ShowPreferences", ShowPreferences},
    {"ShowHelp", ShowHelp},
    {"ShowGroupNames", ShowGroupNames},
    {"OpenConsoleLog", OpenConsoleLog},
    {"DisplayDirectoryListing", ShouldLogDirectoryListing},
    {"ZipCompressFolders", ShouldZipCompressFolders},
};

void Store(const char* key, std::optional<PlistValue> value) {
    CFPreferencesSetAppValue(QString::fromLatin1(key), value, kDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kDomain));
}

TEST(Switches, OnUnlessStoredAsFalse) {
    for (const Reader& r : kReaders) {
        SCOPED_TRACE(r.key);
        Store(r.key, std::nullopt);
        EXPECT_TRUE(r.read());
        Store(r.key, PlistValue::boolean(false));
        EXPECT_FALSE(r.read());
        Store(r.key, PlistValue::boolean(true));
        EXPECT_TRUE(r.read());
        Store(r.key, PlistValue(QStringLiteral("NO")));
        EXPECT_TRUE(r.read());
        Store(r.key, PlistValue::integer(0));
        EXPECT_TRUE(r.read());
        Store(r.key, std::nullopt);
    }
}

// The pane saves in another process: each read must see the file as it is now.
TEST(Switches, ReadTheFileThePaneLastWrote) {
    Store("OpenConsoleLog", PlistValue::boolean(true));
    ASSERT_TRUE(OpenConsoleLog());
    const QString file = plat::PreferencesFilePath(kDomain);
    const QString staged = file + ".pane";
    WriteFile(staged, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<plist version=\"1.0\"><dict>"
                      "<key>OpenConsoleLog</key><false/>"
                      "<key>DisplayDirectoryListing</key><false/>"
                      "</dict></plist>\n");
    QFile::remove(file);
    ASSERT_TRUE(QFile::rename(staged, file));
    EXPECT_FALSE(OpenConsoleLog());
    EXPECT_FALSE(ShouldLogDirectoryListing());
    EXPECT_TRUE(ShowHelp());
    Store("OpenConsoleLog", std::nullopt);
    Store("DisplayDirectoryListing", std::nullopt);
}

// One test, in order: the bundle is loaded half-way and stays for the process.
TEST(LocalizedStrings, FromThePluginsOwnBundleOnceItIsThere) {
    EXPECT_EQ(LocalizedString(nullptr), " ");
    EXPECT_EQ(LocalizedString("caf\xC3"), " "); // cut UTF-8
    EXPECT_EQ(LocalizedString("\xFF\xFE"), " ");

    // No bundle yet: the key itself, valid for as long as it is held.
    const QString& before = LocalizedString("Starting upload...");
    EXPECT_EQ(before, "Starting upload...");
    EXPECT_EQ(LocalizedString("Gr\xC3\xBC\xC3\x9F"
                              "e"),
              QString::fromUtf8("Grüße"));
    EXPECT_EQ(LocalizedString(""), "");

    const QString bundle = MakeTempDir("bundle") + "/LoftwiseCM.plugin";
    WriteFile(bundle + "/Contents/Info.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<plist version=\"1.0\"><dict>"
              "<key>CFBundleIdentifier</key><string>com.brisk-alder.LoftwiseCM</string>"
              "<key>CFBundleDevelopmentRegion</key><string>en</string>"
              "</dict></plist>\n");
    WriteFile(bundle + "/Contents/Resources/LocalizedStrings.strings",
              "\"Starting upload...\" = \"Envoi en cours...\";\n"
              "\"% complete\" = \" % fait\";\n");
    ASSERT_TRUE(CFBundleCreate(bundle));

    // What was handed out before is still intact; the key is looked up again.
    EXPECT_EQ(before, "Starting upload...");
    const QString& found = LocalizedString("Starting upload...");
    EXPECT_EQ(found, "Envoi en cours...");
    EXPECT_EQ(&LocalizedString("Starting upload..."), &found);
    EXPECT_EQ(LocalizedString("% complete"), " % fait");
    const QString& missing = LocalizedString("Not in the table");
    EXPECT_EQ(missing, "Not in the table");
    EXPECT_EQ(&LocalizedString("Not in the table"), &missing);
    EXPECT_EQ(LocalizedString(nullptr), " ");
}

TEST(CurrentDateString, LongDateAndTimeOfNow) {
    const auto text = CurrentDateString();
    ASSERT_TRUE(text);
    EXPECT_TRUE(text->contains(QString::number(QDate::currentDate().year())))
        << text->toStdString();
    EXPECT_TRUE(QRegularExpression("\\d{1,2}:\\d{2}:\\d{2}").match(*text).hasMatch())
        << text->toStdString();
}

} // namespace
