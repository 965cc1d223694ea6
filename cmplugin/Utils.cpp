#include "cmplugin/Utils.h"

#include <QDateTime>
#include <QLocale>

std::optional<QString> CurrentDateString() {
    const QString text =
        QLocale::system().toString(QDateTime::currentDateTime(), QLocale::LongFormat);
    if (text.isEmpty()) return std::nullopt;
    return text;
}
