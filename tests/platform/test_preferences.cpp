// The preferences store against real files in the run's private Preferences
// folder, including other processes writing the same domain.
#include "platform/Preferences.h"

#include "platform/Bundle.h"
#include "tests/platform/LibplistForTests.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using testing_support::kWaitCeilingMs;
using testing_support::ReadFile;
using testing_support::WaitUntil;
using testing_support::WriteFile;

namespace {

QString PreferencesFolder() {
    return QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Preferences";
}

mode_t ModeOf(const QString& path) {
    struct stat st {};
    EXPECT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0) << path.toStdString();
    return st.st_mode & 07777;
}

QDateTime Utc(int y, int mo, int d, int h, int mi, int s) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::UTC);
}

std::optional<int64_t> IntegerValue(const QString& key, const QString& domain) {
    auto v = CFPreferencesCopyAppValue(key, domain);
    if (!v || !v->asInteger()) return std::nullopt;
    return *v->asInteger();
}

QStringList FilesBeside(const QString& path, const QString& pattern) {
    const QFileInfo info(path);
    return QDir(info.absolutePath())
        .entryList({info.fileName() + pattern}, QDir::Files | QDir::Hidden);
}

// A domain of its own for each test, starting from nothing on disk or in memory.
class Preferences : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_domain = QStringLiteral("com.brisk-alder.test.") + info->name();
        plat::ResetPreferencesCache();
        QFile::remove(Path());
    }
    QString Path() const { return PreferencesFolder() + "/" + m_domain + ".plist"; }

    // Runs this test program's PreferencesChild.Worker with the given mode
    // against this test's domain and Preferences folder.
    std::unique_ptr<QProcess> StartChild(const QStringList& settings) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LOFTWISE_PREFS_CHILD_CONFIG",
                   QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")));
        env.insert("LOFTWISE_PREFS_CHILD_DOMAIN", m_domain);
        env.insert("LOFTWISE_PREFS_CHILD_PATH", Path());
        for (const QString& s : settings)
            env.insert("LOFTWISE_PREFS_CHILD_" + s.section('=', 0, 0), s.section('=', 1));
        p->setProcessEnvironment(env);
        p->start(QCoreApplication::applicationFilePath(),
                 {"--gtest_filter=PreferencesChild.Worker"});
        EXPECT_TRUE(p->waitForStarted(10000));
        return p;
    }
    static void ExpectChildPassed(QProcess& p) {
        ASSERT_TRUE(p.waitForFinished(120000));
        const QByteArray out = p.readAllStandardOutput();
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 0) << out.constData() << p.readAllStandardError().constData();
        // A filter that matched nothing, or a skip, would also exit with 0.
        EXPECT_TRUE(out.contains("[  PASSED  ] 1 test.")) << out.constData();
        EXPECT_FALSE(out.contains("SKIPPED")) << out.constData();
    }

    QString m_domain;
};

} // namespace

// The other side of the cross-process tests; does nothing in a normal run.
TEST(PreferencesChild, Worker) {
    const QByteArray mode = qgetenv("LOFTWISE_PREFS_CHILD_MODE");
    if (mode.isEmpty()) GTEST_SKIP() << "runs only as a child of the cross-process tests";
    // This program's main gave the child a private home; use the parent's.
    setenv("XDG_CONFIG_HOME", qgetenv("LOFTWISE_PREFS_CHILD_CONFIG").constData(), 1);
    plat::ResetPreferencesCache();
    const QString domain = QString::fromUtf8(qgetenv("LOFTWISE_PREFS_CHILD_DOMAIN"));
    ASSERT_EQ(plat::PreferencesFilePath(domain),
              QString::fromLocal8Bit(qgetenv("LOFTWISE_PREFS_CHILD_PATH")));

    if (mode == "write") {
        const QString prefix = QString::fromUtf8(qgetenv("LOFTWISE_PREFS_CHILD_PREFIX"));
        const int count = qEnvironmentVariableIntValue("LOFTWISE_PREFS_CHILD_COUNT");
        // Start together with the other writer, however long each took to start.
        const QString barrier = QString::fromLocal8Bit(qgetenv("LOFTWISE_PREFS_CHILD_BARRIER"));
        WriteFile(barrier + "/" + prefix, "ready");
        const int parties = qEnvironmentVariableIntValue("LOFTWISE_PREFS_CHILD_PARTIES");
        ASSERT_TRUE(WaitUntil(
            [&] { return QDir(barrier).entryList(QDir::Files).size() >= parties; }, kWaitCeilingMs,
            [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }))
            << "the other writer never started";
        for (int i = 0; i < count; ++i) {
            CFPreferencesSetAppValue(prefix + QString::number(i), PlistValue::integer(i), domain);
            CFPreferencesSetAppValue("shared", PlistValue(prefix), domain);
            ASSERT_TRUE(CFPreferencesAppSynchronize(domain)) << i;
            // A whole array written back, as the wicket list is.
            ASSERT_TRUE(CFPreferencesUpdateAppValue(
                "Log",
                [&](std::optional<PlistValue> log) {
                    PlistArray items = log && log->asArray() ? *log->asArray() : PlistArray{};
                    items.push_back(PlistValue(prefix + QString::number(i)));
                    return std::optional<PlistValue>(items);
                },
                domain))
                << i;
        }
    } else if (mode == "remove") {
        const QString key = QString::fromUtf8(qgetenv("LOFTWISE_PREFS_CHILD_KEY"));
        ASSERT_TRUE(CFPreferencesCopyAppValue(key, domain))
            << "the parent's value should be on disk";
        CFPreferencesSetAppValue(key, std::nullopt, domain);
        ASSERT_TRUE(CFPreferencesAppSynchronize(domain));
    } else {
        FAIL() << "unknown mode " << mode.constData();
    }
}

