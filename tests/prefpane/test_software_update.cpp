// The pane's software update against a web site of the test's own: the real
// pane bundle (a copy whose version is 2.0.4) in the settings host, its
// buttons clicked, what the pane shows and logs, and what lands on the
// Desktop.
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include "platform/Preferences.h"
#include "platform/PropertyList.h"
#include "platform/hosts/settings/SettingsHost.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/PreferencePane.h"

#include <QDir>
#include <QJsonArray>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace testing_support;

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}

namespace {

const QString kPaneID = QStringLiteral("com.brisk-alder.LoftwiseCM");
const QString kChecking = QStringLiteral("Checking for a software update...");
const QString kUpdate = QStringLiteral("An update is available for Loftwise.");
const QString kUpToDate = QStringLiteral("Your software is up to date.");
const QString kUnreadable = QStringLiteral("The current version information could not be read.");
const QString kImagePath = QStringLiteral("/Loftwise/Loftwise.deb");
const QString kVersionsPath = QStringLiteral("/ProductVersions.plist");

// A copy of the pane whose own version is 2.0.4 and that names no web site
// of its own, made once per run.
const QString& PaneCopy() {
    static const QString path = [] {
        const QString copy = MakeTempDir("pane") + "/LoftwisePrefPane.prefPane";
        RunProcess("cp", {"-a", LOFTWISE_BUNDLES_DIR "/LoftwisePrefPane.prefPane", copy});
        const QString plist = copy + "/Contents/Info.plist";
        std::optional<PlistValue> info = plat::PlistFromBytes(ReadFile(plist));
        PlistDictionary* d = info ? info->asDictionary() : nullptr;
        if (!d) return QString();
        (*d)["CFBundleShortVersionString"] = "2.0.4";
        d->erase("LoftwiseWebSite");
        WriteFile(plist, *plat::PlistToXml(*info));
        return copy;
    }();
    return path;
}

// A version document: {"Loftwise": {product...}}.
QString VersionDocument(const PlistDictionary& product) {
    return QString::fromUtf8(*plat::PlistToXml(PlistDictionary{{"Loftwise", product}}));
}

class SoftwareUpdate : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.isRunning()) << m_server.startError().toStdString();
        ASSERT_FALSE(PaneCopy().isEmpty());
        m_home = MakeTempDir("home");
        m_env.emplace_back("HOME", m_home.toLocal8Bit().constData());
        m_env.emplace_back("XDG_CONFIG_HOME", (m_home + "/.config").toLocal8Bit().constData());
        m_env.emplace_back("LOFTWISE_WEB_SITE", m_server.url().toLocal8Bit().constData());
        m_env.emplace_back("LOFTWISE_URL_TIMEOUT_MS", nullptr);
        plat::ResetPreferencesCache();
        plat::SetBeepObserver([this](short) { ++m_beeps; });
        Open();
    }
    void TearDown() override {
        m_host.reset();
        plat::SetBeepObserver({});
        plat::ResetPreferencesCache();
    }

    void Open() {
        m_host = std::make_unique<SettingsHost>();
        m_host->addPanePath(PaneCopy());
        m_host->discoverPanes();
        ASSERT_TRUE(m_host->selectPane(kPaneID));
        m_view = m_host->currentPane()->mainView();
    }
    // Leaves the pane and comes back to it (the same pane object).
    void Reselect() {
        m_host->showAll();
        ASSERT_TRUE(m_host->selectPane(kPaneID));
    }

    template <typename T> T* Control(const char* name) {
        T* control = plat::Outlet<T>(m_view, name);
        EXPECT_TRUE(control) << name;
        return control;
    }
    QString Field(const char* name) { return Control<QLabel>(name)->text(); }
    QProgressBar* Indicator() { return Control<QProgressBar>("m_downloadProgressIndicator"); }

    // Clicks Check Now and waits until the check has ended.
    QString Check() {
        Control<QPushButton>("m_checkVersionButton")->click();
        EXPECT_TRUE(SpinUntil([this] { return Field("m_softwareUpdateField") != kChecking; }));
        EXPECT_TRUE(Control<QProgressBar>("m_progressIndicator")->isHidden());
        return Field("m_softwareUpdateField");
    }

    // Clicks Download and runs until a log line starts with one of ends;
    // the lines the pane logged meanwhile.
    QStringList Download(const QStringList& ends = {"The download has completed",
                                                    "Download failed!"}) {
        QStringList lines;
        const QByteArray err = CaptureStderr([&] {
            Control<QPushButton>("m_softwareDownloadButton")->click();
            SpinUntil([&] {
                std::fflush(stderr);
                return std::any_of(ends.begin(), ends.end(), [&](const QString& end) {
                    return LoggedSoFar().contains("] " + end);
                });
            });
        });
        for (const QString& line : QString::fromUtf8(err).split('\n', Qt::SkipEmptyParts))
            if (line.contains("] ")) lines << line.section("] ", 1);
        return lines;
    }
    // What standard error holds so far while it is captured.
    static QString LoggedSoFar() {
        char path[64];
        std::snprintf(path, sizeof path, "/proc/self/fd/%d", STDERR_FILENO);
        return QString::fromUtf8(ReadFile(QFile::symLinkTarget(path)));
    }

    // What the pane says once a download has finished.
    static QString Saved(const QString& path, const QString& quoted = {}) {
        return "The update was saved as " + path + ". To install it, run: sudo apt install " +
               (quoted.isEmpty() ? path : quoted);
    }

    QStringList DesktopFiles(const QString& folder = {}) {
        return QDir(folder.isEmpty() ? m_home + "/Desktop" : folder)
            .entryList(QDir::Files | QDir::Hidden, QDir::Name);
    }

    HttpServer m_server;
    QString m_home;
    std::list<ScopedEnv> m_env;
    std::unique_ptr<SettingsHost> m_host;
    QWidget* m_view = nullptr;
    int m_beeps = 0;
};

