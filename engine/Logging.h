// The activity log: UTF-8 text with LF line ends, only ever appended to, so
// cat, less and grep read it as the log viewer does. Each program opens its
// own file (the droplet one per destination, the plug-in LoftwiseCM.log) and
// makes it the current log; the engine's lines go to the current log.
#pragma once

#include "platform/MacTypes.h"

#include <QString>
#include <QStringList>
#include <memory>
#include <string>
#include <string_view>

// One log file. A log whose file did not open ignores every write.
class CLog {
public:
    // The framing lines read "<program> <startVerb> logging at <time> on <date>."
    CLog(QString program, QString startVerb, QString stopVerb);
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Opens the file at path (it must exist) and writes the start line.
    OSStatus OpenLogFile(const std::string& path);
    // Appends the bytes as one write; 0 when no file is open.
    OSStatus Write_Entry(std::string_view bytes);
    // Writes the stop line and closes the file; 0 when none is open.
    OSStatus CloseLogFile();

    int RefNum() const { return m_refNum; }

private:
    std::string FramingLine(const QString& verb) const;

    QString m_program, m_startVerb, m_stopVerb;
    int m_refNum = 0;
};

// Makes log the current log (null: logging off). The one it replaces is
// closed with its stop line, after every write in progress has ended.
void SetCurrentLog(std::unique_ptr<CLog> log);
bool HasCurrentLog();

// Appends UTF-8 text as one entry, with a line end when addLineEnd is set.
// Control characters in it are escaped, so an entry is always one line.
// Safe from any thread; does nothing when no log is open.
void LogEntry(const char* text, bool addLineEnd);
// The same for a platform string, with a line end.
void LogLine(const QString& text);
// The format filled with the values (their control characters escaped) as
// one entry with a line end; the format's own line feeds stay, as in the
// date line ahead of an upload.
void LogEntryFormat(const QString& format, const QStringList& values);
