// The activity log's helpers: the time and date of its start and stop
// lines, escaping, finding or making its file, and whole-entry appends.
#pragma once

#include "platform/Files.h"
#include "platform/MacTypes.h"

#include <QDateTime>
#include <QString>
#include <pthread.h>
#include <string>
#include <string_view>

// The time of day with seconds in the locale's long time format, less any
// time-zone field (e.g. "6:56:45 AM" or "06:56:45").
QString LogTimeString(const QDateTime& when);

// The locale's long date (e.g. "Monday, December 7, 2026").
QString LogDateString(const QDateTime& when);

// The text with each control character (below 0x20, and 0x7F) written as an
// escape: \r, \n, \t, else \xNN. A name holding a line end then cannot
// start a line of its own. A backslash stays as it is: entries stay readable,
// and no text can make a line end appear. Stops before the escape or byte that
// would pass limit bytes.
std::string EscapeControlCharacters(std::string_view text, std::size_t limit = std::string::npos);
QString EscapeControlCharacters(const QString& text);

// Looks name up in parent, creating it (a folder or an empty file) when
// missing; *created (when not null) tells whether this call made it.
OSStatus FindOrCreateLogItem(const FSRef& parent, const QString& name, bool folder, FSRef* ref,
                             bool* created = nullptr);

// Opens an existing file for appending. The descriptor is never 0, 1 or 2,
// so 0 can mean "no file"; 0 and the status on failure.
int OpenLogForAppend(const std::string& path, OSStatus* status);

// Appends the bytes with one write on the O_APPEND descriptor, so entries
// from many threads (or processes) each land whole at the end of the file.
OSStatus AppendWhole(int fd, std::string_view bytes);

// Closes the descriptor; the status of the close.
OSStatus CloseLog(int fd);

// Guards a log's descriptor: writers share it, opening and closing take it
// alone. A waiting opener or closer goes before new writers, so threads
// that log without pause cannot hold off StopLogging for ever (the default
// reader-writer lock lets them). Usable with std::shared_lock/unique_lock.
class LogLock {
public:
    LogLock() = default;
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;

    void lock();
    void unlock();
    void lock_shared();
    void unlock_shared();

private:
    // Statically initialised and never destroyed: detached workers may still
    // log while the process exits.
    pthread_rwlock_t m_lock = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
};