TEST_F(SoftwareUpdate, ComparesOurVersionWithTheDocument) {
    EXPECT_EQ(Field("m_ourVersionField"), "2.0.4");
    const struct {
        const char* name;
        QString document; // empty: no route, so 404
        QString shown;
        QString newest; // m_currentVersionField afterwards
    } rows[] = {
        {"newer",
         VersionDocument(
             {{"CurrentVersion", PlistValue::integer(205)}, {"CurrentVersionString", "2.0.5"}}),
         kUpdate, "2.0.5"},
        {"same",
         VersionDocument(
             {{"CurrentVersion", PlistValue::integer(204)}, {"CurrentVersionString", "2.0.4"}}),
         kUpToDate, "2.0.4"},
        {"older",
         VersionDocument({{"CurrentVersion", PlistValue::integer(203)},
                          {"CurrentVersionString", "2.0.3"},
                          {"ReleaseNotes", "ignored"}}),
         kUpToDate, "2.0.3"},
        {"whole real",
         VersionDocument(
             {{"CurrentVersion", PlistValue::real(300)}, {"CurrentVersionString", "3.0.0"}}),
         kUpdate, "3.0.0"},
        {"number as text",
         VersionDocument({{"CurrentVersion", "205"}, {"CurrentVersionString", "2.0.5"}}),
         kUnreadable, "3.0.0"},
        {"past 32 bits",
         VersionDocument({{"CurrentVersion", PlistValue::integer(4294967501)},
                          {"CurrentVersionString", "2.0.5"}}),
         kUnreadable, "3.0.0"},
        {"fractional",
         VersionDocument(
             {{"CurrentVersion", PlistValue::real(205.5)}, {"CurrentVersionString", "2.0.5"}}),
         kUnreadable, "3.0.0"},
        {"no number", VersionDocument({{"CurrentVersionString", "2.0.5"}}), kUnreadable, "3.0.0"},
        {"no text", VersionDocument({{"CurrentVersion", PlistValue::integer(205)}}), kUnreadable,
         "3.0.0"},
        {"product not a dictionary",
         QString::fromUtf8(*plat::PlistToXml(PlistDictionary{{"Loftwise", "2.0.5"}})), kUnreadable,
         "3.0.0"},
        {"root not a dictionary",
         QString::fromUtf8(*plat::PlistToXml(PlistArray{PlistDictionary{}})), kUnreadable, "3.0.0"},
        {"not a property list", "<html>Moved</html>", kUnreadable, "3.0.0"},
        {"404", QString(), kUnreadable, "3.0.0"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.document.isEmpty())
            m_server.setRoutes({});
        else
            m_server.setRoute(kVersionsPath, QJsonObject{{"body", row.document}});
        EXPECT_EQ(Check(), row.shown);
        EXPECT_EQ(Field("m_currentVersionField"), row.newest);
    }
    EXPECT_EQ(m_server.requests().size(), qsizetype(std::size(rows)));
    EXPECT_EQ(m_server.requests().filter("GET " + kVersionsPath).size(),
              qsizetype(std::size(rows)));
}

