// The droplet's activity log: one file per destination (host and server
// folder) in the "Loftwise" folder of the user's logs folder.
#pragma once

#include "engine/Logging.h"
#include "toolkit/CString256.h"

// Opens this destination's log as the current log (none without a host or
// folder); an earlier one is closed first.
void StartLogging();
void StopLogging();
// Opens this destination's log file in the log viewer.
void OpenConsole();

// "Loftwise-" + host + folder path + ".log" as the droplet names its log
// (at most 255 bytes); the host is left out when absent.
CString256 AppLogFileName(bool* hostExists = nullptr);

// The name as it is stored on disk: each "/" shown as ":", cut (at a whole
// character) to what one file name can hold.
QString AppLogDiskName(const CString256& fileName);
