// The system log: syslog(3) and standard error, one whole line each.
#pragma once

#include <QString>

// Logs the message (a line, without its end) under the program's name.
void NSLog(const QString& message);
