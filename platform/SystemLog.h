// The system log: syslog(3) and standard error, one whole line each.
#pragma once

#include <QString>
#include <QStringList>

// Logs the message (a line, without its end) under the program's name.
void NSLog(const QString& message);

namespace plat {

// The format with each conversion %@, %d (also %ld, %lld) or %f replaced in
// order by the next
// argument ("%%" gives "%"); a conversion without an argument stays as it
// is. Nothing else in the format is interpreted, so a translated text can
// never make a call read arguments it was not given.
QString FillFormat(const QString& format, const QStringList& arguments);

} // namespace plat
