// Connection settings over real bundles in a temporary folder, the real
// preferences store and a real keychain (this program runs inside a private
// D-Bus session with gnome-keyring-daemon).
#include "app/AppLog.h"
#include "app/ConnectionSettings.h"
#include "app/Shell.h"
#include "platform/Bundle.h"
#include "platform/Keychain.h"
#include "platform/Preferences.h"
#include "platform/ui/Dialogs.h"
#include "tests/support/TestSupport.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cstring>
#include <gtest/gtest.h>
#include <thread>

using namespace testing_support;

namespace {

const QString kRealBundle = QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app");
const QString kDomain = QStringLiteral("com.brisk-alder.Loftwise");

QString MakeBundle(const QString& folder, const QString& name) {
    const QString path = folder + "/" + name;
    WriteFile(path + "/Contents/Info.plist",
              R"(<?xml version="1.0" encoding="UTF-8"?><plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.brisk-alder.Loftwise</string></dict></plist>)");
    QDir().mkpath(path + "/Contents/Resources");
    return path;
}

PlistArray StoredItems() {
    CFPreferencesAppSynchronize(kDomain);
    auto v = CFPreferencesCopyAppValue("LoginItems", kDomain);
    return v && v->asArray() ? *v->asArray() : PlistArray{};
}

QString StoredString(const PlistValue& entry, const char* key) {
    const PlistValue* v = entry.find(key);
    return v && v->asString() ? *v->asString() : QStringLiteral("<none>");
}

// Fields of a sheet, for the functions that read and fill them.
struct Fields {
    QLineEdit host, user, password, folder;
    QLabel note;
    Fields() {
        gLockedNote = &note;
        gHostEditText = &host;
        gUsernameEditText = &user;
        gPasswordEditText = &password;
        gFolderEditText = &folder;
    }
    ~Fields() {
        gHostEditText = gUsernameEditText = gPasswordEditText = gFolderEditText = gLockedNote =
            nullptr;
    }
};

// Answers alerts with OK and keeps their messages while it lives.
struct AlertLog {
    QStringList messages;
    AlertLog() {
        plat::SetAlertResponder([this](const plat::AlertRequest& r) {
            messages << r.message;
            return DialogItemIndex(1);
        });
    }
    ~AlertLog() { plat::SetAlertResponder(nullptr); }
};

std::optional<QString> KeychainPassword(const char* account) {
    void* data = nullptr;
    UInt32 length = 0;
    if (SecKeychainFindGenericPassword(nullptr, 8, "Loftwise", UInt32(std::strlen(account)),
                                       account, &length, &data, nullptr) != noErr)
        return std::nullopt;
    QString s = QString::fromLatin1(static_cast<const char*>(data), length);
    SecKeychainItemFreeContent(nullptr, data);
    return s;
}

TEST(FolderPath, FollowsTheCopysName) {
    const QString dir = MakeTempDir("names");
    Fields f;
    struct Row {
        const char* bundle;
        const char* folderField;
        const char* upload;
        const char* display;
    };
    const Row rows[] = {
        {"Clients.app", "/pub", "/Clients/", "/Clients"},
        {"Loftwise 2.app", "", "/", "/"},
        {"Loftwise 2.app", "pub", "/pub", "/pub"},
        {"Loftwise 2.app", "/pub/", "/pub/", "/pub/"},
        {"Sites:Client.app", "", "/Sites/Client/", "/Sites/Client"},
        {"My Site.app", "", "/My Site/", "/My Site"},
        {"NoExtension", "x", "/NoExtension", "/NoExtension"},
        {"loftwise.app", "pub", "/loftwise/", "/loftwise"}, // the prefix is case-sensitive
    };
    for (const Row& r : rows) {
        plat::SetMainBundlePath(MakeBundle(dir, r.bundle));
        f.folder.setText(r.folderField);
        EXPECT_EQ(GetFolderPath(true), QString(r.upload)) << r.bundle << " / " << r.folderField;
        EXPECT_EQ(GetFolderPath(false), QString(r.display)) << r.bundle << " / " << r.folderField;
    }
    // Without the folder field a Loftwise copy uploads to the root.
    gFolderEditText = nullptr;
    plat::SetMainBundlePath(MakeBundle(dir, "Loftwise.app"));
    EXPECT_EQ(GetFolderPath(true), QString("/"));
}

TEST(Getters, ReadTheFieldsOnTheMainThreadOnly) {
    Fields f;
    f.host.setText("ftp.example.org");
    f.user.setText("anna");
    f.password.setText("s3cret");
    EXPECT_EQ(GetHost(), QString("ftp.example.org"));
    EXPECT_EQ(GetPassword(), QString("s3cret"));

    const ConnectionSnapshot snap = TakeConnectionSnapshot();
    f.host.setText("typed.later.example"); // the main thread edits on
    EXPECT_EQ(snap.host, QString("ftp.example.org"));
    EXPECT_EQ(snap.username, QString("anna"));
    std::optional<QString> bare;
    std::thread([&] { bare = GetHost(); }).join();
    EXPECT_EQ(bare, std::nullopt); // another thread never touches a widget
    gHostEditText = nullptr;
    EXPECT_EQ(GetHost(), std::nullopt);
}

TEST(WicketEntries, EachCopyKeepsItsOwnAcrossRenamesAndMoves) {
    const QString dir = MakeTempDir("wickets");
    const QString a = MakeBundle(dir, "Loftwise.app");
    const QString b = MakeBundle(dir, "Clients.app");
    CFPreferencesSetAppValue("LoginItems", std::nullopt, kDomain);
    CFPreferencesAppSynchronize(kDomain);

    plat::SetMainBundlePath(a);
    SaveStringPreference("Host", "a.example");
    SaveStringPreference("Username", "ann");
    plat::SetMainBundlePath(b);
    SaveStringPreference("Host", "b.example");

    PlistArray items = StoredItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(StoredString(items[0], "Host"), "a.example");
    EXPECT_EQ(StoredString(items[1], "Host"), "b.example"); // saved last, at the end
    EXPECT_EQ(StoredString(items[1], "Username"), "<none>");
    ASSERT_NE(items[0].find("AliasData"), nullptr);
    EXPECT_NE(items[0].find("AliasData")->asData(), nullptr);

    // Writing again moves the entry to the end.
    plat::SetMainBundlePath(a);
    SaveStringPreference("Folder", "/pub");
    items = StoredItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(StoredString(items[1], "Host"), "a.example");
    EXPECT_EQ(StoredString(items[1], "Folder"), "/pub");

    Fields f;
    auto load = [&](const QString& bundle) {
        plat::SetMainBundlePath(bundle);
        f.host.clear();
        f.user.clear();
        InitEditText("Host", &f.host);
        InitEditText("Username", &f.user);
        return f.host.text() + "|" + f.user.text();
    };
    EXPECT_EQ(load(a), "a.example|ann");
    EXPECT_EQ(load(b), "b.example|");

    // Renamed and moved copies still find their entries.
    const QString renamed = dir + "/Loftwise Renamed.app";
    ASSERT_TRUE(QDir().rename(a, renamed));
    EXPECT_EQ(load(renamed), "a.example|ann");
    QDir().mkpath(dir + "/elsewhere");
    const QString moved = dir + "/elsewhere/Clients.app";
    ASSERT_TRUE(QDir().rename(b, moved));
    EXPECT_EQ(load(moved), "b.example|");

    // A duplicate is a new object: no entry of its own.
    const QString duplicate = dir + "/Loftwise copy.app";
    ASSERT_EQ(RunProcess("cp", {"-a", renamed, duplicate}).exitCode, 0);
    EXPECT_EQ(load(duplicate), "|");
    // ...and its first save appends a new entry, leaving the others alone.
    SaveStringPreference("Host", "c.example");
    items = StoredItems();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(StoredString(items[2], "Host"), "c.example");
    EXPECT_EQ(load(renamed), "a.example|ann");

    // A deleted copy's entry is skipped and kept.
    ASSERT_TRUE(QDir(moved).removeRecursively());
    EXPECT_EQ(StoredItems().size(), 3u);
    EXPECT_EQ(load(duplicate), "c.example|");
    EXPECT_EQ(StoredItems().size(), 3u);
}

TEST(WicketEntries, NothingIsStoredWithoutABundle) {
    CFPreferencesSetAppValue("LoginItems", std::nullopt, kDomain);
    CFPreferencesAppSynchronize(kDomain);
    plat::SetMainBundlePath(MakeTempDir("gone") + "/Missing.app");
    SaveStringPreference("Host", "x.example");
    EXPECT_TRUE(StoredItems().empty());
    Fields f;
    f.host.setText("kept");
    InitEditText("Host", &f.host);
    EXPECT_EQ(f.host.text(), "kept");
}

TEST(Keychain, AddReplaceAndFind) {
    ASSERT_EQ(AddKeychainPassword("ftp.example.org", "anna", "first"), noErr);
    EXPECT_EQ(KeychainPassword("ftp.example.org:anna"), QString("first"));
    ASSERT_EQ(AddKeychainPassword("ftp.example.org", "anna", "second"), noErr);
    EXPECT_EQ(KeychainPassword("ftp.example.org:anna"), QString("second"));

    CString256 found;
    ASSERT_EQ(RetrieveKeychainPassword("ftp.example.org", "anna", found), noErr);
    EXPECT_STREQ(found.c_str(), "second");
    CString256 untouched("before");
    EXPECT_EQ(RetrieveKeychainPassword("ftp.example.org", "nobody", untouched), errSecItemNotFound);
    EXPECT_STREQ(untouched.c_str(), "before");

    // Empty parts write nothing and look nothing up.
    EXPECT_EQ(AddKeychainPassword("ftp.example.org", "", "pw"), noErr);
    EXPECT_EQ(KeychainPassword("ftp.example.org:"), std::nullopt);
    EXPECT_EQ(RetrieveKeychainPassword("", "anna", untouched), noErr);
    EXPECT_STREQ(untouched.c_str(), "before");

    // The password field is filled from the keychain.
    Fields f;
    f.host.setText("ftp.example.org");
    f.user.setText("anna");
    InitializePasswordFromKeychain(&f.password);
    EXPECT_EQ(f.password.text(), "second");
    // No item yet is no keychain trouble: the field stays as it was.
    f.user.setText("nobody");
    f.password.clear();
    InitializePasswordFromKeychain(&f.password);
    EXPECT_EQ(GetSettingsTrouble(), std::nullopt);
}

// Runs in a child whose bus address leads nowhere, so there is no keychain at all.
TEST(DISABLED_KeychainChild, NoKeychainIsNamedAndNoPasswordIsSent) {
    Fields f;
    f.host.setText("ftp.example.org");
    f.user.setText("anna");
    InitializePasswordFromKeychain(&f.password);
    const QString expected = QString::fromStdString(plat::KeychainStatusText(errSecNotAvailable));
    ASSERT_TRUE(GetSettingsTrouble());
    EXPECT_TRUE(GetSettingsTrouble()->contains(expected)) << GetSettingsTrouble()->toStdString();
    // The copy a transfer takes has it too, and a password typed afterwards lifts it.
    EXPECT_EQ(TakeConnectionSnapshot().trouble, GetSettingsTrouble());
    f.password.setText("typed");
    EXPECT_EQ(GetSettingsTrouble(), std::nullopt);
    if (!testing::Test::HasFailure()) std::printf("CHILD-COMPLETED\n");
}

TEST(Keychain, NoKeychainIsNamedAndNoPasswordIsSent) {
    const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
    ProcessResult r =
        RunProcess(QCoreApplication::applicationFilePath(),
                   {"--gtest_filter=DISABLED_KeychainChild.*", "--gtest_also_run_disabled_tests"});
    qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
    EXPECT_EQ(r.exitCode, 0) << r.out.constData() << r.err.constData();
    EXPECT_TRUE(r.out.contains("CHILD-COMPLETED")) << r.out.constData();
}

struct HardcodedCase {
    const char* name;
    QByteArray resource;
    const char* host;
    const char* user;
    const char* keychainAccount;
    const char* password; // nullptr: nothing written
    const char* folder;
    const char* refused; // a word of the alert, or nullptr: nothing refused
};

// The NUL is part of the file, so the length cannot come from strlen.
constexpr char kNulInHost[] = "ho\0st.example\nnu\npw\n/n";

class HardcodedResource : public ::testing::TestWithParam<HardcodedCase> {};

TEST_P(HardcodedResource, PresetsAndLocksTheFields) {
    const HardcodedCase& c = GetParam();
    CFPreferencesSetAppValue("LoginItems", std::nullopt, kDomain);
    CFPreferencesAppSynchronize(kDomain);
    const QString bundle = MakeBundle(MakeTempDir("hard"), "Loftwise.app");
    plat::SetMainBundlePath(bundle);
    SaveStringPreference("Folder", "/from-entry");
    WriteFile(bundle + "/Contents/Resources/Preferences.txt", c.resource);

    Fields f;
    AlertLog alerts;
    InitializeHardcodedPreferences();
    for (QLineEdit* e : {&f.host, &f.user, &f.password, &f.folder})
        EXPECT_FALSE(e->isEnabled());
    EXPECT_FALSE(f.note.isHidden()); // the sheet says why
    // A refused line stores nothing, says which, and stops every transfer.
    const std::optional<QString> trouble = GetSettingsTrouble();
    if (c.refused) {
        ASSERT_EQ(alerts.messages.size(), 1);
        EXPECT_TRUE(alerts.messages[0].contains(c.refused)) << alerts.messages[0].toStdString();
        EXPECT_EQ(trouble, alerts.messages[0]);
    } else {
        EXPECT_EQ(alerts.messages, QStringList());
        EXPECT_EQ(trouble, std::nullopt);
    }

    const PlistArray items = StoredItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(StoredString(items[0], "Host"), QString::fromUtf8(c.host));
    EXPECT_EQ(StoredString(items[0], "Username"), QString::fromUtf8(c.user));
    EXPECT_EQ(StoredString(items[0], "Folder"), QString::fromUtf8(c.folder));
    EXPECT_EQ(KeychainPassword(c.keychainAccount),
              c.password ? std::optional<QString>(c.password) : std::nullopt);
    // Nothing of the password reaches the preferences file.
    if (c.password) {
        EXPECT_FALSE(ReadFile(plat::PreferencesFilePath(kDomain)).contains(c.password));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, HardcodedResource,
    ::testing::Values(
        HardcodedCase{"CrLfAndEmptyLine", "ftp.hard.example\r\n\r\nhuser\r\nhpass\r\n/hard\r\n",
                      "ftp.hard.example", "huser", "ftp.hard.example:huser", "hpass", "/hard",
                      nullptr},
        HardcodedCase{"TwoLines", "two.example\nonly", "two.example", "only", "two.example:only",
                      nullptr, "/from-entry", nullptr},
        HardcodedCase{"SpacesKeptMacRoman", QByteArray("sp.example\r us\x8Er \r pw \r/f\r"),
                      "sp.example", " us\u00e9r ", "sp.example: us\x8Er ", " pw ", "/f", nullptr},
        // UTF-8 as a Linux editor writes it, with a byte-order mark.
        HardcodedCase{"Utf8", "\xEF\xBB\xBFu8.example\nus\xC3\xA9r\nu8-secret\n/f\xC3\xB6lder\n",
                      "u8.example", "us\u00e9r", "u8.example:us\x8Er", "u8-secret", "/f\u00f6lder",
                      nullptr},
        // 0xC3 then a space is no UTF-8: the whole file is Mac Roman.
        HardcodedCase{"MacRomanNotUtf8", "mr.example\ncaf\x8E\nmr-secret\n/\xC3 x\n", "mr.example",
                      "caf\u00e9", "mr.example:caf\x8E", "mr-secret", "/\u221a x", nullptr},
        HardcodedCase{"NulInHost", QByteArray(kNulInHost, sizeof kNulInHost - 1), "<none>",
                      "<none>", "ho", nullptr, "/from-entry", "host"},
        HardcodedCase{"EscapeInPassword", "esc.example\nesc\np\x1bw\n/e", "<none>", "<none>",
                      "esc.example:esc", nullptr, "/from-entry", "password"},
        HardcodedCase{"PasswordTheKeychainCannotHold",
                      "kc.example\nkc\n\xD0\xBF\xD0\xB0\xD1\x80\n/k", "<none>", "<none>",
                      "kc.example:kc", nullptr, "/from-entry", "keychain"}),
    [](const auto& info) { return std::string(info.param.name); });

// The real sheet from the bundle's nib.
class Sheet : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        CFPreferencesSetAppValue("LoginItems", std::nullopt, kDomain);
        CFPreferencesSetAppValue("ZipFolders", std::nullopt, kDomain);
        CFPreferencesSetAppValue("QuitWhenDone", std::nullopt, kDomain);
        CFPreferencesAppSynchronize(kDomain);
        const QString copy = MakeTempDir("sheet") + "/Loftwise.app";
        ASSERT_EQ(RunProcess("cp", {"-a", kRealBundle, copy}).exitCode, 0);
        plat::SetMainBundlePath(copy);
        ASSERT_EQ(StartApplication(), noErr);
        ASSERT_NE(gPreferencesWindow, nullptr);
    }
    static QPushButton* Button(const char* command) {
        for (auto* b : gPreferencesWindow->findChildren<QPushButton*>())
            if (b->property("command").toString() == command) return b;
        return nullptr;
    }
    static QLineEdit* Edit(ControlRef c) { return qobject_cast<QLineEdit*>(c); }
};

