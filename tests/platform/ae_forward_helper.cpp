// A second launch for the delivery tests: takes the bundle whose identity it
// shares with the test process, then the files to open. Prints "forwarded",
// or "primary <socket mode> <socket path>" when it became the instance.
#include "platform/AppleEventDelivery.h"
#include "platform/Bundle.h"

#include <QCoreApplication>
#include <QFile>
#include <cstdio>
#include <sys/stat.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    if (args.isEmpty()) {
        std::fprintf(stderr, "usage: ae_forward_helper BUNDLE [FILE...]\n");
        return 2;
    }
    plat::SetMainBundlePath(args.takeFirst());
    if (plat::StartAppleEventDelivery(args) == plat::LaunchRole::Forwarded) {
        std::printf("forwarded\n");
        return 0;
    }
    const QString socket = plat::InstanceSocketPath();
    struct stat st {};
    if (stat(QFile::encodeName(socket).constData(), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        std::printf("primary none %s\n", socket.toUtf8().constData());
        return 0;
    }
    std::printf("primary %o %s\n", unsigned(st.st_mode & 0777), socket.toUtf8().constData());
    return 0;
}
