// The plug-in's activity log: "LoftwiseCM.log" directly in the user's logs
// folder.
#pragma once

#include "engine/Logging.h"

// Opens LoftwiseCM.log (made when missing) as the current log.
void StartLogging();
// Writes the stop line and closes the log.
void StopLogging();
// Opens the named file of the user's logs folder in the log viewer when it
// exists; creates nothing.
void OpenConsole(const QString& fileName);
