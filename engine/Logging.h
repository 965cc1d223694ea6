// The activity log.
#pragma once

void StartLogging();
void StopLogging();
// Opens this destination's log file in the log viewer.
void OpenConsole();
