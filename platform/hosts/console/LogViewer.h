// A live view of one log file, followed as it grows: lines of UTF-8 or, from
// older versions, Mac Roman text, ended by LF, CR or CR LF. Read-only,
// monospace; it stays scrolled to the end unless the user has scrolled up.
#pragma once

#include "platform/UniqueFd.h"

#include <QFileSystemWatcher>
#include <QLocalServer>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdint>
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
    // How many bytes of the file were read. A character cut by the end of
    // the file is shown once the rest comes or it has sat there a while.
    qint64 bytesShown() const { return m_offset; }

public slots:
    // Shows what was appended since the last look; reloads a file that
    // shrank or was replaced.
    void refresh();

signals:
    // After new text was shown or the view was reloaded.
    void updated();

private:
    // Text to insert at the end, after the last line's shown text when
    // dropLastLine.
    struct Pending {
        QString text;
        bool dropLastLine = false;
    };
    // Where a UTF-8 reading of the last line is: how many continuation
    // bytes are due, and the range the next one must be in.
    struct Utf8Reader {
        int due = 0;
        uint8_t min = 0x80;
        uint8_t max = 0xBF;
        // False when b cannot come next in UTF-8.
        bool take(uint8_t b);
    };
    enum class LineAs { Utf8, MacRoman, MacRomanForNow };

    void reload();
    void appendBytes(const QByteArray& bytes);
    void addToLine(QByteArrayView bytes, Pending& out);
    void endLine(Pending& out);
    void addLineText(const QString& text, Pending& out);
    void replaceLineText(const QString& text, Pending& out);
    void insertAtEnd(const Pending& out);
    void showHeldBack();
    bool holdsBack() const;
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
    // The last byte read was a CR: an LF that starts the next read belongs
    // to the same line end.
    bool m_afterCR = false;

    // The last line, whose end has not been read. Each line is UTF-8 unless
    // a byte shows it is not; it is then Mac Roman throughout, and what was
    // shown of it is shown again.
    LineAs m_lineAs = LineAs::Utf8;
    // Its bytes while it may be UTF-8 (NULs between characters left out),
    // of which m_lineWhole make whole characters; the rest wait.
    QByteArray m_line;
    qsizetype m_lineWhole = 0;
    Utf8Reader m_utf8;
    // The length of its shown text: the last block of the document, and any
    // pending text after the last line end there.
    qsizetype m_lineChars = 0;
    // A character cut at the end of the file is shown as Mac Roman when no
    // more comes for a while: the writer may have stopped there.
    QTimer m_settle;
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