TEST_F(Preferences, EveryValueKindRoundTripsThroughTheFile) {
    const PlistDictionary values{
        {"String", PlistValue(QString::fromUtf8("Zoë's «Ordner» 日本"))},
        {"On", PlistValue::boolean(true)},
        {"Index", PlistValue::integer(-7)},
        {"Ratio", PlistValue::real(0.1)},
        {"Later", PlistValue::date(Utc(2099, 1, 2, 3, 4, 5))},
        {"AliasData", PlistValue::data(QByteArray("\0\0\x01\xff\0", 5))},
        {"LoginItems",
         PlistValue(PlistArray{PlistValue(PlistDictionary{
             {"Host", PlistValue("127.0.0.1")},
             {"Path", PlistValue(PlistArray{PlistValue("a"), PlistValue(PlistArray{})})},
         })})},
    };
    for (const auto& [key, value] : values)
        CFPreferencesSetAppValue(key, value, m_domain);
    // Staged values read back before they reach the disk.
    EXPECT_EQ(CFPreferencesCopyAppValue("Index", m_domain), PlistValue::integer(-7));
    EXPECT_FALSE(QFile::exists(Path()));

    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_EQ(plat::PreferencesFilePath(m_domain), Path());
    auto onDisk = plat::PlistFromBytes(ReadFile(Path()));
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(*onDisk, PlistValue(values));

    plat::ResetPreferencesCache();
    for (const auto& [key, value] : values) {
        EXPECT_EQ(CFPreferencesCopyAppValue(key, m_domain), value) << key.toStdString();
    }
    EXPECT_FALSE(CFPreferencesCopyAppValue("Missing", m_domain));

    // A value of the wrong type reads as absent through the typed accessors.
    auto s = CFPreferencesCopyAppValue("String", m_domain);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->asBoolean(), nullptr);
    EXPECT_EQ(s->asInteger(), nullptr);
    EXPECT_EQ(s->asDictionary(), nullptr);
    EXPECT_EQ(IntegerValue("On", m_domain), std::nullopt);
    EXPECT_EQ(IntegerValue("Index", m_domain), -7);
}

