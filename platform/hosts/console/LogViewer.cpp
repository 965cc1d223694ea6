#include "platform/hosts/console/LogViewer.h"

#include "platform/LocalSockets.h"
#include "platform/TextEncoding.h"
#include "platform/UniqueFd.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QFontDatabase>
#include <QScrollBar>
#include <QTextCursor>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

// Read in pieces, so a large log does not need one huge buffer.
constexpr qint64 kReadChunk = 1 << 20;

constexpr char kRaise[] = "RAISE\n";
constexpr char kRaised[] = "OK\n";

} // namespace

LogViewer::LogViewer(const QString& path, QWidget* parent)
    : QPlainTextEdit(parent), m_path(QFileInfo(path).absoluteFilePath()) {
    setReadOnly(true);
    setUndoRedoEnabled(false);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    setWindowTitle(QFileInfo(m_path).fileName());
    resize(800, 500);

    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &LogViewer::refresh);
    connect(&m_poll, &QTimer::timeout, this, &LogViewer::refresh);
    m_poll.start(kPollIntervalMs);
    refresh();
}

void LogViewer::watchFile() {
    // A watcher forgets a file that was removed or replaced.
    if (!m_watcher.files().contains(m_path) && QFileInfo::exists(m_path)) m_watcher.addPath(m_path);
}

void LogViewer::reload() {
    clear();
    m_offset = 0;
    m_afterCR = false;
}

void LogViewer::refresh() {
    watchFile();
    const QByteArray native = m_path.toUtf8();
    plat::UniqueFd file(::open(native.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (file.get() < 0) return; // keep what is shown until the file is back
    struct stat st;
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode)) return;

    bool changed = false;
    const bool otherFile = st.st_dev != m_device || st.st_ino != m_inode;
    if (otherFile || st.st_size < m_offset) {
        const bool hadText = m_offset > 0 || !document()->isEmpty();
        reload();
        m_device = st.st_dev;
        m_inode = st.st_ino;
        changed = hadText;
    }
    if (otherFile) m_shown.reset(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));

    QByteArray chunk;
    for (;;) {
        chunk.resize(kReadChunk);
        ssize_t n;
        do {
            n = ::pread(file.get(), chunk.data(), size_t(chunk.size()), off_t(m_offset));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) break;
        chunk.resize(qsizetype(n));
        m_offset += n;
        appendBytes(chunk);
        changed = true;
    }
    if (changed) emit updated();
}

QString LogViewer::decode(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size());
    for (char byte : bytes) {
        const auto b = uint8_t(byte);
        if (b == '\n' && m_afterCR) {
            m_afterCR = false;
            continue;
        }
        m_afterCR = b == '\r';
        if (b == '\r' || b == '\n')
            text += QLatin1Char('\n');
        else if (b != 0)
            text += QChar(MacRomanToUnicode(b));
    }
    return text;
}

void LogViewer::appendBytes(const QByteArray& bytes) {
    const QString text = decode(bytes);
    if (text.isEmpty()) return;
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    // Inserting at the document's end joins a line that was cut between two
    // reads, whatever the user's cursor or selection is.
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    end.insertText(text);
    if (atEnd) bar->setValue(bar->maximum());
}

QString LogViewerInstance::SocketPath(const QString& path) {
    const QFileInfo info(path);
    const QString canonical = info.canonicalFilePath();
    const QByteArray key =
        QByteArray::number(getuid()) + '\0' +
        QFile::encodeName(canonical.isEmpty() ? info.absoluteFilePath() : canonical);
    const QString name =
        QStringLiteral("loftwise-console-%1.sock")
            .arg(QString::fromLatin1(
                QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex().left(24)));
    return LocalSocketPath(name);
}

bool LogViewerInstance::RaiseRunning(const QString& path) {
    return AskRunningInstance(SocketPath(path), kRaise) == QByteArray(kRaised);
}

std::unique_ptr<LogViewer> LogViewerInstance::OpenOrRaise(const QString& path) {
    const QString socketPath = SocketPath(path);
    // Without a private place for the socket the viewer still shows the file.
    if (!PrepareLocalSocketFolder(socketPath)) return std::make_unique<LogViewer>(path);
    StartLock lock(socketPath + ".lock");
    if (RaiseRunning(path)) return nullptr;
    auto viewer = std::make_unique<LogViewer>(path);
    // Answers each viewer started later for the same file by raising this
    // one; a viewer that cannot listen still shows the file.
    LogViewer* shown = viewer.get();
    ServeRunningInstance(socketPath, shown, [shown](const QByteArray& request) -> QByteArray {
        if (request != kRaise) return {};
        shown->showNormal();
        shown->raise();
        shown->activateWindow();
        return kRaised;
    });
    return viewer;
}

} // namespace plat
