// loftwise-context-menu as file managers run it, against the test plug-in:
// the listing in both forms, a command run with its context, the calling
// order, the exit statuses, the Dolphin service menu and the menu's picture.
#include "tests/platform/FakeCMBundle.h"

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace testing_support;

namespace {

const QString kFirstList = QString::fromUtf8("0\t64\t\n"
                                             ">\t0\tFakeCM\n"
                                             "  0\t128\tGroup\n"
                                             "  2001\t0\tAlpha\n"
                                             "  2002\t0\tCafé\n"
                                             "  2003\t0\tÜnïcode ☂\n"
                                             "  >\t0\tMore\n"
                                             "    3001\t0\tDeep\n"
                                             "    3002\t0\tTwin\n"
                                             "  0\t64\t\n"
                                             "  3003\t4\tDisabled\n"
                                             "1\t0\tTwin\n");

class Host : public ::testing::Test {
protected:
    QString dir = MakeTempDir("cm");
    QString record = dir + "/record.txt";
    QByteArray recordEnv = record.toUtf8();
    QString first = fake_cm::MakeBundle(dir);
    QString second =
        fake_cm::MakeBundle(dir, {"SecondCM", {{fake_cm::kSecondFactory, "FakeCMSecondFactory"}}});
    QString fileA = dir + "/a file.txt";
    QString fileB = dir + "/b.txt";
    // --list and --choose need no display.
    ScopedEnv recordTo{"FAKE_CM_RECORD", recordEnv.constData()};
    ScopedEnv noDisplay{"DISPLAY", nullptr};
    ScopedEnv noWayland{"WAYLAND_DISPLAY", nullptr};
    ScopedEnv noPlatform{"QT_QPA_PLATFORM", nullptr};

    void SetUp() override {
        QFile::remove(QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) +
                      "/kio/servicemenus/loftwise-cm.desktop");
        WriteFile(fileA, "a");
        WriteFile(fileB, "b");
    }
    ProcessResult Run(const QStringList& args) {
        return RunProcess(LOFTWISE_CONTEXT_MENU, QStringList{"--plugin", first} + args);
    }
    QStringList Calls() {
        return QString::fromUtf8(ReadFile(record)).split('\n', Qt::SkipEmptyParts);
    }
    QStringList CallsStartingWith(const QString& prefix) {
        return Calls().filter(QRegularExpression("^" + QRegularExpression::escape(prefix)));
    }
};

TEST_F(Host, ListsEveryPlugInsEntriesDepthFirst) {
    const ProcessResult text = Run({"--plugin", second, "--list", fileA});
    EXPECT_EQ(text.exitCode, 0) << text.err.toStdString();
    EXPECT_EQ(QString::fromUtf8(text.out), kFirstList + "77\t0\tSecond\n");

    const ProcessResult json = Run({"--list", "--json", fileA});
    EXPECT_EQ(json.exitCode, 0) << json.err.toStdString();
    EXPECT_EQ(QString::fromUtf8(json.out),
              QString::fromUtf8(R"([{"title":"","id":0,"attributes":64},)"
                                R"({"title":"FakeCM","id":null,"attributes":0,"submenu":[)"
                                R"({"title":"Group","id":0,"attributes":128},)"
                                R"({"title":"Alpha","id":2001,"attributes":0},)"
                                R"({"title":"Café","id":2002,"attributes":0},)"
                                R"({"title":"Ünïcode ☂","id":2003,"attributes":0},)"
                                R"({"title":"More","id":null,"attributes":0,"submenu":[)"
                                R"({"title":"Deep","id":3001,"attributes":0},)"
                                R"({"title":"Twin","id":3002,"attributes":0}]},)"
                                R"({"title":"","id":0,"attributes":64},)"
                                R"({"title":"Disabled","id":3003,"attributes":4}]},)"
                                R"({"title":"Twin","id":1,"attributes":0}])"
                                "\n"));
    EXPECT_FALSE(QJsonDocument::fromJson(json.out).isNull());
}

TEST_F(Host, RunsTheChosenCommandInTheContextManagersOrder) {
    const ProcessResult r = Run({"--plugin", second, "--choose", "Second", fileA});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, QByteArray());
    const QString items = "list 1 " + fileA;
    EXPECT_EQ(Calls(),
              (QStringList{"factory first", "query first ok", "release first 1", "factory second",
                           "query second ok", "release second 1", "examine first " + items,
                           "examine second " + items, "handle second 77 " + items, "cleanup first",
                           "cleanup second", "release first 0", "release second 0"}));
}

