// FTP servers for the tests, on 127.0.0.1 on free ports with private
// configurations in the run's temporary folder, stopped when destroyed (or
// when the test program dies): pyftpdlib, proftpd, and our own scriptable
// fault server (faultftpd.py); vsftpd for the benchmarks; and an HTTP server (httpd.py) for the
// maker's web site. Start them on the main thread: a server
// goes when the thread that started it ends.
#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <memory>

class QProcess;

namespace testing_support {

class FtpServer {
public:
    enum class Kind { Pyftpdlib, Proftpd, Fault, Vsftpd };

    virtual ~FtpServer();
    FtpServer(const FtpServer&) = delete;
    FtpServer& operator=(const FtpServer&) = delete;

    // False when the server could not be started (startError says why).
    bool isRunning() const;
    QString startError() const { return m_startError; }

    Kind kind() const { return m_kind; }
    QString name() const;
    quint16 port() const { return m_port; }
    QString user() const { return m_user; }
    QString password() const { return m_password; }
    // The local folder the account sees as "/".
    QString home() const { return m_home; }
    // ftp://127.0.0.1:port with the given (decoded) path; no credentials.
    QUrl url(const QString& path = QStringLiteral("/")) const;

    // The server's record of commands so far, and the logins in it (-1 for
    // vsftpd, which records transfers only).
    QString logText() const;
    int loginCount() const;

protected:
    FtpServer(Kind kind, const QString& user, const QString& password);
    // Starts program and waits until the port is known (from portFile, or
    // m_port accepting connections).
    bool launch(const QString& program, const QStringList& args, const QString& portFile);

    Kind m_kind;
    QString m_user, m_password;
    QString m_dir;  // private folder: configuration, logs
    QString m_home; // the account's files
    QString m_log;
    quint16 m_port = 0;
    QString m_startError;
    std::unique_ptr<QProcess> m_process;

    friend std::unique_ptr<FtpServer> StartPyftpdlib();
    friend std::unique_ptr<FtpServer> StartProftpd();
    friend std::unique_ptr<FtpServer> StartVsftpd(const QString& program);
};

std::unique_ptr<FtpServer> StartPyftpdlib();
std::unique_ptr<FtpServer> StartProftpd();
// vsftpd (program) with anonymous uploads; it must start as root, which
// locks it into home() and runs sessions as the system account "daemon":
// folders made in home() for uploads must be writable by all.
std::unique_ptr<FtpServer> StartVsftpd(const QString& program);
// Either of the two real servers.
std::unique_ptr<FtpServer> StartRealServer(FtpServer::Kind kind);

// faultftpd.py with a script (see the script's description of the keys).
// The account is the script's user / password, "test" / "secret" by default.
class FaultFtpServer final : public FtpServer {
public:
    explicit FaultFtpServer(const QJsonObject& script = {});

    struct Event {
        QString type; // CONNECT, CMD, REPLY, PASV, DATA, STORED, CLOSE, STALL
        int session = 0;
        QString text; // the rest of the line
    };
    QList<Event> events() const;
    // "USER test", "STOR a b.txt" ... in order; session 0 means all sessions.
    QStringList commands(int session = 0) const;
    int connectionCount() const;
    QStringList announcedPasvAddresses() const;
    // The peers of data connections ("127.0.0.1:port").
    QStringList dataPeers() const;
};

// httpd.py: an HTTP server whose routes the test sets (see the script's
// description of a route's keys); paths without a route get 404.
class HttpServer {
public:
    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    bool isRunning() const;
    QString startError() const { return m_startError; }
    quint16 port() const { return m_port; }
    // http://127.0.0.1:port followed by path.
    QString url(const QString& path = QString()) const;

    // Replaces all routes; the next request sees them.
    void setRoutes(const QJsonObject& routes);
    void setRoute(const QString& path, const QJsonObject& route);

    // "GET /path" for each request so far, and the headers they carried
    // ("Name: value").
    QStringList requests() const;
    QStringList requestHeaders() const;

private:
    QString m_dir, m_log, m_script, m_startError;
    QJsonObject m_routes;
    quint16 m_port = 0;
    std::unique_ptr<QProcess> m_process;
};

// A port on 127.0.0.1 on which nothing listens.
quint16 UnusedPort();

} // namespace testing_support
