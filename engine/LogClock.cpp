#include "engine/LogClock.h"

#include "platform/TextEncoding.h"

#include <QLocale>

namespace plat {

namespace {

// Drops the time-zone field ("t" and its longer forms) from a QLocale time
// format, leaving quoted text alone, and tidies the spaces around it.
QString WithoutZone(const QString& format) {
    QString out;
    bool quoted = false;
    for (QChar c : format) {
        if (c == QLatin1Char('\'')) quoted = !quoted;
        if (!quoted && c == QLatin1Char('t')) continue;
        out += c;
    }
    return out.simplified();
}

} // namespace

QString LogTimeString(const QDateTime& when) {
    const QLocale locale = QLocale::system();
    QString format = WithoutZone(locale.timeFormat(QLocale::LongFormat));
    // A locale whose long format lacks seconds still gets them, as the
    // classic service was asked for them.
    if (!format.contains(QLatin1Char('s'))) format = QStringLiteral("HH:mm:ss");
    return locale.toString(when.time(), format);
}

QString LogDateString(const QDateTime& when) {
    return QLocale::system().toString(when.date(), QLocale::LongFormat);
}

std::string MacRomanOrQuestionMarks(const QString& text) {
    std::string out;
    out.reserve(std::size_t(text.size()));
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            ++i; // one mark for the whole character
            out += '?';
            continue;
        }
        const auto byte = UnicodeToMacRoman(c.unicode());
        out += byte ? char(*byte) : '?';
    }
    return out;
}

} // namespace plat
