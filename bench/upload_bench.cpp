// Upload benchmarks against curl and lftp on one local FTP server, measured
// in the same run. Each figure is the median of interleaved rounds (ours,
// curl, lftp, ours, ...) with the spread of the rounds in brackets:
//
//   NAME ratio=OURS/CURL ratio_lftp=OURS/LFTP ours=M[MIN..MAX] curl=... lftp=...
//
//   upload_bench [--vsftpd PROGRAM] [--rounds N] [NAME...]
//   names: upload-1GiB cpu-per-GiB upload-500x4KiB drop-fixed drop-first-byte
//          drop-500x4KiB menu-build cm-upload-500x4KiB
//
// The server is vsftpd when PROGRAM is given and this runs as root (the
// tests never use it, so nothing here is tuned to it), else proftpd. Our
// side is the droplet's engine (its upload from the main thread with a
// worker per file), for drop-* the whole droplet program, and for the cm-*
// and menu lines the context-menu host with the plug-in, as a file manager
// starts it.
#include "app/ConnectionSettings.h"
#include "app/Shell.h"
#include "app/Transfers.h"
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
#include <atomic>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sys/resource.h>
#include <sys/stat.h>
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

QStringList MakeSmallFiles(const QString& folder, const QString& prefix, int count) {
    QDir().mkpath(folder);
    QStringList files;
    for (int i = 0; i < count; ++i) {
        files << QStringLiteral("%1/%2%3.bin").arg(folder, prefix).arg(i, 3, 10, QChar('0'));
        MakeFile(files.last(), 4096);
    }
    return files;
}

