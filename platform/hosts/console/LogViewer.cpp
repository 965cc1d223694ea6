#include "platform/hosts/console/LogViewer.h"

#include "platform/LocalSockets.h"
#include "platform/TextEncoding.h"
#include "platform/UniqueFd.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QFontDatabase>
#include <QScrollBar>
#include <QTextCursor>
#include <algorithm>
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

// NULs (a file system may leave a hole of them after a crash) show as nothing.
QString FromMacRoman(QByteArrayView bytes) {
    QString text;
    text.reserve(bytes.size());
    for (char byte : bytes)
        if (byte != 0) text += QChar(MacRomanToUnicode(uint8_t(byte)));
    return text;
}

bool IsAscii(QByteArrayView bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return uint8_t(c) < 0x80; });
}

} // namespace

// RFC 3629: no overlong forms, surrogates, or code points past U+10FFFF, so
// Mac Roman text is seldom taken for UTF-8.
bool LogViewer::Utf8Reader::take(uint8_t b) {
    if (due > 0) {
        if (b < min || b > max) return false;
        --due;
        min = 0x80;
        max = 0xBF;
        return true;
    }
    if (b < 0x80) return true;
    if (b >= 0xC2 && b <= 0xDF) {
        due = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
        due = 2;
        if (b == 0xE0) min = 0xA0;
        if (b == 0xED) max = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        due = 3;
        if (b == 0xF0) min = 0x90;
        if (b == 0xF4) max = 0x8F;
    } else {
        return false;
    }
    return true;
}

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
    m_settle.setSingleShot(true);
    m_settle.setInterval(kPollIntervalMs);
    connect(&m_settle, &QTimer::timeout, this, &LogViewer::showHeldBack);
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
    m_lineAs = LineAs::Utf8;
    m_line.clear();
    m_lineWhole = 0;
    m_utf8 = {};
    m_lineChars = 0;
    m_settle.stop();
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

void LogViewer::appendBytes(const QByteArray& bytes) {
    Pending out;
    qsizetype from = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = uint8_t(bytes[i]);
        if (b != '\r' && b != '\n') {
            m_afterCR = false;
            continue;
        }
        addToLine(QByteArrayView(bytes).sliced(from, i - from), out);
        from = i + 1;
        const bool lfOfCRLF = b == '\n' && m_afterCR;
        m_afterCR = b == '\r';
        if (!lfOfCRLF) endLine(out);
    }
    addToLine(QByteArrayView(bytes).sliced(from), out);
    insertAtEnd(out);
    if (holdsBack())
        m_settle.start();
    else
        m_settle.stop();
}

bool LogViewer::holdsBack() const {
    return m_lineAs == LineAs::Utf8 && m_lineWhole < m_line.size();
}

void LogViewer::addToLine(QByteArrayView bytes, Pending& out) {
    if (bytes.isEmpty()) return;
    if (m_lineAs == LineAs::MacRoman) {
        addLineText(FromMacRoman(bytes), out);
        return;
    }
    const qsizetype shownWhole = m_lineWhole;
    const qsizetype shownBytes = m_line.size();
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const auto b = uint8_t(bytes[i]);
        if (b == 0 && m_utf8.due == 0) continue;
        if (!m_utf8.take(b)) {
            m_line.append(bytes.sliced(i));
            // What is shown already reads the same in Mac Roman when it was
            // shown that way or is ASCII; otherwise it is replaced.
            qsizetype same = -1;
            if (m_lineAs == LineAs::MacRomanForNow)
                same = shownBytes;
            else if (IsAscii(QByteArrayView(m_line).first(shownWhole)))
                same = shownWhole;
            if (same >= 0)
                addLineText(FromMacRoman(QByteArrayView(m_line).sliced(same)), out);
            else
                replaceLineText(FromMacRoman(m_line), out);
            m_lineAs = LineAs::MacRoman;
            m_line.clear();
            m_lineWhole = 0;
            m_utf8 = {};
            return;
        }
        m_line += char(b);
        if (m_utf8.due == 0) m_lineWhole = m_line.size();
    }
    if (m_lineAs == LineAs::MacRomanForNow) {
        // More came after a cut character that was shown as Mac Roman:
        // the line may be UTF-8 after all.
        m_lineAs = LineAs::Utf8;
        replaceLineText(QString::fromUtf8(QByteArrayView(m_line).first(m_lineWhole)), out);
    } else {
        addLineText(
            QString::fromUtf8(QByteArrayView(m_line).sliced(shownWhole, m_lineWhole - shownWhole)),
            out);
    }
}

void LogViewer::endLine(Pending& out) {
    // A line that ends inside a character is not UTF-8.
    if (m_lineAs == LineAs::Utf8 && m_lineWhole < m_line.size()) {
        if (IsAscii(QByteArrayView(m_line).first(m_lineWhole)))
            addLineText(FromMacRoman(QByteArrayView(m_line).sliced(m_lineWhole)), out);
        else
            replaceLineText(FromMacRoman(m_line), out);
    }
    out.text += QLatin1Char('\n');
    m_lineAs = LineAs::Utf8;
    m_line.clear();
    m_lineWhole = 0;
    m_utf8 = {};
    m_lineChars = 0;
}

void LogViewer::addLineText(const QString& text, Pending& out) {
    out.text += text;
    m_lineChars += text.size();
}

void LogViewer::replaceLineText(const QString& text, Pending& out) {
    // The line's text is all in the pending text, or it began in the
    // document's last block and the pending text holds only the rest.
    if (m_lineChars <= out.text.size()) {
        out.text.chop(m_lineChars);
    } else {
        out.text.clear();
        out.dropLastLine = true;
    }
    out.text += text;
    m_lineChars = text.size();
}

void LogViewer::insertAtEnd(const Pending& out) {
    if (out.text.isEmpty() && !out.dropLastLine) return;
    QScrollBar* bar = verticalScrollBar();
    const bool atEnd = bar->value() >= bar->maximum();
    // Inserting at the document's end joins a line that was cut between two
    // reads, whatever the user's cursor or selection is.
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    if (out.dropLastLine) {
        end.movePosition(QTextCursor::StartOfBlock, QTextCursor::KeepAnchor);
        end.removeSelectedText();
    }
    end.insertText(out.text);
    if (atEnd) bar->setValue(bar->maximum());
}

void LogViewer::showHeldBack() {
    // Bytes the watcher did not report may complete the character; when more
    // came, the wait starts again.
    refresh();
    if (m_settle.isActive() || !holdsBack()) return;
    Pending out;
    replaceLineText(FromMacRoman(m_line), out);
    m_lineAs = LineAs::MacRomanForNow;
    insertAtEnd(out);
    emit updated();
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
