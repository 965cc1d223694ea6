// The real droplet program, started as the desktop starts it: a copy
// configured by its hard-coded Preferences resource, files given at launch
// or by a second launch, quitting by itself or by signal. Runs inside a
// private keyring session (the resource's password goes to the keychain).
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>

using namespace testing_support;

namespace {

const QString kRealBundle = QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app");

class DropletProcess : public ::testing::Test {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("LOFTWISE_TEST_KEYRING"))
            GTEST_SKIP() << "needs the private keyring session of tests/support/with-keyring";
        m_server = StartPyftpdlib();
        ASSERT_TRUE(m_server->isRunning()) << m_server->startError().toStdString();
        m_bundle = MakeTempDir("copies") + "/Loftwise.app";
        ASSERT_EQ(RunProcess("cp", {"-a", kRealBundle, m_bundle}).exitCode, 0);
        UseServer(*m_server);
    }
    // The copy's hard-coded destination.
    void UseServer(const FtpServer& server) {
        WriteFile(m_bundle + "/Contents/Resources/Preferences.txt",
                  QStringLiteral("127.0.0.1:%1\n%2\n%3\n/\n")
                      .arg(server.port())
                      .arg(server.user(), server.password())
                      .toUtf8());
    }
    void TearDown() override {
        for (auto& p : m_running)
            if (p->state() != QProcess::NotRunning) {
                p->kill();
                p->waitForFinished(5000);
            }
    }
    QProcess* Launch(const QStringList& files, bool quitWhenDone = false) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p->setProcessEnvironment(env);
        p->setProcessChannelMode(QProcess::MergedChannels);
        if (quitWhenDone) SetSwitch("QuitWhenDone", true);
        p->start(m_bundle + "/Contents/Linux/Loftwise", files);
        EXPECT_TRUE(p->waitForStarted());
        m_running.push_back(std::move(p));
        return m_running.back().get();
    }
    static void SetSwitch(const char* key, bool on) {
        const QString plist = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) +
                              "/Preferences/com.brisk-alder.Loftwise.plist";
        RunProcess("/usr/bin/python3",
                   {"-c",
                    QStringLiteral("import plistlib,os,sys\np=sys.argv[1]\nd={}\n"
                                   "os.makedirs(os.path.dirname(p),exist_ok=True)\n"
                                   "if os.path.exists(p): d=plistlib.load(open(p,'rb'))\n"
                                   "d[sys.argv[2]]=sys.argv[3]=='1'\n"
                                   "plistlib.dump(d,open(p,'wb'))"),
                    plist, key, on ? "1" : "0"});
    }
    bool WaitForFile(const QString& name, qint64 size) {
        return WaitUntil([&] {
            const QFileInfo f(m_server->home() + "/" + name);
            return f.exists() && f.size() == size;
        });
    }
    std::unique_ptr<FtpServer> m_server;
    QString m_bundle;
    std::vector<std::unique_ptr<QProcess>> m_running;
};

// A copy runs on the libraries it carries, not on the build's: an
// installed copy outlives the build folder.
TEST_F(DropletProcess, ACopyLoadsOnlyTheLibrariesItCarries) {
    const ProcessResult ldd = RunProcess("ldd", {m_bundle + "/Contents/Linux/Loftwise"});
    ASSERT_EQ(ldd.exitCode, 0) << ldd.err.constData();
    const QStringList ours = QString::fromLocal8Bit(ldd.out).split('\n').filter("libloftwise");
    EXPECT_EQ(ours.size(), 4) << ldd.out.constData();
    for (const QString& line : ours)
        EXPECT_TRUE(line.contains("=> " + m_bundle + "/Contents/")) << line.toStdString();
}

TEST_F(DropletProcess, QuitWhenDoneSaysByeAndEnds) {
    const QString src = MakeTempDir("src");
    WriteFile(src + "/done.txt", "finished");
    QProcess* app = Launch({src + "/done.txt"}, true);
    ASSERT_TRUE(app->waitForFinished(60000)) << app->readAll().toStdString();
    SetSwitch("QuitWhenDone", false);
    EXPECT_EQ(app->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app->exitCode(), 0);
    EXPECT_EQ(ReadFile(m_server->home() + "/done.txt"), QByteArray("finished"));
}