TEST_F(Sheet, OpensOnPrefAndCheckBoxesTakeEffectAtTheClick) {
    for (ControlRef c : {gQuitWhenDoneCheckbox, gZipFoldersCheckbox, gUsernameEditText,
                         gPasswordEditText, gHostEditText, gFolderEditText, gLockedNote})
        ASSERT_NE(c, nullptr);
    // Nothing is locked in this copy; the host field shows its form.
    EXPECT_TRUE(gLockedNote->isHidden());
    EXPECT_TRUE(Edit(gHostEditText)->placeholderText().contains("host:port"));
    HICommand pref{kHICommandFromMenu, kHICommandPreferences, {nullptr, 0}};
    EXPECT_EQ(ProcessHICommand(&pref), noErr);
    EXPECT_TRUE(gPreferencesWindow->isVisible());
    EXPECT_EQ(gPreferencesWindow->parentWidget(), gWindow);

    qobject_cast<QCheckBox*>(gZipFoldersCheckbox)->click();
    EXPECT_TRUE(ZipFolders());
    EXPECT_FALSE(QuitWhenDone());
    Button("not!")->click();
    EXPECT_FALSE(gPreferencesWindow->isVisible());
    EXPECT_TRUE(ZipFolders()); // Cancel does not undo the click
    qobject_cast<QCheckBox*>(gZipFoldersCheckbox)->click();
    EXPECT_FALSE(ZipFolders());
}