TEST_F(Preferences, CreatesAPrivateFolderAndReplacesTheFileWhole) {
    ASSERT_TRUE(QDir(PreferencesFolder()).removeRecursively());
    // A reader creates nothing.
    EXPECT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_FALSE(QFileInfo::exists(PreferencesFolder()));

    CFPreferencesSetAppValue("Host", PlistValue("ftp.example.org"), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_EQ(ModeOf(PreferencesFolder()), 0700u);
    EXPECT_EQ(ModeOf(Path()), 0600u);

    // Rewrites keep the mode even when the user had opened the file up.
    ASSERT_EQ(::chmod(QFile::encodeName(Path()).constData(), 0644), 0);
    CFPreferencesSetAppValue("Host", PlistValue("ftp.example.net"), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_EQ(ModeOf(Path()), 0600u);

    // No temporary files stay behind: the file and its lock only.
    QStringList left = QDir(PreferencesFolder()).entryList(QDir::Files | QDir::Hidden);
    left.sort();
    EXPECT_EQ(left, QStringList({m_domain + ".plist", m_domain + ".plist.lock"}));
}

TEST_F(Preferences, ReadsBinaryFilesAndKeepsTheirValuesOnWrite) {
    const PlistValue original(PlistDictionary{{"Count", PlistValue::integer(-3)},
                                              {"Blob", PlistValue::data(QByteArray("\0x\0", 3))},
                                              {"Name", PlistValue(QString::fromUtf8("Ünïcödé"))}});
    const QByteArray xml = *plat::PlistToXml(original);
    const QByteArray bin = libplist_for_tests::XmlToBinary(xml);
    ASSERT_TRUE(bin.startsWith("bplist00"));
    WriteFile(Path(), bin);

    EXPECT_EQ(CFPreferencesCopyAppValue("Count", m_domain), PlistValue::integer(-3));
    EXPECT_EQ(CFPreferencesCopyAppValue("Name", m_domain),
              PlistValue(QString::fromUtf8("Ünïcödé")));

    CFPreferencesSetAppValue("Added", PlistValue::boolean(true), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    const QByteArray rewritten = ReadFile(Path());
    EXPECT_TRUE(rewritten.startsWith("<?xml"));
    PlistDictionary expected = *original.asDictionary();
    expected["Added"] = PlistValue::boolean(true);
    EXPECT_EQ(plat::PlistFromBytes(rewritten), PlistValue(expected));
}

TEST_F(Preferences, RemovedKeysAreAbsentForEveryLaterReader) {
    CFPreferencesSetAppValue("Keep", PlistValue("k"), m_domain);
    CFPreferencesSetAppValue("Drop", PlistValue("d"), m_domain);
    CFPreferencesSetAppValue("ChildDrops", PlistValue("c"), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));

    CFPreferencesSetAppValue("Drop", std::nullopt, m_domain);
    EXPECT_FALSE(CFPreferencesCopyAppValue("Drop", m_domain)) << "a staged removal reads as absent";
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_FALSE(CFPreferencesCopyAppValue("Drop", m_domain));
    plat::ResetPreferencesCache();
    EXPECT_FALSE(CFPreferencesCopyAppValue("Drop", m_domain));
    EXPECT_TRUE(CFPreferencesCopyAppValue("Keep", m_domain));

    // Another process removes a key this one has cached.
    ASSERT_TRUE(CFPreferencesCopyAppValue("ChildDrops", m_domain));
    auto child = StartChild({"MODE=remove", "KEY=ChildDrops"});
    ExpectChildPassed(*child);
    EXPECT_TRUE(CFPreferencesCopyAppValue("ChildDrops", m_domain))
        << "cached until the next synchronise";
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_FALSE(CFPreferencesCopyAppValue("ChildDrops", m_domain));
    EXPECT_EQ(CFPreferencesCopyAppValue("Keep", m_domain), PlistValue("k"));

    // Removing every key leaves an empty domain, not the old file.
    CFPreferencesSetAppValue("Keep", std::nullopt, m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_EQ(plat::PlistFromBytes(ReadFile(Path())), PlistValue(PlistDictionary{}));
}

TEST_F(Preferences, AFileReplacedOnDiskIsWhatTheNextSynchroniseReturns) {
    CFPreferencesSetAppValue("ShowHelp", PlistValue::boolean(false), m_domain);
    CFPreferencesSetAppValue("ReplacementPattern", PlistValue("<y>"), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));

    // As a revert does: the old bytes written in place over the file.
    WriteFile(Path(), *plat::PlistToXml(
                          PlistValue(PlistDictionary{{"ShowHelp", PlistValue::boolean(true)},
                                                     {"LastTabIndex", PlistValue::integer(2)}})));
    EXPECT_EQ(CFPreferencesCopyAppValue("ShowHelp", m_domain), PlistValue::boolean(false))
        << "reads come from the last synchronise";

    // A change staged meanwhile merges with the file on disk, not with the cache.
    CFPreferencesSetAppValue("ShowFavicon", PlistValue::boolean(true), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_EQ(CFPreferencesCopyAppValue("ShowHelp", m_domain), PlistValue::boolean(true));
    EXPECT_EQ(CFPreferencesCopyAppValue("LastTabIndex", m_domain), PlistValue::integer(2));
    EXPECT_FALSE(CFPreferencesCopyAppValue("ReplacementPattern", m_domain));
    plat::ResetPreferencesCache();
    EXPECT_EQ(CFPreferencesCopyAppValue("ShowFavicon", m_domain), PlistValue::boolean(true));
    EXPECT_FALSE(CFPreferencesCopyAppValue("ReplacementPattern", m_domain));

    // The same without anything staged: a reader's synchronise takes the file up.
    WriteFile(Path(), *plat::PlistToXml(PlistValue(PlistDictionary{{"Only", PlistValue("this")}})));
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_FALSE(CFPreferencesCopyAppValue("ShowFavicon", m_domain));
    EXPECT_EQ(CFPreferencesCopyAppValue("Only", m_domain), PlistValue("this"));
}

TEST_F(Preferences, TwoProcessesWritingAtOnceLoseNoKey) {
    constexpr int kCount = 60;
    CFPreferencesSetAppValue("Parent", PlistValue("before"), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));

    const QString barrier = "BARRIER=" + testing_support::MakeTempDir("barrier");
    const QString count = QStringLiteral("COUNT=%1").arg(kCount);
    auto a = StartChild({"MODE=write", "PREFIX=A", count, barrier, "PARTIES=2"});
    auto b = StartChild({"MODE=write", "PREFIX=B", count, barrier, "PARTIES=2"});
    ExpectChildPassed(*a);
    ExpectChildPassed(*b);

    plat::ResetPreferencesCache();
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(IntegerValue("A" + QString::number(i), m_domain), i) << "A" << i;
        EXPECT_EQ(IntegerValue("B" + QString::number(i), m_domain), i) << "B" << i;
    }
    EXPECT_EQ(CFPreferencesCopyAppValue("Parent", m_domain), PlistValue("before"));
    auto log = CFPreferencesCopyAppValue("Log", m_domain);
    ASSERT_TRUE(log && log->asArray());
    QStringList appended;
    for (const PlistValue& item : *log->asArray())
        appended << (item.asString() ? *item.asString() : QString());
    EXPECT_EQ(appended.size(), 2 * kCount) << appended.join(' ').toStdString();
    for (int i = 0; i < kCount; ++i) {
        EXPECT_TRUE(appended.contains("A" + QString::number(i))) << "A" << i;
        EXPECT_TRUE(appended.contains("B" + QString::number(i))) << "B" << i;
    }
    auto shared = CFPreferencesCopyAppValue("shared", m_domain);
    ASSERT_TRUE(shared && shared->asString());
    EXPECT_TRUE(*shared->asString() == "A" || *shared->asString() == "B");
}

TEST_F(Preferences, ThreadsOfOneProcessShareTheStoreSafely) {
    constexpr int kThreads = 4, kCount = 25;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCount; ++i) {
                const QString key = QStringLiteral("T%1-%2").arg(t).arg(i);
                CFPreferencesSetAppValue(key, PlistValue::integer(i), m_domain);
                if (!CFPreferencesAppSynchronize(m_domain)) ++failures;
                if (IntegerValue(key, m_domain) != i) ++failures;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    plat::ResetPreferencesCache();
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kCount; ++i)
            EXPECT_EQ(IntegerValue(QStringLiteral("T%1-%2").arg(t).arg(i), m_domain), i);
}

