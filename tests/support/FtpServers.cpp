#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {

namespace {

const QString kPython = QStringLiteral("/usr/bin/python3");
const QString kProftpd = QStringLiteral("/usr/sbin/proftpd");

QString SupportScript(const char* name) {
    return QStringLiteral(LOFTWISE_SOURCE_DIR "/tests/support/") + QLatin1String(name);
}

bool Accepts(quint16 port) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

void WriteText(const QString& path, const QString& text, QFileDevice::Permissions perms = {}) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
    f.write(text.toUtf8());
    f.close();
    if (perms) f.setPermissions(perms);
}

// Starts program with its output in dir and waits until its port is known
// (from portFile, or port accepting connections). On failure port is 0 and
// error says why.
bool LaunchServerProcess(std::unique_ptr<QProcess>& process, const QString& dir,
                         const QString& name, const QString& program, const QStringList& args,
                         const QString& portFile, quint16& port, QString& error) {
    process = std::make_unique<QProcess>();
    // A group of its own, so that it goes with its session children; and
    // it goes when this test program dies without stopping it.
    const pid_t parent = getpid();
    process->setChildProcessModifier([parent] {
        ::setsid();
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
    });
    process->setStandardOutputFile(dir + QStringLiteral("/stdout.txt"));
    process->setStandardErrorFile(dir + QStringLiteral("/stderr.txt"));
    process->start(program, args);
    if (!process->waitForStarted(10000)) {
        error = program + QStringLiteral(" did not start: ") + process->errorString();
        port = 0;
        return false;
    }
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        if (process->state() != QProcess::Running) break;
        if (!portFile.isEmpty()) {
            const QByteArray text = ReadFile(portFile).trimmed();
            if (!text.isEmpty()) {
                port = quint16(text.toUInt());
                return true;
            }
        } else if (Accepts(port)) {
            return true;
        }
        QThread::msleep(20);
    }
    error = name + QStringLiteral(" did not come up: ") +
            QString::fromUtf8(ReadFile(dir + QStringLiteral("/stderr.txt")) +
                              ReadFile(dir + QStringLiteral("/stdout.txt")));
    port = 0;
    return false;
}

void StopServerProcess(QProcess* process) {
    if (!process) return;
    const qint64 pid = process->processId();
    if (pid <= 0) return;
    // The server runs in a process group of its own, with its session
    // children (proftpd forks one per connection).
    ::kill(-pid_t(pid), SIGTERM);
    if (!process->waitForFinished(3000)) {
        ::kill(-pid_t(pid), SIGKILL);
        process->waitForFinished(3000);
    }
    ::kill(-pid_t(pid), SIGKILL); // stragglers of the group
}

} // namespace

quint16 UnusedPort() {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    quint16 port = 0;
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (s >= 0) close(s);
    return port;
}

FtpServer::FtpServer(Kind kind, const QString& user, const QString& password)
    : m_kind(kind), m_user(user), m_password(password) {
    m_dir = MakeTempDir(QStringLiteral("ftp-") + name());
    m_home = m_dir + QStringLiteral("/home");
    QDir().mkpath(m_home);
}

FtpServer::~FtpServer() {
    StopServerProcess(m_process.get());
}

bool FtpServer::isRunning() const {
    return m_process && m_process->state() == QProcess::Running && m_port != 0;
}

QString FtpServer::name() const {
    switch (m_kind) {
    case Kind::Pyftpdlib:
        return QStringLiteral("pyftpdlib");
    case Kind::Proftpd:
        return QStringLiteral("proftpd");
    case Kind::Fault:
        return QStringLiteral("faultftpd");
    case Kind::Vsftpd:
        return QStringLiteral("vsftpd");
    }
    return {};
}

QUrl FtpServer::url(const QString& path) const {
    QUrl u;
    u.setScheme(QStringLiteral("ftp"));
    u.setHost(QStringLiteral("127.0.0.1"));
    u.setPort(m_port);
    u.setPath(path, QUrl::DecodedMode);
    return u;
}

QString FtpServer::logText() const {
    return QString::fromUtf8(ReadFile(m_log));
}

int FtpServer::loginCount() const {
    const QStringList lines = logText().split('\n');
    switch (m_kind) {
    case Kind::Pyftpdlib:
        return int(lines.filter(QStringLiteral("<- USER ")).size());
    case Kind::Vsftpd: // its log here holds transfers only
        return -1;
    case Kind::Proftpd: {
        int n = 0;
        for (const QString& l : lines)
            n += l.startsWith(QLatin1String("USER ")) ? 1 : 0;
        return n;
    }
    case Kind::Fault:
        return int(static_cast<const FaultFtpServer*>(this)
                       ->commands()
                       .filter(QRegularExpression(QStringLiteral("^USER( |$)")))
                       .size());
    }
    return 0;
}

