// The whole road a file manager takes: loftwise-context-menu started as a
// process with the real plug-in bundle, its menu listed, a destination chosen
// and the files sent to a real FTP server, the process ending only after the
// listing that followed the upload.
#include "tests/cmplugin/MenuSettings.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const QString kPlugIn = QStringLiteral(LOFTWISE_BUNDLES_DIR "/LoftwiseCM.plugin");

QString LogPath() {
    return qEnvironmentVariable("XDG_STATE_HOME") + "/Logs/LoftwiseCM.log";
}

ProcessResult Host(const QStringList& args) {
    return RunProcess(LOFTWISE_CONTEXT_MENU, QStringList{"--plugin", kPlugIn} + args, 120000);
}

class EndToEnd : public ::testing::TestWithParam<FtpServer::Kind> {};

TEST_P(EndToEnd, ChoosingADestinationSendsTheSelection) {
    auto server = StartRealServer(GetParam());
    ASSERT_TRUE(server && server->isRunning()) << server->startError().toStdString();
    QDir().mkpath(server->home() + "/in");
    QUrl url = server->url("/in");
    url.setUserName(server->user());
    url.setPassword(server->password());
    Set("MenuItems",
        Root({Group("Servers", {Item("Up", url.toString()), Item("Web", "http://127.0.0.1:9/")})}));
    Set("OpenConsoleLog", PlistValue::boolean(false));
    Set("DisplayDirectoryListing", PlistValue::boolean(true));

    const QString sel = MakeTempDir("selection");
    const QStringList files{sel + "/one.txt", sel + "/two words.txt", sel + "/three.bin"};
    for (int i = 0; i < files.size(); ++i)
        WriteFile(files[i], QByteArray(1000 * (i + 1), char('a' + i)));
    WriteFile(sel + "/Album/inside.jpg", "jpeg");

    const ProcessResult list = Host({"--list", files[0]});
    EXPECT_EQ(list.exitCode, 0) << list.err.constData();
    EXPECT_EQ(QString::fromUtf8(list.out),
              "0\t64\t\n>\t0\tLoftwiseCM\n  0\t128\tServers\n  2002\t0\tUp\n  2003\t0\tWeb\n"
              "  0\t64\t\n  1010\t0\tConsole Log...\n  1008\t0\tPreferences...\n"
              "  1009\t0\tHelp...\n");

    QFile::resize(LogPath(), 0);
    const ProcessResult chosen =
        Host(QStringList{"--choose", "Up"} + files + QStringList{sel + "/Album"});
    EXPECT_EQ(chosen.exitCode, 0) << chosen.err.constData();
    for (const QString& f : files)
        EXPECT_EQ(ReadFile(server->home() + "/in/" + QFileInfo(f).fileName()), ReadFile(f));
    EXPECT_TRUE(ReadFile(server->home() + "/in/Album.zip").startsWith("PK\x03\x04"));

    // The host returned after the last listing: nothing is written later.
    const QStringList entries = LogEntries(LogPath());
    EXPECT_EQ(entries.filter(QRegularExpression("^(Uploading \\d|Processing|Uploaded|Zipping)")),
              (QStringList{"Uploading 4 files.", "Processing file 1.", "Uploaded file 1.",
                           "Processing file 2.", "Uploaded file 2.", "Processing file 3.",
                           "Uploaded file 3.", "Processing file 4.", "Zipping folder...",
                           "Uploaded file 4."}));
    EXPECT_EQ(entries.filter("Listing complete").size(), 4);
    SpinFor(kNothingStartedMs);
    EXPECT_EQ(LogEntries(LogPath()), entries);
}

INSTANTIATE_TEST_SUITE_P(Servers, EndToEnd,
                         ::testing::Values(FtpServer::Kind::Pyftpdlib, FtpServer::Kind::Proftpd),
                         [](const auto& info) {
                             return info.param == FtpServer::Kind::Proftpd ? "proftpd"
                                                                           : "pyftpdlib";
                         });

// "Preferences..." runs the pane script: the settings host is asked for the
// plug-in's pane. A recorder stands in for it beside a copy of the host (the
// host looks beside itself first, where the build has the real one).
TEST(EndToEndCommands, PreferencesReachTheSettingsHost) {
    const QString root = MakeTempDir("prefix"), bin = root + "/bin", record = bin + "/asked.txt";
    ASSERT_TRUE(QDir().mkpath(bin));
    ASSERT_TRUE(
        QFile::link(QFileInfo(LOFTWISE_CONTEXT_MENU).dir().filePath("../lib"), root + "/lib"));
    ASSERT_TRUE(QFile::copy(LOFTWISE_CONTEXT_MENU, bin + "/loftwise-context-menu"));
    WriteFile(bin + "/loftwise-settings", "#!/bin/sh\necho \"$@\" >> '" + record.toUtf8() + "'\n");
    QFile::setPermissions(bin + "/loftwise-settings", QFile::ReadOwner | QFile::ExeOwner);
    const QString file = MakeTempDir("p") + "/f.txt";
    WriteFile(file, "x");
    const ProcessResult r = RunProcess(bin + "/loftwise-context-menu",
                                       {"--plugin", kPlugIn, "--choose", "Preferences...", file});
    EXPECT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(WaitForRecord(record, 1), QStringList{"--pane com.brisk-alder.LoftwiseCM"});
}

} // namespace
