// Upload benchmarks against curl on a local proftpd, measured in the same
// run: prints one line per benchmark, "NAME ratio=OURS/THEIRS ours=... theirs=...".
//
//   upload_bench [upload-1GiB] [upload-500x4KiB] [cpu-per-GiB] [drop-500x4KiB]
//                [menu-build] [cm-upload-500x4KiB]
//
// Our side is the droplet's own engine (its upload from the main thread with
// a worker per file), for drop-500x4KiB the whole droplet program, and for
// the last two the context-menu host with the plug-in, as a file manager
// starts it.
#include "app/ConnectionSettings.h"
#include "app/Shell.h"
#include "engine/FTPUpload.h"
#include "platform/Bundle.h"
#include "platform/Preferences.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace testing_support;

namespace {

struct Measure {
    double seconds = 0, cpu = 0;
    long rssGrowthKiB = 0;
};

double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long RssKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 12, '\n');
    }
    return 0;
}

void MakeFile(const QString& path, qint64 size) {
    QFile f(path);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    QByteArray block(1 << 20, Qt::Uninitialized);
    for (qsizetype i = 0; i < block.size(); ++i)
        block[i] = char((i * 131 + i / 4093) & 0xFF);
    for (qint64 left = size; left > 0; left -= block.size())
        f.write(block.constData(), std::min<qint64>(left, block.size()));
}

// Curl as one child process; wall time and its CPU time.
Measure RunCurl(const QStringList& args) {
    const double before = CpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer clock;
    clock.start();
    QProcess curl;
    curl.start("curl", QStringList{"-s", "-S", "--ftp-pasv"} + args);
    curl.waitForFinished(-1);
    Measure m;
    m.seconds = double(clock.nsecsElapsed()) / 1e9;
    m.cpu = CpuSeconds(RUSAGE_CHILDREN) - before;
    if (curl.exitCode() != 0)
        std::fprintf(stderr, "curl failed: %s\n", curl.readAllStandardError().constData());
    return m;
}