// One child process to its end: wall time and its CPU time.
Measure RunChild(const QString& program, const QStringList& args) {
    const double before = CpuSeconds(RUSAGE_CHILDREN);
    QElapsedTimer clock;
    clock.start();
    QProcess child;
    child.start(program, args);
    child.waitForFinished(-1);
    Measure m;
    m.seconds = double(clock.nsecsElapsed()) / 1e9;
    m.cpu = CpuSeconds(RUSAGE_CHILDREN) - before;
    if (child.exitStatus() != QProcess::NormalExit || child.exitCode() != 0)
        std::fprintf(stderr, "%s failed: %s\n", qPrintable(program),
                     child.readAllStandardError().constData());
    return m;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// "0.812s[0.801..0.850]": the median and the spread of the rounds.
QString Figure(const std::vector<double>& v, double scale, const char* unit) {
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    return QStringLiteral("%1%2[%3..%4]")
        .arg(Median(v) * scale, 0, 'f', 3)
        .arg(QLatin1String(unit))
        .arg(*lo * scale, 0, 'f', 3)
        .arg(*hi * scale, 0, 'f', 3);
}

// One line: ours against curl and, when measured, lftp.
void Report(const char* name, const std::vector<double>& ours, const std::vector<double>& curl,
            const std::vector<double>& lftp, double scale, const char* unit,
            const QString& extra = {}, const QString& other = QStringLiteral("curl")) {
    QString line = QStringLiteral("%1 ratio=%2")
                       .arg(QLatin1String(name))
                       .arg(Median(ours) / Median(curl), 0, 'f', 3);
    if (!lftp.empty())
        line += QStringLiteral(" ratio_lftp=%1").arg(Median(ours) / Median(lftp), 0, 'f', 3);
    line += " ours=" + Figure(ours, scale, unit) + " " + other + "=" + Figure(curl, scale, unit);
    if (!lftp.empty()) line += " lftp=" + Figure(lftp, scale, unit);
    if (!extra.isEmpty()) line += " " + extra;
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

class Bench {
public:
    explicit Bench(const QString& vsftpd) {
        if (!vsftpd.isEmpty() && getuid() == 0 && QFileInfo(vsftpd).isExecutable())
            m_server = StartVsftpd(vsftpd);
        if (!m_server || !m_server->isRunning()) {
            if (m_server)
                std::fprintf(stderr, "vsftpd did not start (%s); using proftpd\n",
                             qPrintable(m_server->startError()));
            m_server = StartProftpd();
        }
        if (!m_server->isRunning()) {
            std::fprintf(stderr, "%s did not start: %s\n", qPrintable(m_server->name()),
                         qPrintable(m_server->startError()));
            std::exit(1);
        }
        std::printf("server %s on 127.0.0.1:%u\n", qPrintable(m_server->name()),
                    unsigned(m_server->port()));
        plat::SetMainBundlePath(QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app"));
        m_host.setText(QStringLiteral("127.0.0.1:%1").arg(m_server->port()));
        m_user.setText(m_server->user());
        m_password.setText(m_server->password());
        m_folder.setText("/ours");
        folder("ours");
        gHostEditText = &m_host;
        gUsernameEditText = &m_user;
        gPasswordEditText = &m_password;
        gFolderEditText = &m_folder;
        gMessage = &m_message;
    }

    // A folder on the server that every session may write, emptied. The
    // folder itself stays: a kept connection may still be in it.
    QString folder(const QString& name) {
        const QString path = m_server->home() + "/" + name;
        for (const QString& f : QDir(path).entryList(QDir::Files | QDir::Hidden))
            QFile::remove(path + "/" + f);
        QDir().mkpath(path);
        chmod(QFile::encodeName(path).constData(), 0777);
        return path;
    }

    Measure Ours(const QStringList& files) {
        const long rssBefore = RssKiB();
        std::atomic<long> rssPeak{rssBefore};
        std::atomic<bool> done{false};
        std::thread sampler([&] {
            while (!done) {
                rssPeak = std::max(rssPeak.load(), RssKiB());
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
        const double cpu = CpuSeconds(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        for (const QString& f : files) {
            FSRef ref;
            FSPathMakeRef(f.toUtf8().constData(), &ref, nullptr);
            const TransferOutcome outcome = UploadFile(&ref, {});
            if (!outcome.sent())
                std::fprintf(stderr, "upload of %s failed: %s\n", qPrintable(f),
                             qPrintable(outcome.Explanation()));
        }
        Measure m;
        m.seconds = double(clock.nsecsElapsed()) / 1e9;
        m.cpu = CpuSeconds(RUSAGE_SELF) - cpu;
        done = true;
        sampler.join();
        m.rssGrowthKiB = rssPeak - rssBefore;
        return m;
    }

    QString url(const QString& folder) const {
        return QStringLiteral("ftp://%1:%2@127.0.0.1:%3/%4/")
            .arg(m_server->user(), m_server->password())
            .arg(m_server->port())
            .arg(folder);
    }

    Measure Curl(const QStringList& files, const QString& folder) {
        return RunChild("curl",
                        {"-s", "-S", "--ftp-pasv", "-T", "{" + files.join(",") + "}", url(folder)});
    }

    // lftp's mput over one connection, as curl's -T over one.
    Measure Lftp(const QStringList& files, const QString& folder) {
        QString script = QStringLiteral("set cmd:fail-exit yes; set ftp:passive-mode on; "
                                        "set ftp:ssl-allow no; set net:max-retries 1; "
                                        "open -u %1,%2 -p %3 127.0.0.1; cd /%4; mput")
                             .arg(m_server->user(), m_server->password())
                             .arg(m_server->port())
                             .arg(folder);
        for (const QString& f : files)
            script += " \"" + f + "\"";
        return RunChild("lftp", {"-c", script});
    }

    FtpServer& server() { return *m_server; }

private:
    std::unique_ptr<FtpServer> m_server;
    QLineEdit m_host, m_user, m_password, m_folder;
    QLabel m_message;
};

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

int CountComplete(const QString& folder, qint64 size) {
    int n = 0;
    for (const QFileInfo& f : QDir(folder).entryInfoList(QDir::Files))
        n += f.size() == size ? 1 : 0;
    return n;
}

// The droplet as a file manager starts it: a copy configured by its
// resource, quitting when done, given the items at launch.
class Droplet {
public:
    Droplet(Bench& bench, const QString& folder) {
        m_copy = MakeTempDir("copy") + "/Loftwise.app";
        RunProcess("cp", {"-a", QStringLiteral(LOFTWISE_BUNDLES_DIR "/Loftwise.app"), m_copy});
        WriteFile(m_copy + "/Contents/Resources/Preferences.txt",
                  QStringLiteral("127.0.0.1:%1\n%2\n%3\n/%4\n")
                      .arg(bench.server().port())
                      .arg(bench.server().user(), bench.server().password(), folder)
                      .toUtf8());
        const QString domain = QStringLiteral("com.brisk-alder.Loftwise");
        CFPreferencesSetAppValue("QuitWhenDone", PlistValue::boolean(true), domain);
        CFPreferencesAppSynchronize(domain);
    }

    // Seconds from launch to the program's end (its pass, then "Bye.").
    double Run(const QStringList& items) {
        return RunChild(m_copy + "/Contents/Linux/Loftwise", items).seconds;
    }

    // Seconds from launch until the first byte of file is on the server.
    double FirstByte(const QString& file, const QString& arrived) {
        QFile::remove(arrived);
        const QByteArray path = QFile::encodeName(arrived);
        QElapsedTimer clock;
        clock.start();
        QProcess droplet;
        droplet.start(m_copy + "/Contents/Linux/Loftwise", {file});
        struct stat st {};
        double seconds = -1;
        while (clock.elapsed() < 30000) {
            if (stat(path.constData(), &st) == 0 && st.st_size > 0) {
                seconds = double(clock.nsecsElapsed()) / 1e9;
                break;
            }
            QThread::usleep(200);
        }
        droplet.waitForFinished(30000);
        return seconds;
    }

private:
    QString m_copy;
};

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
    QString vsftpd;
    int rounds = 3;
    for (;;) {
        if (names.size() >= 2 && names[0] == "--vsftpd") {
            vsftpd = names[1];
        } else if (names.size() >= 2 && names[0] == "--rounds") {
            rounds = std::max(3, names[1].toInt());
        } else {
            break;
        }
        names = names.mid(2);
    }
    if (names.isEmpty()) names = {"upload-1GiB", "cpu-per-GiB", "upload-500x4KiB"};
    auto wanted = [&](const char* name) { return names.contains(QLatin1String(name)); };

    Bench bench(vsftpd);
    const QString data = MakeTempDir("data");

    if (wanted("upload-1GiB") || wanted("cpu-per-GiB")) {
        const QString big = data + "/big.bin";
        MakeFile(big, qint64(1) << 30);
        // A warm-up, so no side pays for a cold page cache.
        bench.folder("theirs");
        bench.Curl({big}, "theirs");
        std::vector<double> ours, curl, lftp, oursCpu, curlCpu, lftpCpu;
        long rss = 0;
        for (int r = 0; r < rounds; ++r) {
            const Measure o = bench.Ours({big});
            ours.push_back(o.seconds);
            oursCpu.push_back(o.cpu);
            rss = std::max(rss, o.rssGrowthKiB);
            const Measure c = bench.Curl({big}, "theirs");
            curl.push_back(c.seconds);
            curlCpu.push_back(c.cpu);
            bench.folder("lftp");
            const Measure l = bench.Lftp({big}, "lftp");
            lftp.push_back(l.seconds);
            lftpCpu.push_back(l.cpu);
        }
        if (wanted("upload-1GiB"))
            Report("upload-1GiB", ours, curl, lftp, 1, "s",
                   QStringLiteral("rss_growth=%1KiB").arg(rss));
        if (wanted("cpu-per-GiB")) Report("cpu-per-GiB", oursCpu, curlCpu, lftpCpu, 1, "s");
        QFile::remove(big);
        bench.folder("ours");
        bench.folder("theirs");
        bench.folder("lftp");
    }

    if (wanted("upload-500x4KiB")) {
        const QStringList files = MakeSmallFiles(data + "/small", "f", 500);
        std::vector<double> ours, curl, lftp;
        for (int r = 0; r < rounds; ++r) {
            bench.folder("ours");
            ours.push_back(bench.Ours(files).seconds);
            bench.folder("theirs");
            curl.push_back(bench.Curl(files, "theirs").seconds);
            bench.folder("lftp");
            lftp.push_back(bench.Lftp(files, "lftp").seconds);
        }
        Report("upload-500x4KiB", ours, curl, lftp, 1, "s");
    }

    if (wanted("drop-fixed") || wanted("drop-first-byte") || wanted("drop-500x4KiB")) {
        // The droplet given a folder of 500 files and, for its fixed cost,
        // a folder of one: start-up, the connection, "Bye." and the exit.
        const QString many = data + "/drop";
        const QStringList files = MakeSmallFiles(many, "d", 500);
        const QString one = data + "/one";
        const QStringList single = MakeSmallFiles(one, "o", 1);
        Droplet droplet(bench, "drop");
        std::vector<double> fixed, whole, net, firstByte, curlOne, curlMany, lftpOne, lftpMany,
            curlFirst;
        int arrived = 0;
        for (int r = 0; r < rounds; ++r) {
            bench.folder("drop");
            fixed.push_back(droplet.Run({one}));
            if (wanted("drop-first-byte")) {
                bench.folder("drop");
                firstByte.push_back(
                    droplet.FirstByte(single[0], bench.server().home() + "/drop/o000.bin"));
            }
            bench.folder("drop");
            whole.push_back(droplet.Run({many}));
            net.push_back(whole.back() - fixed.back());
            arrived = CountComplete(bench.server().home() + "/drop", 4096);
            bench.folder("theirs");
            curlOne.push_back(bench.Curl(single, "theirs").seconds);
            curlMany.push_back(bench.Curl(files, "theirs").seconds);
            bench.folder("lftp");
            lftpOne.push_back(bench.Lftp(single, "lftp").seconds);
            lftpMany.push_back(bench.Lftp(files, "lftp").seconds);
        }
        if (wanted("drop-fixed"))
            Report("drop-fixed", fixed, curlOne, lftpOne, 1000, "ms",
                   QStringLiteral("(one file: start-up, upload, \"Bye.\", exit)"));
        if (wanted("drop-first-byte")) {
            // curl's own start-up to its first byte is most of its one-file time.
            Report("drop-first-byte", firstByte, curlOne, {}, 1000, "ms",
                   QStringLiteral("(launch to the first byte on the server; curl: its "
                                  "whole one-file upload)"));
        }
        if (wanted("drop-500x4KiB")) {
            Report("drop-500x4KiB", whole, curlMany, lftpMany, 1, "s",
                   QStringLiteral("files=%1 (whole)").arg(arrived));
            Report("drop-500x4KiB-net", net, curlMany, lftpMany, 1, "s",
                   QStringLiteral("(ours less drop-fixed of its round)"));
        }
        bench.folder("drop");
    }

    if (wanted("menu-build")) {
        // What a user waits for when the file manager asks for the menu: the
        // whole host process building it from a tree of 500 items.
        PlistArray groups;
        for (int g = 0; g < 10; ++g) {
            PlistArray items;
            for (int i = 0; i < 50; ++i)
                items.push_back(PlistArray{PlistValue(QStringLiteral("Item %1.%2").arg(g).arg(i)),
                                           PlistValue(bench.url(QStringLiteral("g%1").arg(g)))});
            groups.push_back(
                PlistDictionary{{"Group", PlistValue(QStringLiteral("Group %1").arg(g))},
                                {"Entries", PlistValue(items)}});
        }
        WriteMenuSettings(groups, false);
        const QString file = data + "/menu.txt";
        WriteFile(file, "x");
        const QStringList args{"--plugin", kPlugIn, "--list", file};
        std::vector<double> ours, theirs;
        RunChild(kHost, args); // warm the page cache
        for (int i = 0; i < 15; ++i) {
            ours.push_back(RunChild(kHost, args).seconds);
            theirs.push_back(RunChild("/bin/true", args).seconds);
        }
        Report("menu-build", ours, theirs, {}, 1000, "ms",
               QStringLiteral("(15 rounds against a process that does nothing)"),
               QStringLiteral("true"));
    }

    if (wanted("cm-upload-500x4KiB")) {
        const QStringList files = MakeSmallFiles(data + "/cm", "c", 500);
        const PlistValue item =
            PlistArray{PlistValue(QStringLiteral("Bench server")), PlistValue(bench.url("cm"))};
        WriteMenuSettings(PlistArray(1, item), false);
        std::vector<double> ours, curl, lftp;
        for (int r = 0; r < rounds; ++r) {
            bench.folder("cm");
            ours.push_back(
                RunChild(kHost,
                         QStringList{"--plugin", kPlugIn, "--choose", "Bench server"} + files)
                    .seconds);
            bench.folder("theirs");
            curl.push_back(bench.Curl(files, "theirs").seconds);
            bench.folder("lftp");
            lftp.push_back(bench.Lftp(files, "lftp").seconds);
        }
        Report("cm-upload-500x4KiB", ours, curl, lftp, 1, "s",
               QStringLiteral("files=%1").arg(CountComplete(bench.server().home() + "/cm", 4096)));
    }
    return 0;
}
