// A live view of one log file: Mac Roman text with CR (or CR LF, or LF) line
// ends, followed as it grows. Read-only, monospace; it stays scrolled to the
// end unless the user has scrolled up.
#pragma once

#include "platform/UniqueFd.h"

#include <QFileSystemWatcher>
#include <QLocalServer>
#include <QPlainTextEdit>
#include <QTimer>
#include <memory>
#include <sys/types.h>

namespace plat {

class LogViewer : public QPlainTextEdit {
    Q_OBJECT
public:
    // Polls as a fallback for file-change notifications that do not come
    // (network file systems, a watcher limit reached).
    static constexpr int kPollIntervalMs = 500;

    explicit LogViewer(const QString& path, QWidget* parent = nullptr);

    QString filePath() const { return m_path; }
    // How many bytes of the file are shown.
    qint64 bytesShown() const { return m_offset; }

public slots:
    // Shows what was appended since the last look; reloads a file that
    // shrank or was replaced.
    void refresh();

signals:
    // After new text was shown or the view was reloaded.
    void updated();

private:
    void reload();
    void appendBytes(const QByteArray& bytes);
    QString decode(const QByteArray& bytes);
    void watchFile();

    QString m_path;
    QFileSystemWatcher m_watcher;
    QTimer m_poll;
    qint64 m_offset = 0;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    // The shown file, held open: while it is, a file made in its place
    // cannot get its inode number and pass for it.
    UniqueFd m_shown;
    // The last byte shown was a CR: an LF that starts the next read belongs
    // to the same line end.
    bool m_afterCR = false;
};

// One viewer per log file, as the system's console brings an open log to the
// front instead of showing it twice. The viewer of a file listens on a local
// socket named from the file's canonical path and the user.
class LogViewerInstance {
public:
    // The socket of the viewer of path.
    static QString SocketPath(const QString& path);

    // Asks the viewer already showing path to come to the front; false when
    // none answers.
    static bool RaiseRunning(const QString& path);

    // Shows path unless another viewer has it (which is raised instead);
    // nullptr then.
    static std::unique_ptr<LogViewer> OpenOrRaise(const QString& path);
};

} // namespace plat