class Bench {
public:
    Bench() : m_server(StartProftpd()) {
        if (!m_server->isRunning()) {
            std::fprintf(stderr, "proftpd did not start: %s\n", qPrintable(m_server->startError()));
            std::exit(1);
        }
        QDir().mkpath(m_server->home() + "/ours");
        QDir().mkpath(m_server->home() + "/theirs");
        plat::SetMainBundlePath(QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app"));
        m_host.setText(QStringLiteral("127.0.0.1:%1").arg(m_server->port()));
        m_user.setText(m_server->user());
        m_password.setText(m_server->password());
        m_folder.setText("/ours");
        gHostEditText = &m_host;
        gUsernameEditText = &m_user;
        gPasswordEditText = &m_password;
        gFolderEditText = &m_folder;
        gMessage = &m_message;
    }

    Measure Ours(const QStringList& files) {
        const long rssBefore = RssKiB();
        long rssPeak = rssBefore;
        std::atomic<bool> done{false};
        std::thread sampler([&] {
            while (!done) {
                rssPeak = std::max(rssPeak, RssKiB());
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        const double cpu = CpuSeconds(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        for (const QString& f : files) {
            FSRef ref;
            FSPathMakeRef(f.toUtf8().constData(), &ref, nullptr);
            if (FTPUpload(&ref)) std::fprintf(stderr, "upload failed: %s\n", gTheError.c_str());
        }
        Measure m;
        m.seconds = double(clock.nsecsElapsed()) / 1e9;
        m.cpu = CpuSeconds(RUSAGE_SELF) - cpu;
        done = true;
        sampler.join();
        m.rssGrowthKiB = rssPeak - rssBefore;
        return m;
    }

    QString Url(const QString& folder) const {
        return QStringLiteral("ftp://%1:%2@127.0.0.1:%3/%4/")
            .arg(m_server->user(), m_server->password())
            .arg(m_server->port())
            .arg(folder);
    }
    FtpServer& server() { return *m_server; }

private:
    std::unique_ptr<FtpServer> m_server;
    QLineEdit m_host, m_user, m_password, m_folder;
    QLabel m_message;
};

void Report(const char* name, double ours, double theirs, const char* unit,
            const QString& extra = {}) {
    std::printf("%s ratio=%.3f ours=%.3f%s theirs=%.3f%s%s\n", name, ours / theirs, ours, unit,
                theirs, unit, extra.isEmpty() ? "" : qPrintable(" " + extra));
    std::fflush(stdout);
}

const QString kHost = QStringLiteral(LOFTWISE_BINARY_DIR "/bin/loftwise-context-menu");
const QString kPlugIn = QStringLiteral(LOFTWISE_BUNDLES_DIR "/LoftwiseCM.plugin");

// The plug-in's settings: a tree of groups of items and the switches.
void WriteMenuSettings(const PlistArray& entries, bool listing) {
    const QString domain = QStringLiteral("com.brisk-alder.LoftwiseCM");
    PlistDictionary root{{"Group", PlistValue(QStringLiteral("OVRoot"))},
                         {"Entries", PlistValue(entries)}};
    CFPreferencesSetAppValue("MenuItems", PlistValue(root), domain);
    CFPreferencesSetAppValue("OpenConsoleLog", PlistValue::boolean(false), domain);
    CFPreferencesSetAppValue("DisplayDirectoryListing", PlistValue::boolean(listing), domain);
    CFPreferencesAppSynchronize(domain);
}

// Wall time of one program run to its end, in seconds.
double TimeRun(const QString& program, const QStringList& args) {
    QElapsedTimer clock;
    clock.start();
    const ProcessResult r = RunProcess(program, args, 600000);
    if (r.exitCode != 0)
        std::fprintf(stderr, "%s failed (%d): %s\n", qPrintable(program), r.exitCode,
                     r.err.constData());
    return double(clock.nsecsElapsed()) / 1e9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QTemporaryDir root(QDir::tempPath() + "/loftwise-bench-XXXXXX");
    qputenv("LOFTWISE_TEST_ROOT", root.path().toLocal8Bit());
    // Settings and logs of the programs started here stay in the run's folder.
    for (const char* name : {"HOME", "XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_DATA_HOME"}) {
        const QString dir = root.path() + "/" + name;
        QDir().mkpath(dir);
        qputenv(name, dir.toLocal8Bit());
    }
    qputenv("LOFTWISE_OPENER", "/bin/true");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QStringList names = app.arguments().mid(1);
    if (names.isEmpty()) names = {"upload-1GiB", "cpu-per-GiB", "upload-500x4KiB"};

    Bench bench;
    const QString data = MakeTempDir("data");
    if (names.contains("upload-1GiB") || names.contains("cpu-per-GiB")) {
        const QString big = data + "/big.bin";
        MakeFile(big, qint64(1) << 30);
        // One warm-up each, so neither side pays for a cold page cache.
        RunCurl({"-T", big, bench.Url("theirs")});
        const Measure theirs = RunCurl({"-T", big, bench.Url("theirs")});
        const Measure ours = bench.Ours({big});
        if (names.contains("upload-1GiB"))
            Report("upload-1GiB", ours.seconds, theirs.seconds, "s",
                   QStringLiteral("rss_growth=%1KiB").arg(ours.rssGrowthKiB));
        if (names.contains("cpu-per-GiB")) Report("cpu-per-GiB", ours.cpu, theirs.cpu, "s");
        QFile::remove(big);
    }
    if (names.contains("upload-500x4KiB")) {
        QStringList files;
        QDir().mkpath(data + "/small");
        for (int i = 0; i < 500; ++i) {
            files << QStringLiteral("%1/small/f%2.bin").arg(data).arg(i, 3, 10, QChar('0'));
            MakeFile(files.last(), 4096);
        }
        const QString glob = "{" + files.join(",") + "}";
        const Measure theirs = RunCurl({"-T", glob, bench.Url("theirs")});
        const Measure ours = bench.Ours(files);
        Report("upload-500x4KiB", ours.seconds, theirs.seconds, "s");
    }
    if (names.contains("drop-500x4KiB")) {
        // The real program, configured by its resource, given the folder as a
        // file manager would; timed until the last file is on the server.
        const QString folder = data + "/drop";
        QDir().mkpath(folder);
        QStringList files;
        for (int i = 0; i < 500; ++i) {
            files << QStringLiteral("%1/d%2.bin").arg(folder).arg(i, 3, 10, QChar('0'));
            MakeFile(files.last(), 4096);
        }
        const QString copy = MakeTempDir("copy") + "/Loftwise.app";
        RunProcess("cp", {"-a", QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app"), copy});
        WriteFile(copy + "/Contents/Resources/Preferences.txt",
                  QStringLiteral("127.0.0.1:%1\n%2\n%3\n/drop\n")
                      .arg(bench.server().port())
                      .arg(bench.server().user(), bench.server().password())
                      .toUtf8());
        QDir().mkpath(bench.server().home() + "/drop");
        const Measure theirs = RunCurl({"-T", "{" + files.join(",") + "}", bench.Url("theirs")});
        QElapsedTimer clock;
        clock.start();
        QProcess droplet;
        droplet.start(copy + "/Contents/Linux/Loftwise", {folder});
        droplet.waitForStarted();
        // The folder walk sends the files in directory order: wait for all.
        const QString arrived = bench.server().home() + "/drop";
        auto complete = [&] {
            const QFileInfoList found = QDir(arrived).entryInfoList(QDir::Files);
            if (found.size() < 500) return false;
            for (const QFileInfo& f : found)
                if (f.size() != 4096) return false;
            return true;
        };
        while (!complete() && clock.elapsed() < 120000)
            QThread::usleep(2000);
        const double ours = double(clock.nsecsElapsed()) / 1e9;
        droplet.terminate();
        droplet.waitForFinished(10000);
        const qsizetype count = QDir(bench.server().home() + "/drop").entryList(QDir::Files).size();
        Report("drop-500x4KiB", ours, theirs.seconds, "s", QStringLiteral("files=%1").arg(count));
    }
    if (names.contains("menu-build")) {
        // What a user waits for when the file manager asks for the menu: the
        // whole host process building it from a tree of 500 items.
        PlistArray groups;
        for (int g = 0; g < 10; ++g) {
            PlistArray items;
            for (int i = 0; i < 50; ++i)
                items.push_back(PlistArray{PlistValue(QStringLiteral("Item %1.%2").arg(g).arg(i)),
                                           PlistValue(bench.Url(QStringLiteral("g%1").arg(g)))});
            groups.push_back(
                PlistDictionary{{"Group", PlistValue(QStringLiteral("Group %1").arg(g))},
                                {"Entries", PlistValue(items)}});
        }
        WriteMenuSettings(groups, false);
        const QString file = data + "/menu.txt";
        WriteFile(file, "x");
        const QStringList args{"--plugin", kPlugIn, "--list", file};
        std::vector<double> ours, theirs;
        TimeRun(kHost, args); // warm the page cache
        for (int i = 0; i < 15; ++i) {
            ours.push_back(TimeRun(kHost, args));
            theirs.push_back(TimeRun("/bin/true", args));
        }
        Report("menu-build", Median(ours) * 1000, Median(theirs) * 1000, "ms",
               QStringLiteral("(median of 15 runs; ours is what a user waits)"));
    }
    if (names.contains("cm-upload-500x4KiB")) {
        const QString folder = data + "/cm";
        QDir().mkpath(folder);
        QDir().mkpath(bench.server().home() + "/cm");
        QStringList files;
        for (int i = 0; i < 500; ++i) {
            files << QStringLiteral("%1/c%2.bin").arg(folder).arg(i, 3, 10, QChar('0'));
            MakeFile(files.last(), 4096);
        }
        const PlistValue item =
            PlistArray{PlistValue(QStringLiteral("Bench server")), PlistValue(bench.Url("cm"))};
        WriteMenuSettings(PlistArray(1, item), false);
        // Both sides three times, interleaved; the medians, since a stray
        // slow data connection on the server costs either side seconds.
        std::vector<double> ours, theirs;
        for (int round = 0; round < 3; ++round) {
            theirs.push_back(
                RunCurl({"-T", "{" + files.join(",") + "}", bench.Url("theirs")}).seconds);
            ours.push_back(TimeRun(
                kHost, QStringList{"--plugin", kPlugIn, "--choose", "Bench server"} + files));
        }
        const qsizetype count = QDir(bench.server().home() + "/cm").entryList(QDir::Files).size();
        Report("cm-upload-500x4KiB", Median(ours), Median(theirs), "s",
               QStringLiteral("files=%1").arg(count));
    }
    return 0;
}
