#include "engine/LogSupport.h"
#include "platform/TextEncoding.h"

#include "platform/Files.h"

#include <QLocale>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Drops the time-zone field ("t" and its longer forms) from a QLocale time
// format, leaving quoted text alone, and tidies the spaces around it.
QString WithoutZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (!quoted && c == QLatin1Char('t')) continue;
        out += c;
    }
    return out.simplified();
}

} // namespace

QString LogTimeString(const QDateTime& when) {
    const QLocale locale = QLocale::system();
    QString format = WithoutZone(locale.timeFormat(QLocale::LongFormat));
    // The classic service was asked for seconds; a long format without them
    // falls back to a plain clock.
    if (!format.contains(QLatin1Char('s'))) format = QStringLiteral("HH:mm:ss");
    return locale.toString(when.time(), format);
}

QString LogDateString(const QDateTime& when) {
    return QLocale::system().toString(when.date(), QLocale::LongFormat);
}

namespace {

// The escape for a control character, or empty for any other.
std::string_view ControlEscape(char16_t c, char (&buffer)[5]) {
    switch (c) {
    case '\r':
        return "\\r";
    case '\n':
        return "\\n";
    case '\t':
        return "\\t";
    default:
        if (!plat::IsControlCharacter(c)) return {};
        static constexpr char kHex[] = "0123456789ABCDEF";
        buffer[0] = '\\';
        buffer[1] = 'x';
        buffer[2] = kHex[c >> 4];
        buffer[3] = kHex[c & 0xF];
        return std::string_view(buffer, 4);
    }
}

} // namespace

std::string EscapeControlCharacters(std::string_view text, std::size_t limit) {
    std::string out;
    out.reserve(std::min(text.size(), limit));
    char buffer[5];
    for (char byte : text) {
        const std::string_view escape = ControlEscape(char16_t(uint8_t(byte)), buffer);
        const std::size_t length = escape.empty() ? 1 : escape.size();
        if (out.size() + length > limit) break;
        if (escape.empty())
            out += byte;
        else
            out += escape;
    }
    return out;
}

QString EscapeControlCharacters(const QString& text) {
    QString out;
    out.reserve(text.size());
    char buffer[5];
    for (QChar c : text) {
        const std::string_view escape = ControlEscape(c.unicode(), buffer);
        if (escape.empty())
            out += c;
        else
            out += QLatin1String(escape.data(), qsizetype(escape.size()));
    }
    return out;
}

int OpenLogForAppend(const std::string& path, OSStatus* status) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (status) *status = plat::StatusFromErrno(errno);
        return 0;
    }
    if (fd <= 2) {
        // Standard descriptors were closed; keep the log off them.
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        const int error = errno;
        ::close(fd);
        if (moved < 0) {
            if (status) *status = plat::StatusFromErrno(error);
            return 0;
        }
        fd = moved;
    }
    if (status) *status = noErr;
    return fd;
}

OSStatus AppendWhole(int fd, std::string_view bytes) {
    if (bytes.empty()) return noErr;
    ssize_t written;
    do {
        written = ::write(fd, bytes.data(), bytes.size());
    } while (written < 0 && errno == EINTR);
    if (written < 0) return plat::StatusFromErrno(errno);
    // A short write only happens when the disk is full or the file limit is
    // reached; the rest is not sent, as a second write could land apart.
    return std::size_t(written) == bytes.size() ? noErr : ioErr;
}

OSStatus CloseLog(int fd) {
    // No retry on EINTR: on Linux the descriptor is gone either way.
    if (::close(fd) == 0 || errno == EINTR) return noErr;
    return plat::StatusFromErrno(errno);
}

OSStatus FindOrCreateLogItem(const FSRef& parent, const QString& name, bool folder, FSRef* ref,
                             bool* created) {
    if (created) *created = false;
    OSStatus err = FSMakeFSRefUnicode(&parent, name, ref);
    if (err != fnfErr) return err;
    err = folder ? FSCreateDirectoryUnicode(&parent, name, kFSCatInfoNone, nullptr, ref)
                 : FSCreateFileUnicode(&parent, name, kFSCatInfoNone, nullptr, ref);
    // Another process made it meanwhile; that is no failure.
    if (err == dupFNErr) return FSMakeFSRefUnicode(&parent, name, ref);
    if (err == noErr && created) *created = true;
    return err;
}

void LogLock::lock() {
    pthread_rwlock_wrlock(&m_lock);
}

void LogLock::unlock() {
    pthread_rwlock_unlock(&m_lock);
}

void LogLock::lock_shared() {
    pthread_rwlock_rdlock(&m_lock);
}

void LogLock::unlock_shared() {
    pthread_rwlock_unlock(&m_lock);
}