TEST_F(SoftwareUpdate, ConnectionFailuresNameTheErrorAndTheURL) {
    {
        ScopedEnv refused("LOFTWISE_WEB_SITE",
                          QString("http://127.0.0.1:%1").arg(UnusedPort()).toUtf8().constData());
        EXPECT_EQ(Check(), "Connection failed with error: Could not connect to the server. " +
                               qEnvironmentVariable("LOFTWISE_WEB_SITE") + kVersionsPath);
    }
    {
        // Accepted and never answered: the time-out, shortened here.
        m_server.setRoute(kVersionsPath, QJsonObject{{"stall", true}});
        ScopedEnv shortTimeout("LOFTWISE_URL_TIMEOUT_MS", "300");
        EXPECT_EQ(Check(), "Connection failed with error: The request timed out. " +
                               m_server.url(kVersionsPath));
    }
    {
        ScopedEnv noSite("LOFTWISE_WEB_SITE", nullptr);
        EXPECT_EQ(Check(), "Loftwise could not check for a software update at this time.");
    }
}

TEST_F(SoftwareUpdate, DownloadsTheImageToTheDesktopWithProgress) {
    const struct {
        const char* name;
        bool length;
        QString firstProgress, lastProgress;
        int indicator;
    } rows[] = {
        {"with a length", true, "Percent complete - ", "Percent complete - 100.000000", 100},
        {"without a length", false, "Bytes received - ", "Bytes received - 262144", 0},
    };
    QStringList expected;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        m_server.setRoute(kImagePath, QJsonObject{{"body_size", 262144},
                                                  {"chunk", 65536},
                                                  {"pause_ms", 50},
                                                  {"length", row.length}});
        const QStringList log = Download();
        // The second download of the same file takes a free name beside the first.
        const QString name = expected.isEmpty() ? "Loftwise.deb" : "Loftwise-1.deb";
        ASSERT_GE(log.size(), 4) << log.join('\n').toStdString();
        EXPECT_EQ(log.first(), "Final file destination: " + m_home + "/Desktop/" + name);
        // The pieces are as the network delivers them.
        EXPECT_TRUE(log[1].startsWith(row.firstProgress)) << log[1].toStdString();
        EXPECT_EQ(log[log.size() - 2], row.lastProgress);
        EXPECT_EQ(log.last(), "The download has completed");
        EXPECT_EQ(Indicator()->value(), row.indicator);
        EXPECT_FALSE(Indicator()->isHidden());
        expected << name;
        expected.sort();
        EXPECT_EQ(DesktopFiles(), expected);
        EXPECT_EQ(ReadFile(m_home + "/Desktop/" + name).size(), 262144);
        EXPECT_EQ(Field("m_softwareUpdateField"), Saved(m_home + "/Desktop/" + name));
    }
    EXPECT_EQ(m_beeps, 0);
}

