// Time and date for the start and stop lines of the activity logs, in the
// user's locale, as the classic time-string (with seconds) and long-date
// services gave them.
#pragma once

#include <QDateTime>
#include <QString>
#include <string>

namespace plat {

// The time of day with seconds in the locale's long time format, less any
// time-zone field (e.g. "6:56:45 AM" or "06:56:45").
QString LogTimeString(const QDateTime& when);

// The locale's long date (e.g. "Monday, December 7, 2026").
QString LogDateString(const QDateTime& when);

// Mac Roman bytes of a text, with '?' for each character Mac Roman lacks.
std::string MacRomanOrQuestionMarks(const QString& text);

} // namespace plat