struct ChooseCase {
    const char* name;
    QString title;
    QStringList context; // {"A"} and {"B"} stand for the two files
    QString handled;     // after "handle first "; A and B as paths
};

class Choose : public Host, public ::testing::WithParamInterface<ChooseCase> {};

TEST_P(Choose, HandsTheCommandAndTheContextToThePlugIn) {
    const auto& c = GetParam();
    QStringList context = c.context;
    context.replaceInStrings(QRegularExpression("^A$"), fileA);
    context.replaceInStrings(QRegularExpression("^B$"), fileB);
    const ProcessResult r = Run(QStringList{"--choose", c.title} + context);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QString handled = "handle first " + c.handled;
    handled.replace(" A", " " + fileA).replace(" B", " " + fileB);
    EXPECT_EQ(CallsStartingWith("handle"), QStringList{handled});
}

INSTANTIATE_TEST_SUITE_P(
    ContextMenuHost, Choose,
    ::testing::Values(
        ChooseCase{"TwoFiles", "Alpha", {"A", "B"}, "2001 list 2 A B"},
        ChooseCase{"MissingPathAsText",
                   "Alpha",
                   {"A", QString::fromUtf8("/no/such/café")},
                   QString::fromUtf8("2001 list 2 A TEXT:/no/such/café")},
        ChooseCase{"NoFiles", "Alpha", {}, "2001 list 0"},
        ChooseCase{"LoneText", "Alpha", {"--text", "hello world"}, "2001 desc TEXT:hello world"},
        ChooseCase{"TextBeyondMacRoman",
                   "Alpha",
                   {"--text", QString::fromUtf8("☂ rain")},
                   QString::fromUtf8("2001 desc utxt:☂ rain")},
        ChooseCase{"MacRomanTitle", QString::fromUtf8("Café"), {"A"}, "2002 list 1 A"},
        ChooseCase{"UnicodeTitle", QString::fromUtf8("Ünïcode ☂"), {"A"}, "2003 list 1 A"},
        ChooseCase{"DuplicateTitleFirstDepthFirst", "Twin", {"A"}, "3002 list 1 A"},
        ChooseCase{"FileNamedLikeAnOption", "Alpha", {"--", "-style"}, "2001 list 1 TEXT:-style"}),
    [](const auto& info) { return std::string(info.param.name); });

struct StatusCase {
    const char* name;
    QStringList args;
    bool withPlugIn;
    int status;
    const char* stderrHas;
};

class Statuses : public Host, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(Statuses, ExitWithTheContractsStatus) {
    const auto& c = GetParam();
    const ProcessResult r = c.withPlugIn ? Run(c.args) : RunProcess(LOFTWISE_CONTEXT_MENU, c.args);
    EXPECT_EQ(r.exitCode, c.status) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(c.stderrHas)) << r.err.toStdString();
    if (c.status != 0) {
        EXPECT_EQ(CallsStartingWith("handle"), QStringList{});
    }
}

