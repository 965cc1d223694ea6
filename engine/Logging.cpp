#include "engine/Logging.h"

#include "engine/LogSupport.h"
#include "platform/SystemLog.h"

#include <QDateTime>
#include <mutex>
#include <shared_mutex>

namespace {

// Writers hold it shared while they use the current log, so a replacement
// (exclusive) never closes a file under a worker's write.
LogLock gLogLock;
CLog* gCurrentLog = nullptr;

void Write(std::string_view bytes) {
    std::shared_lock lock(gLogLock);
    if (gCurrentLog) gCurrentLog->Write_Entry(bytes);
}

} // namespace

CLog::CLog(QString program, QString startVerb, QString stopVerb)
    : m_program(std::move(program)), m_startVerb(std::move(startVerb)),
      m_stopVerb(std::move(stopVerb)) {}

CLog::~CLog() {
    if (m_refNum > 0) CloseLog(m_refNum);
}

std::string CLog::FramingLine(const QString& verb) const {
    const QDateTime now = QDateTime::currentDateTime();
    return QStringLiteral("%1 %2 logging at %3 on %4.\n")
        .arg(m_program, verb, LogTimeString(now), LogDateString(now))
        .toStdString();
}

OSStatus CLog::OpenLogFile(const std::string& path) {
    if (m_refNum > 0) return noErr;
    OSStatus err = noErr;
    m_refNum = OpenLogForAppend(path, &err);
    if (err) return err;
    return AppendWhole(m_refNum, FramingLine(m_startVerb));
}

OSStatus CLog::Write_Entry(std::string_view bytes) {
    if (m_refNum <= 0) return noErr;
    return AppendWhole(m_refNum, bytes);
}

OSStatus CLog::CloseLogFile() {
    if (m_refNum <= 0) return noErr;
    AppendWhole(m_refNum, FramingLine(m_stopVerb));
    const OSStatus err = CloseLog(m_refNum);
    m_refNum = 0;
    return err;
}

void SetCurrentLog(std::unique_ptr<CLog> log) {
    CLog* previous;
    {
        std::unique_lock lock(gLogLock);
        previous = gCurrentLog;
        gCurrentLog = log.release();
    }
    if (!previous) return;
    previous->CloseLogFile();
    delete previous;
}

bool HasCurrentLog() {
    std::shared_lock lock(gLogLock);
    return gCurrentLog && gCurrentLog->RefNum() > 0;
}

void LogEntry(const char* text, bool addLineEnd) {
    if (!text) return;
    // A control character in a name must not start a line of its own.
    std::string entry = EscapeControlCharacters(std::string_view(text));
    if (addLineEnd) entry += '\n';
    Write(entry);
}

void LogLine(const QString& text) {
    Write((EscapeControlCharacters(text) + QLatin1Char('\n')).toStdString());
}

void LogEntryFormat(const QString& format, const QStringList& values) {
    QStringList shown;
    for (const QString& value : values)
        shown << EscapeControlCharacters(value);
    Write((plat::FillFormat(format, shown) + QLatin1Char('\n')).toStdString());
}