TEST_F(Sheet, CancelKeepsTypedValuesLiveButStoresNothing) {
    HandlePreferencesCommand();
    Edit(gHostEditText)->setText("typed.example");
    gStopping = false;
    Button("not!")->click();
    // The sheet consumed Cancel: it never reached the application as Stop.
    EXPECT_FALSE(gStopping.load());
    EXPECT_EQ(GetHost(), QString("typed.example"));
    EXPECT_TRUE(StoredItems().empty());
}

TEST_F(Sheet, OkStoresTheEntryAndRetitlesTheWindow) {
    HandlePreferencesCommand();
    Edit(gHostEditText)->setText("ok.example");
    Edit(gUsernameEditText)->setText("olga");
    Edit(gPasswordEditText)->setText("pw-ok");
    Edit(gFolderEditText)->setText("incoming");
    Button("ok  ")->click();
    EXPECT_FALSE(gPreferencesWindow->isVisible());
    PlistArray items = StoredItems();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(StoredString(items[0], "Host"), "ok.example");
    EXPECT_EQ(StoredString(items[0], "Username"), "olga");
    EXPECT_EQ(StoredString(items[0], "Folder"), "incoming");
    EXPECT_EQ(items[0].find("Password"), nullptr);
    EXPECT_EQ(KeychainPassword("ok.example:olga"), QString("pw-ok"));
    EXPECT_EQ(plat::WindowTitle(gWindow), "/incoming");
    EXPECT_FALSE(ReadFile(plat::PreferencesFilePath(kDomain)).contains("pw-ok"));
}