TEST_F(SoftwareUpdate, AFailedDownloadLeavesNothingUnderTheName) {
    const struct {
        const char* name;
        QJsonObject route; // empty: 404
    } rows[] = {
        {"cut off", QJsonObject{{"body_size", 262144}, {"cut_after", 100000}}},
        {"404", QJsonObject{}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.route.isEmpty())
            m_server.setRoutes({});
        else
            m_server.setRoute(kImagePath, row.route);
        const QStringList log = Download();
        ASSERT_FALSE(log.isEmpty());
        EXPECT_TRUE(log.last().startsWith("Download failed! Error - ")) << log.last().toStdString();
        EXPECT_TRUE(log.last().endsWith(m_server.url(kImagePath))) << log.last().toStdString();
        EXPECT_EQ(DesktopFiles(), QStringList());
    }
    // And one that cannot start at all.
    ScopedEnv noSite("LOFTWISE_WEB_SITE", nullptr);
    EXPECT_EQ(Download({"The download could not start."}),
              QStringList{"The download could not start."});
    EXPECT_EQ(m_beeps, 1);
}

TEST_F(SoftwareUpdate, TheDesktopIsTheUsersXdgDesktopAndTheServerNamesTheFile) {
    QDir().mkpath(m_home + "/.config");
    WriteFile(m_home + "/.config/user-dirs.dirs", "XDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    m_server.setRoute(kImagePath,
                      QJsonObject{{"body_size", 1000},
                                  {"headers", QJsonObject{{"Content-Disposition",
                                                           "attachment; filename=\"Loftwise "
                                                           "2.0.5.deb\""}}}});
    const QStringList log = Download();
    EXPECT_EQ(log.value(0),
              "Final file destination: " + m_home + "/Schreibtisch/Loftwise 2.0.5.deb");
    EXPECT_EQ(DesktopFiles(m_home + "/Schreibtisch"), QStringList{"Loftwise 2.0.5.deb"});
    // The command to install it holds the path quoted.
    const QString path = m_home + "/Schreibtisch/Loftwise 2.0.5.deb";
    EXPECT_EQ(Field("m_softwareUpdateField"), Saved(path, "'" + path + "'"));
}

TEST_F(SoftwareUpdate, LeavingThePaneStopsBothAndTheyCanStartAgain) {
    m_server.setRoutes({{kVersionsPath, QJsonObject{{"stall", true}}},
                        {kImagePath, QJsonObject{{"body_size", 262144}, {"stall_after", 1000}}}});
    const QByteArray err = CaptureStderr([&] {
        Control<QPushButton>("m_checkVersionButton")->click();
        Control<QPushButton>("m_softwareDownloadButton")->click();
        // A second click while they run changes nothing.
        Control<QPushButton>("m_checkVersionButton")->click();
        Control<QPushButton>("m_softwareDownloadButton")->click();
        ASSERT_TRUE(SpinUntil([&] {
            std::fflush(stderr);
            return m_server.requests().size() == 2 &&
                   LoggedSoFar().contains("Final file destination: ");
        }));
        Reselect();
        SpinFor(300);
    });
    EXPECT_EQ(QString::fromUtf8(err).count("Final file destination: "), 1) << err.constData();
    EXPECT_FALSE(err.contains("Download failed!")) << err.constData();
    EXPECT_EQ(DesktopFiles(), QStringList());
    EXPECT_EQ(Field("m_softwareUpdateField"), "");
    EXPECT_TRUE(Control<QProgressBar>("m_progressIndicator")->isHidden());

    // Both can start again on the pane shown anew.
    m_server.setRoutes(
        {{kVersionsPath,
          QJsonObject{{"body", VersionDocument({{"CurrentVersion", PlistValue::integer(205)},
                                                {"CurrentVersionString", "2.0.5"}})}}},
         {kImagePath, QJsonObject{{"body_size", 1000}}}});
    EXPECT_EQ(Check(), kUpdate);
    EXPECT_EQ(Download().value(0), "Final file destination: " + m_home + "/Desktop/Loftwise.deb");
    EXPECT_EQ(DesktopFiles(), QStringList{"Loftwise.deb"});
}

} // namespace