INSTANTIATE_TEST_SUITE_P(
    ContextMenuHost, Statuses,
    ::testing::Values(
        StatusCase{"Listed", {"--list"}, true, 0, ""},
        StatusCase{"NoPlugIn", {"--list"}, false, 1, "no plug-in loaded"},
        StatusCase{"NoSuchTitle", {"--choose", "Nothing"}, true, 1, "no entry titled \"Nothing\""},
        StatusCase{"HeaderIsNoCommand", {"--choose", "Group"}, true, 1, "no entry titled"},
        StatusCase{"SubmenuIsNoCommand", {"--choose", "More"}, true, 1, "no entry titled"},
        StatusCase{"SeparatorIsNoCommand", {"--choose", ""}, true, 1, "no entry titled"},
        StatusCase{"DisabledIsNoCommand", {"--choose", "Disabled"}, true, 1, "no entry titled"},
        StatusCase{"UnknownOption", {"--bogus"}, true, 2, "usage:"},
        StatusCase{"JsonWithoutList", {"--json"}, true, 2, "usage:"},
        StatusCase{"TwoModes", {"--list", "--choose", "Alpha"}, true, 2, "usage:"},
        StatusCase{"ChooseWithoutTitle", {"--choose"}, true, 2, "usage:"},
        StatusCase{"TextAndFiles", {"--list", "--text", "x", "/tmp"}, true, 2, "usage:"},
        StatusCase{"ServiceMenuWithFiles", {"--service-menu", "/tmp"}, true, 2, "usage:"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Host, BrokenPlugInIsNamedAndTheOthersStillWork) {
    const QString broken = fake_cm::MakeBundle(MakeTempDir("broken"),
                                               {"BrokenCM",
                                                {{fake_cm::kSecondFactory, "FakeCMSecondFactory"}},
                                                fake_cm::kMenuType,
                                                "not a library"});
    // An installed plug-in is loaded too, once even when also named.
    const QString installed =
        QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + "/Contextual Menu Items";
    ASSERT_TRUE(QDir().mkpath(installed));
    const QString copy = fake_cm::MakeBundle(installed, {.name = "InstalledCM"});
    const ProcessResult r =
        RunProcess(LOFTWISE_CONTEXT_MENU, {"--plugin", broken, "--plugin", copy, "--list"});
    QDir(copy).removeRecursively();
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.err.contains(broken.toUtf8())) << r.err.toStdString();
    EXPECT_EQ(QString::fromUtf8(r.out), kFirstList);

    const ProcessResult none = RunProcess(LOFTWISE_CONTEXT_MENU, {"--plugin", broken, "--list"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(none.err.contains("no plug-in loaded")) << none.err.toStdString();
}

TEST_F(Host, WritesTheServiceMenuAndRewritesItOnlyWhenItChanges) {
    const QByteArray hostile = R"(Clients "A" $HOME `id` \ 50%)";
    ScopedEnv title("FAKE_CM_TITLE", hostile.constData());
    const QString path =
        QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME")) + "/kio/servicemenus/loftwise-cm.desktop";
    QFile::remove(path);
    ProcessResult r = Run({"--list"});
    EXPECT_FALSE(QFileInfo::exists(path)); // only --service-menu creates it

    r = Run({"--service-menu"});
    ASSERT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(CallsStartingWith("examine").last(), "examine first list 1 " + QDir::homePath());
    const QString host = QFileInfo(LOFTWISE_CONTEXT_MENU).canonicalFilePath();
    const QString exec = "Exec=" + host + " --choose ";
    EXPECT_EQ(
        QString::fromUtf8(ReadFile(path)),
        "[Desktop Entry]\nType=Service\nX-KDE-ServiceTypes=KonqPopupMenu/Plugin\n"
        "MimeType=all/all;\nActions=loftwise1;loftwise2;loftwise3;loftwise4;loftwise5;"
        "loftwise6;\nX-KDE-Submenu=LoftwiseCM\n"
        "\n[Desktop Action loftwise1]\nName=Alpha\n" +
            exec + "Alpha %F\n" + QString::fromUtf8("\n[Desktop Action loftwise2]\nName=Café\n") +
            exec + QString::fromUtf8("Café %F\n") +
            QString::fromUtf8("\n[Desktop Action loftwise3]\nName=Ünïcode ☂\n") + exec +
            QString::fromUtf8("\"Ünïcode ☂\" %F\n") + "\n[Desktop Action loftwise4]\nName=Deep\n" +
            exec + "Deep %F\n" + "\n[Desktop Action loftwise5]\nName=Twin\n" + exec + "Twin %F\n" +
            "\n[Desktop Action loftwise6]\nName=Clients \"A\" $HOME `id` \\\\ 50%\n" + exec +
            R"("Clients \\"A\\" \\$HOME \\`id\\` \\\\ 50%%" %F)" + "\n");
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &before), 0);
    EXPECT_EQ(before.st_mode & 0777, 0755u);

    // The same menu leaves the file alone; a changed one replaces it.
    r = Run({"--list"});
    struct stat same {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &same), 0);
    EXPECT_EQ(same.st_ino, before.st_ino);
    ScopedEnv renamed("FAKE_CM_TITLE", "Clients B");
    r = Run({"--choose", "Alpha", fileA});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(ReadFile(path).contains("Name=Clients B\nExec=" + host.toUtf8() +
                                        " --choose \"Clients B\" %F\n"));
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 0777, 0755u);
}

TEST_F(Host, SnapshotSavesThePictureAndChoosesNothing) {
    ScopedEnv offscreen("QT_QPA_PLATFORM", "offscreen");
    const QString png = dir + "/menu.png";
    ScopedEnv snapshot("LOFTWISE_MENU_SNAPSHOT", png.toUtf8().constData());
    const ProcessResult r = Run({fileA});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    const QImage image(png);
    ASSERT_FALSE(image.isNull());
    EXPECT_GT(image.width(), 100);
    EXPECT_GT(image.height(), 100);
    EXPECT_EQ(CallsStartingWith("handle"), QStringList{});
    EXPECT_EQ(CallsStartingWith("cleanup"), QStringList{"cleanup first"});
}

} // namespace
