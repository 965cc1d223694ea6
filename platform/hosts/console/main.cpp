// LoftwiseConsole FILE...: shows each log file in a window of its own and
// follows it as it grows.
#include "platform/hosts/console/LogViewer.h"

#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("LoftwiseConsole"));
    const QStringList files = app.arguments().mid(1);
    if (files.isEmpty()) {
        std::fprintf(stderr, "usage: LoftwiseConsole FILE...\n");
        return 2;
    }
    std::vector<std::unique_ptr<plat::LogViewer>> viewers;
    for (const QString& file : files) {
        if (!QFileInfo(file).isFile()) {
            std::fprintf(stderr, "LoftwiseConsole: %s: no such file\n", qPrintable(file));
            continue;
        }
        viewers.push_back(std::make_unique<plat::LogViewer>(file));
        viewers.back()->show();
    }
    if (viewers.empty()) return 1;
    return app.exec();
}
