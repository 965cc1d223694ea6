// LoftwiseConsole FILE...: shows each log file in a window of its own and
// follows it as it grows. A file another viewer shows already is brought to
// the front there instead.
#include "platform/hosts/console/LogViewer.h"

#include "platform/Bundle.h"
#include "platform/ui/Events.h"

#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <memory>
#include <vector>

int main(int argc, char** argv) {
    plat::QuietPlatformNoise();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("LoftwiseConsole"));
    plat::InstallQtTranslations();
    plat::UseBundleIdentity();
    const QStringList files = app.arguments().mid(1);
    if (files.isEmpty()) {
        std::fprintf(stderr, "usage: LoftwiseConsole FILE...\n");
        return 2;
    }
    std::vector<std::unique_ptr<plat::LogViewer>> viewers;
    int existing = 0;
    for (const QString& file : files) {
        if (!QFileInfo(file).isFile()) {
            std::fprintf(stderr, "LoftwiseConsole: %s: no such file\n", qPrintable(file));
            continue;
        }
        ++existing;
        if (auto viewer = plat::LogViewerInstance::OpenOrRaise(file)) {
            viewer->show();
            viewers.push_back(std::move(viewer));
        }
    }
    if (existing == 0) return 1;
    if (viewers.empty()) return 0; // each file was raised in its viewer
    return app.exec();
}