// A name from another system, not UTF-8, keeps its bytes on the way to the
// server, given at launch or found in a dropped folder.
TEST_F(DropletProcess, ANameThatIsNotUtf8ArrivesByteForByte) {
    auto server = StartProftpd(); // keeps a path's bytes, as pyftpdlib does not
    ASSERT_TRUE(server->isRunning()) << server->startError().toStdString();
    WriteFile(m_bundle + "/Contents/Resources/Preferences.txt",
              QStringLiteral("127.0.0.1:%1\n%2\n%3\n/\n")
                  .arg(server->port())
                  .arg(server->user(), server->password())
                  .toUtf8());
    const QByteArray name = "caf\xFF.txt";
    const QByteArray arrived = QFile::encodeName(server->home()) + '/' + name;
    const struct {
        const char* given;
        bool inFolder;
    } rows[] = {{"the file", false}, {"its folder", true}};
    SetSwitch("QuitWhenDone", true);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.given);
        const QByteArray folder = QFile::encodeName(MakeTempDir("src"));
        const QByteArray file = folder + '/' + name;
        std::FILE* f = std::fopen(file.constData(), "wb");
        ASSERT_TRUE(f);
        std::fputs(row.given, f);
        std::fclose(f);
        // QProcess hands its arguments over as text; a script keeps the bytes.
        const QString script = MakeTempDir("launch") + "/launch.sh";
        WriteFile(script, "exec '" + QFile::encodeName(m_bundle) + "/Contents/Linux/Loftwise' '" +
                              (row.inFolder ? folder : file) + "'\n");
        QProcess app;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        app.setProcessEnvironment(env);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start("/bin/sh", {script});
        ASSERT_TRUE(app.waitForFinished(60000)) << app.readAll().toStdString();
        EXPECT_EQ(app.exitCode(), 0);
        std::FILE* in = std::fopen(arrived.constData(), "rb");
        ASSERT_TRUE(in) << app.readAll().toStdString();
        char content[64] = {};
        std::fread(content, 1, sizeof content - 1, in);
        std::fclose(in);
        EXPECT_STREQ(content, row.given);
        std::remove(arrived.constData());
    }
    SetSwitch("QuitWhenDone", false);
}

TEST_F(DropletProcess, ASecondLaunchHandsItsFilesToTheRunningCopy) {
    const QString src = MakeTempDir("src");
    WriteFile(src + "/first.txt", "1");
    WriteFile(src + "/second.txt", "22");
    QProcess* primary = Launch({src + "/first.txt"});
    ASSERT_TRUE(WaitForFile("first.txt", 1)) << primary->readAll().toStdString();
    QProcess* again = Launch({src + "/second.txt"});
    ASSERT_TRUE(again->waitForFinished(20000));
    EXPECT_EQ(again->exitCode(), 0);
    EXPECT_EQ(primary->state(), QProcess::Running);
    EXPECT_TRUE(WaitForFile("second.txt", 2)) << primary->readAll().toStdString();
    ::kill(pid_t(primary->processId()), SIGTERM);
    ASSERT_TRUE(primary->waitForFinished(20000));
    EXPECT_EQ(primary->exitCode(), 0);
}

TEST_F(DropletProcess, QuitDuringAnUploadFinishesThatFileFirst) {
    const QString src = MakeTempDir("src");
    const QByteArray big(128 * 1024 * 1024, 'q');
    WriteFile(src + "/one.bin", big);
    WriteFile(src + "/two.bin", big);
    QProcess* app = Launch({src + "/one.bin", src + "/two.bin"});
    // Quit as soon as the first file is on its way.
    ASSERT_TRUE(WaitUntil([&] { return QFileInfo::exists(m_server->home() + "/one.bin"); }));
    ::kill(pid_t(app->processId()), SIGTERM);
    ASSERT_TRUE(app->waitForFinished(60000));
    EXPECT_EQ(app->exitCode(), 0);
    EXPECT_EQ(QFileInfo(m_server->home() + "/one.bin").size(), big.size());
    EXPECT_FALSE(QFileInfo::exists(m_server->home() + "/two.bin"));
}

TEST_F(DropletProcess, SignalsEndAHangingUploadWithinSeconds) {
    struct Case {
        std::vector<int> sent;
        int withinMs;
    };
    // A second signal ends the program at once; one signal after a grace
    // period, well before the transfer's own stall time-out.
    const Case cases[] = {{{SIGTERM, SIGINT}, 5000}, {{SIGTERM}, 20000}};
    const QString src = MakeTempDir("src");
    WriteFile(src + "/stuck.bin", QByteArray(32 * 1024 * 1024, 's'));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent.size());
        FaultFtpServer server(QJsonObject{{"stor_stall_after", 65536}});
        ASSERT_TRUE(server.isRunning());
        m_bundle = MakeTempDir("copies") + "/Loftwise.app";
        ASSERT_EQ(RunProcess("cp", {"-a", kRealBundle, m_bundle}).exitCode, 0);
        UseServer(server);
        QProcess* app = Launch({src + "/stuck.bin"});
        ASSERT_TRUE(WaitUntil([&] {
            for (const auto& e : server.events())
                if (e.type == "STALL") return true;
            return false;
        })) << app->readAll().toStdString();
        QElapsedTimer clock;
        clock.start();
        for (int sig : c.sent) {
            // Signals pending together are taken lowest number first.
            if (sig != c.sent.front()) QThread::msleep(300);
            ::kill(pid_t(app->processId()), sig);
        }
        ASSERT_TRUE(app->waitForFinished(c.withinMs)) << clock.elapsed();
        EXPECT_EQ(app->exitStatus(), QProcess::CrashExit);
        EXPECT_EQ(app->exitCode(), c.sent.back());
    }
}

} // namespace