TEST_F(Sheet, EachOkFramesTheLogAgain) {
    // The destination of the previous OK, confirmed again unchanged, then quit.
    HandlePreferencesCommand();
    Button("ok  ")->click();
    StopLogging();
    const QString log = QString::fromLocal8Bit(qgetenv("XDG_STATE_HOME")) +
                        "/Logs/Loftwise/Loftwise-ok.example:incoming.log";
    QStringList frames;
    for (const QString& line : QString::fromUtf8(ReadFile(log)).split('\n', Qt::SkipEmptyParts))
        frames << line.section(' ', 1, 1); // "started" or "stopped"
    EXPECT_EQ(frames, QStringList({"started", "stopped", "started", "stopped"}))
        << ReadFile(log).toStdString();
}

TEST_F(Sheet, OkRefusesWhatCannotBeSentOrKept) {
    struct Row {
        ControlRef* field;
        QString text;
        const char* named;
    };
    const Row rows[] = {
        {&gHostEditText, QString("a") + QChar(0) + "b.example", "host"},
        {&gUsernameEditText, "olga\x01", "user name"},
        {&gPasswordEditText, "pw\x1b[0m", "password"},
        {&gFolderEditText, "in\x7f", "server folder"},
        {&gPasswordEditText, QString::fromUtf8("\u2713"), "keychain"},
    };
    const PlistArray before = StoredItems();
    for (const Row& r : rows) {
        SCOPED_TRACE(r.named);
        HandlePreferencesCommand();
        Edit(gHostEditText)->setText("refused.example");
        Edit(gUsernameEditText)->setText("rita");
        Edit(gPasswordEditText)->setText("pw");
        Edit(gFolderEditText)->setText("in");
        Edit(*r.field)->setText(r.text);
        AlertLog alerts;
        Button("ok  ")->click();
        ASSERT_EQ(alerts.messages.size(), 1);
        EXPECT_TRUE(alerts.messages[0].contains(r.named)) << alerts.messages[0].toStdString();
        EXPECT_TRUE(gPreferencesWindow->isVisible());
        EXPECT_EQ(Edit(*r.field)->text(), r.text);
        EXPECT_EQ(StoredItems(), before);
        EXPECT_EQ(KeychainPassword("refused.example:rita"), std::nullopt);
        Button("not!")->click();
    }
}

} // namespace
