// The droplet's activity log: one file per destination (host and server
// folder) in the "Loftwise" folder of the user's logs folder. Plain Mac Roman
// text with CR line ends, only ever appended to.
#pragma once

#include "platform/MacTypes.h"
#include "toolkit/CString256.h"

// The logger of one logging period. It holds the open file's descriptor, 0
// meaning none; a logger whose file did not open ignores every write.
class CLog {
public:
    CLog() = default;
    ~CLog();
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;

    // Opens (creating when missing) the named file in the Loftwise logs
    // folder and writes the start line.
    OSStatus OpenLogFile(const CString256& fileName);
    // Appends the text's bytes as one write; 0 when no file is open.
    OSStatus Write_Entry(const CString256& text);
    // Writes the stop line and closes the file; 0 when none is open.
    OSStatus CloseLogFile();

    int RefNum() const { return m_refNum; }

private:
    int m_refNum = 0;
};

// The current logger, or null when logging is off.
extern CLog* gLogger;

void StartLogging();
void StopLogging();
// Appends text (Mac Roman, unchanged but for control characters, which are
// escaped) as one entry, with a CR when addLineEnd is set. Safe from any thread; does nothing when
// no log is open.
void LogEntry(const char* text, bool addLineEnd);
// Opens this destination's log file in the log viewer.
void OpenConsole();

// Held while a line is written in several entries, so that no other
// thread's entry lands inside it.
class LogLineGuard {
public:
    LogLineGuard();
    ~LogLineGuard();
    LogLineGuard(const LogLineGuard&) = delete;
    LogLineGuard& operator=(const LogLineGuard&) = delete;
};

// "Loftwise-" + host + folder path + ".log" as the droplet names its log
// (Mac Roman, at most 255 bytes); the host is left out when absent.
CString256 AppLogFileName(bool* hostExists = nullptr);

// The name as it is stored on disk: each "/" shown as ":", cut (at a whole
// character) to what one file name can hold.
QString AppLogDiskName(const CString256& fileName);
