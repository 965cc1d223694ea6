// The system log: syslog(3) under the program's name, and standard error.
#include "platform/SystemLog.h"

#include <cerrno>
#include <mutex>
#include <syslog.h>
#include <unistd.h>

void NSLog(const QString& message) {
    static std::once_flag opened;
    // openlog keeps the pointer; the program's name lives as long as the process.
    std::call_once(opened, [] { openlog(program_invocation_short_name, LOG_PID, LOG_USER); });

    // One entry is one line: a line break inside would let the text pass
    // for entries of its own.
    QString line = message;
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    const QByteArray utf8 = line.toUtf8();
    syslog(LOG_NOTICE, "%s", utf8.constData());

    // One write, so lines from several threads never interleave.
    const QByteArray whole = QByteArray(program_invocation_short_name) + '[' +
                             QByteArray::number(qint64(getpid())) + "] " + utf8 + '\n';
    for (qsizetype done = 0; done < whole.size();) {
        const ssize_t n =
            ::write(STDERR_FILENO, whole.constData() + done, size_t(whole.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
}

QString plat::FillFormat(const QString& format, const QStringList& arguments) {
    QString out;
    out.reserve(format.size() + 32);
    qsizetype next = 0;
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c != u'%' || i + 1 >= format.size()) {
            out += c;
            continue;
        }
        if (format[i + 1] == u'%') {
            out += u'%';
            ++i;
            continue;
        }
        // "%ld" and "%lld" take a value as "%d" does.
        qsizetype j = i + 1;
        while (j < format.size() && format[j] == u'l')
            ++j;
        const QChar conversion = j < format.size() ? format[j] : QChar();
        if ((conversion == u'@' || conversion == u'd' || conversion == u'f') &&
            next < arguments.size()) {
            out += arguments[next++];
            i = j;
        } else {
            out += c;
        }
    }
    return out;
}