TEST_F(Preferences, ACorruptFileIsKeptAsideAndNeverOverwritten) {
    const QByteArray garbage("<?xml version=\"1.0\"?><plist><dict><key>Host</key><string>half");
    WriteFile(Path(), garbage);

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(CFPreferencesCopyAppValue("Host", m_domain));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(QFile::encodeName(Path()).toStdString()), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;

    QStringList kept = FilesBeside(Path(), ".corrupt-*");
    ASSERT_EQ(kept.size(), 1);
    const QString keptPath = PreferencesFolder() + "/" + kept.first();
    EXPECT_EQ(ReadFile(keptPath), garbage);
    EXPECT_FALSE(QFile::exists(Path()));

    CFPreferencesSetAppValue("Host", PlistValue("h"), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_EQ(ReadFile(keptPath), garbage);
    EXPECT_EQ(plat::PlistFromBytes(ReadFile(Path())),
              PlistValue(PlistDictionary{{"Host", PlistValue("h")}}));

    // Found only at the writer's synchronise, and a property list whose top is
    // no dictionary: kept too, under a second name, before the new file is written.
    const QByteArray notADomain = *plat::PlistToXml(PlistValue(PlistArray{PlistValue("x")}));
    WriteFile(Path(), notADomain);
    CFPreferencesSetAppValue("User", PlistValue("u"), m_domain);
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    ::testing::internal::GetCapturedStderr();
    kept = FilesBeside(Path(), ".corrupt-*");
    ASSERT_EQ(kept.size(), 2);
    QList<QByteArray> keptBytes;
    for (const QString& k : kept)
        keptBytes << ReadFile(PreferencesFolder() + "/" + k);
    EXPECT_TRUE(keptBytes.contains(garbage));
    EXPECT_TRUE(keptBytes.contains(notADomain));
    EXPECT_EQ(plat::PlistFromBytes(ReadFile(Path())),
              PlistValue(PlistDictionary{{"User", PlistValue("u")}}))
        << "the domain starts empty after a corrupt file";
}

TEST_F(Preferences, AFailedSynchroniseKeepsItsChanges) {
    CFPreferencesSetAppValue("A", PlistValue::integer(1), m_domain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));

    // Something unreadable where the file belongs: it is neither read as
    // empty nor overwritten.
    ASSERT_TRUE(QFile::remove(Path()));
    ASSERT_TRUE(QDir().mkdir(Path()));
    EXPECT_FALSE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_EQ(IntegerValue("A", m_domain), 1) << "a reader keeps what it had";
    CFPreferencesSetAppValue("B", PlistValue::integer(2), m_domain);
    EXPECT_FALSE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_TRUE(QFileInfo(Path()).isDir());
    EXPECT_EQ(IntegerValue("B", m_domain), 2) << "the staged value still reads back";

    ASSERT_TRUE(QDir().rmdir(Path()));
    ASSERT_TRUE(CFPreferencesAppSynchronize(m_domain));
    plat::ResetPreferencesCache();
    EXPECT_EQ(IntegerValue("B", m_domain), 2);
    EXPECT_FALSE(CFPreferencesCopyAppValue("A", m_domain));

    // A string no property list can hold is refused, set or updated; the file
    // stays one that parses, and a set value is dropped, not retried forever.
    const QByteArray before = ReadFile(Path());
    const PlistValue escape("user\x1b");
    ::testing::internal::CaptureStderr();
    CFPreferencesSetAppValue("User", escape, m_domain);
    EXPECT_FALSE(CFPreferencesAppSynchronize(m_domain));
    EXPECT_FALSE(CFPreferencesUpdateAppValue(
        "Items", [&](auto) { return std::optional<PlistValue>(PlistArray{escape}); }, m_domain));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ReadFile(Path()), before);
    EXPECT_FALSE(CFPreferencesCopyAppValue("User", m_domain));
    EXPECT_FALSE(CFPreferencesCopyAppValue("Items", m_domain));
    CFPreferencesSetAppValue("C", PlistValue::integer(3), m_domain);
    EXPECT_TRUE(CFPreferencesAppSynchronize(m_domain));
}

