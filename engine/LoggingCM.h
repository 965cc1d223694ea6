// The plug-in's activity log: "LoftwiseCM.log" directly in the user's logs
// folder. Plain Mac Roman text with CR line ends, only ever appended to.
#pragma once

#include "platform/MacTypes.h"

#include <QString>
#include <QStringList>

// The open log's descriptor, 0 meaning none (it returns to 0 when closed).
extern int fileRefNum;

void StartLogging();
// Writes the stop line and closes the log; the status of the close.
OSStatus StopLogging();
// Appends text (Mac Roman) as one entry, with a CR when addLineEnd is set.
// Control characters in it are escaped, so an entry is always one line.
// An entry whose Mac Roman form exceeds 255 bytes is dropped whole. Safe from
// any thread; does nothing when no log is open.
void LogEntry(const char* text, bool addLineEnd);
// As LogEntry with a line end, for a platform string; dropped whole when it
// has a character Mac Roman lacks.
void LogEntryCFString(const QString& text);
// The format filled with the values (their control characters escaped) as
// one entry with a line end; the format's own line feeds stay, as in the
// date line ahead of an upload. Characters Mac Roman lacks show as '?'.
void LogEntryFormat(const QString& format, const QStringList& values);
// Appends the terminated text's bytes as one write; 0 when no log is open.
OSStatus Write_Entry(const char* text);
// Opens the named file of the user's logs folder in the log viewer when it
// exists; creates nothing.
void OpenConsole(const QString& fileName);