bool FtpServer::launch(const QString& program, const QStringList& args, const QString& portFile) {
    return LaunchServerProcess(m_process, m_dir, name(), program, args, portFile, m_port,
                               m_startError);
}

std::unique_ptr<FtpServer> StartPyftpdlib() {
    std::unique_ptr<FtpServer> s(new FtpServer(FtpServer::Kind::Pyftpdlib, QStringLiteral("test"),
                                               QStringLiteral("secret")));
    s->m_log = s->m_dir + QStringLiteral("/pyftpdlib.log");
    const QString portFile = s->m_dir + QStringLiteral("/port");
    s->launch(kPython,
              {SupportScript("pyftpd_server.py"), "--root", s->m_home, "--user", s->m_user,
               "--password", s->m_password, "--log", s->m_log, "--port-file", portFile},
              portFile);
    return s;
}

std::unique_ptr<FtpServer> StartProftpd() {
    std::unique_ptr<FtpServer> s(
        new FtpServer(FtpServer::Kind::Proftpd, QStringLiteral("test"), QStringLiteral("secret")));
    const QString& d = s->m_dir;
    s->m_log = d + QStringLiteral("/commands.log");
    s->m_port = UnusedPort();

    const ProcessResult hash =
        RunProcess(QStringLiteral("openssl"), {"passwd", "-1", s->m_password}, 10000);
    if (hash.exitCode != 0) {
        s->m_startError = QStringLiteral("openssl passwd failed");
        s->m_port = 0;
        return s;
    }
    // A virtual account that logs in as the user running the tests (root
    // here), locked into its home folder.
    const QString uid = QString::number(getuid()), gid = QString::number(getgid());
    WriteText(d + "/passwd",
              QStringLiteral("%1:%2:%3:%4::%5:/bin/false\n")
                  .arg(s->m_user, QString::fromUtf8(hash.out.trimmed()), uid, gid, s->m_home),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    WriteText(d + "/group", QStringLiteral("ftptest:x:%1:\n").arg(gid),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const bool root = getuid() == 0;
    QString conf = QStringLiteral(R"(ServerName "loftwise-test"
ServerType standalone
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
Port %1
PassivePorts 49152 65534
MaxInstances 64
Umask 022
PidFile %2/proftpd.pid
ScoreboardFile %2/proftpd.scoreboard
DelayTable %2/proftpd.delay
WtmpLog off
UseReverseDNS off
<IfModule mod_ident.c>
  IdentLookups off
</IfModule>
TransferLog %2/xferlog
SystemLog %2/system.log
LogFormat commands "%m %J"
ExtendedLog %2/commands.log ALL commands
AuthOrder mod_auth_file.c
AuthUserFile %2/passwd
AuthGroupFile %2/group
RequireValidShell off
DefaultRoot ~
AllowOverwrite on
TimeoutIdle 600
)")
                       .arg(s->m_port)
                       .arg(d);
    if (root) conf += QStringLiteral("User nobody\nGroup nogroup\nRootLogin on\n");
    WriteText(d + "/proftpd.conf", conf);
    s->launch(kProftpd, {"-n", "-c", d + "/proftpd.conf"}, QString());
    return s;
}

std::unique_ptr<FtpServer> StartVsftpd(const QString& program) {
    std::unique_ptr<FtpServer> s(new FtpServer(FtpServer::Kind::Vsftpd, QStringLiteral("anonymous"),
                                               QStringLiteral("loftwise")));
    const QString& d = s->m_dir;
    s->m_log = d + QStringLiteral("/commands.log");
    s->m_port = UnusedPort();
    QDir().mkpath(d + QStringLiteral("/empty"));
    // Sessions run as "daemon" in home(), which itself must not be writable.
    QFile::setPermissions(s->m_home, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                         QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                         QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                         QFileDevice::ExeOther);
    const QString conf = QStringLiteral(R"(listen=YES
listen_address=127.0.0.1
listen_port=%1
listen_ipv6=NO
background=NO
anonymous_enable=YES
local_enable=NO
ftp_username=daemon
no_anon_password=YES
anon_root=%2
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
secure_chroot_dir=%3/empty
pasv_enable=YES
# Above the ephemeral range: a port a client holds fails the bind ("500 OOPS").
pasv_min_port=61000
pasv_max_port=65500
seccomp_sandbox=NO
max_clients=0
max_per_ip=0
idle_session_timeout=600
xferlog_enable=YES
xferlog_std_format=NO
log_ftp_protocol=NO
vsftpd_log_file=%3/commands.log
)")
                             .arg(s->m_port)
                             .arg(s->m_home, d);
    WriteText(d + "/vsftpd.conf", conf);
    s->launch(program, {d + "/vsftpd.conf"}, QString());
    return s;
}

std::unique_ptr<FtpServer> StartRealServer(FtpServer::Kind kind) {
    return kind == FtpServer::Kind::Proftpd ? StartProftpd() : StartPyftpdlib();
}

FaultFtpServer::FaultFtpServer(const QJsonObject& script)
    : FtpServer(Kind::Fault, script.value("user").toString(QStringLiteral("test")),
                script.value("password").toString(QStringLiteral("secret"))) {
    m_log = m_dir + QStringLiteral("/events.log");
    const QString scriptFile = m_dir + QStringLiteral("/script.json");
    WriteText(scriptFile, QString::fromUtf8(QJsonDocument(script).toJson()));
    const QString portFile = m_dir + QStringLiteral("/port");
    launch(kPython,
           {SupportScript("faultftpd.py"), "--root", m_home, "--log", m_log, "--port-file",
            portFile, "--script", scriptFile},
           portFile);
}

QList<FaultFtpServer::Event> FaultFtpServer::events() const {
    QList<Event> out;
    for (const QString& line : logText().split('\n', Qt::SkipEmptyParts)) {
        const QStringList parts = line.split(' ');
        if (parts.size() < 2) continue;
        Event e;
        e.type = parts[0];
        e.session = parts[1].toInt();
        e.text = parts.mid(2).join(' ');
        out.push_back(e);
    }
    return out;
}

QStringList FaultFtpServer::commands(int session) const {
    QStringList out;
    for (const Event& e : events())
        if (e.type == QLatin1String("CMD") && (session == 0 || e.session == session))
            out.push_back(e.text);
    return out;
}

int FaultFtpServer::connectionCount() const {
    int n = 0;
    for (const Event& e : events())
        n += e.type == QLatin1String("CONNECT") ? 1 : 0;
    return n;
}

QStringList FaultFtpServer::announcedPasvAddresses() const {
    QStringList out;
    for (const Event& e : events())
        if (e.type == QLatin1String("PASV")) out.push_back(e.text.section(' ', 0, 0));
    return out;
}

QStringList FaultFtpServer::dataPeers() const {
    QStringList out;
    for (const Event& e : events())
        if (e.type == QLatin1String("DATA")) out.push_back(e.text);
    return out;
}

HttpServer::HttpServer() {
    m_dir = MakeTempDir(QStringLiteral("httpd"));
    m_log = m_dir + QStringLiteral("/requests.log");
    m_script = m_dir + QStringLiteral("/script.json");
    setRoutes({});
    const QString portFile = m_dir + QStringLiteral("/port");
    LaunchServerProcess(
        m_process, m_dir, QStringLiteral("httpd"), kPython,
        {SupportScript("httpd.py"), "--script", m_script, "--log", m_log, "--port-file", portFile},
        portFile, m_port, m_startError);
}

HttpServer::~HttpServer() {
    StopServerProcess(m_process.get());
}

bool HttpServer::isRunning() const {
    return m_process && m_process->state() == QProcess::Running && m_port != 0;
}

QString HttpServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path);
}

void HttpServer::setRoutes(const QJsonObject& routes) {
    m_routes = routes;
    // Whole or not at all: the server reads the script at every request.
    const QString tmp = m_script + QStringLiteral(".tmp");
    WriteText(tmp, QString::fromUtf8(QJsonDocument(QJsonObject{{"routes", routes}}).toJson()));
    ::rename(QFile::encodeName(tmp).constData(), QFile::encodeName(m_script).constData());
}

void HttpServer::setRoute(const QString& path, const QJsonObject& route) {
    QJsonObject routes = m_routes;
    routes.insert(path, route);
    setRoutes(routes);
}

QStringList HttpServer::requests() const {
    QStringList out;
    for (const QString& line : QString::fromUtf8(ReadFile(m_log)).split('\n', Qt::SkipEmptyParts))
        if (!line.startsWith(QLatin1String("H "))) out.push_back(line);
    return out;
}

QStringList HttpServer::requestHeaders() const {
    QStringList out;
    for (const QString& line : QString::fromUtf8(ReadFile(m_log)).split('\n', Qt::SkipEmptyParts))
        if (line.startsWith(QLatin1String("H "))) out.push_back(line.mid(2));
    return out;
}

} // namespace testing_support