TEST_F(Preferences, DomainNamesThatAreNoFileNameAreRefused) {
    for (const QString& bad :
         {QString(), QStringLiteral(".."), QStringLiteral("../escape"), QStringLiteral("a/b")}) {
        EXPECT_TRUE(plat::PreferencesFilePath(bad).isEmpty()) << bad.toStdString();
        CFPreferencesSetAppValue("K", PlistValue("v"), bad);
        EXPECT_FALSE(CFPreferencesCopyAppValue("K", bad));
        EXPECT_FALSE(CFPreferencesAppSynchronize(bad));
    }
    EXPECT_FALSE(
        QFile::exists(QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/escape.plist"));
}

TEST_F(Preferences, TheCurrentApplicationIsTheMainBundlesIdentifier) {
    // This test program lives in no bundle: its file name names the domain.
    const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    EXPECT_EQ(plat::PreferencesFilePath(kCFPreferencesCurrentApplication),
              PreferencesFolder() + "/" + exe + ".plist");

    const QString bundle = testing_support::MakeTempDir("bundle") + "/Probe.app";
    WriteFile(bundle + "/Contents/Info.plist",
              *plat::PlistToXml(PlistValue(
                  PlistDictionary{{"CFBundleIdentifier", PlistValue("com.example.probe")},
                                  {"CFBundleExecutable", PlistValue("Probe")}})));
    plat::SetMainBundlePath(bundle);
    EXPECT_EQ(plat::PreferencesFilePath(kCFPreferencesCurrentApplication),
              PreferencesFolder() + "/com.example.probe.plist");
    CFPreferencesSetAppValue("Folder", PlistValue("/Clients/"), kCFPreferencesCurrentApplication);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication));
    EXPECT_EQ(CFPreferencesCopyAppValue("Folder", "com.example.probe"), PlistValue("/Clients/"));
}
