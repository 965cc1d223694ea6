// loftwise-settings, System Preferences' part: finds the settings panes
// (.prefPane bundles), shows their icons in a grid, and shows one pane at a
// time in its window, driving the pane's life cycle.
//
//   loftwise-settings [--pane ID] [--pane-path PATH]... [--snapshot FILE.png]
//
// Panes come from the paths given (first, so a build's pane wins over an
// installed one with the same identifier) and from the PreferencePanes
// folder. One instance runs per user: a second launch hands its --pane and
// --pane-path to the running one, which shows that pane and comes to the
// front. --snapshot saves the window as a PNG once the pane shows and exits;
// such a launch neither hands over nor listens.
//
// Exit status 0 (also when the pane asked for is not there: the grid shows),
// 1 when the snapshot could not be written, 2 for a usage error.
#pragma once

#include "platform/ui/PreferencePane.h"

#include <QMainWindow>
#include <QString>
#include <QStringList>
#include <memory>
#include <variant>
#include <vector>

class QAction;
class QListWidget;
class QListWidgetItem;
class QVBoxLayout;

class SettingsHost : public QMainWindow {
    Q_OBJECT
public:
    explicit SettingsHost(QWidget* parent = nullptr);
    ~SettingsHost() override;

    // A bundle named on the command line; these come before the installed
    // ones at the next discoverPanes.
    void addPanePath(const QString& path);
    // Finds the panes again and rebuilds the grid. A pane whose object was
    // made already stays as it is.
    void discoverPanes();
    // The identifiers in the grid's order.
    QStringList paneIDs() const;

    // Shows the pane: its object is made and its view loaded first, then the
    // pane shown is left. False, with nothing changed, when there is no such
    // pane or it cannot be made or has no view.
    bool selectPane(const QString& id);
    // Leaves the pane shown, if any, and shows the grid.
    void showAll();
    // The pane shown; null while the grid shows.
    NSPreferencePane* currentPane() const;
    // The pane's object, made on first use; null when id names no pane or
    // its object cannot be made.
    NSPreferencePane* paneObject(const QString& id);

    // Shows the window and brings it to the front, also past a window
    // manager's focus-stealing prevention on X11.
    void bringToFront();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Pane;
    Pane* findPane(const QString& id) const;
    void deselectCurrent();
    void rebuildGrid();
    void fitTo(QWidget* page);

    QStringList m_panePaths;
    std::vector<std::unique_ptr<Pane>> m_panes;
    Pane* m_current = nullptr;
    QAction* m_showAll = nullptr;
    QVBoxLayout* m_pages = nullptr; // the grid and each view; one shows
    QListWidget* m_grid = nullptr;
};

namespace plat::settingshost {

struct Options {
    QString pane;          // --pane ID
    QStringList panePaths; // --pane-path PATH, made absolute
    QString snapshot;      // --snapshot FILE
    QString click;         // --click NAME: a button the snapshot clicks first
};

// The options (arguments without the program's name), or the text of a
// usage error.
std::variant<Options, QString> ParseArguments(const QStringList& args);

// What a second launch sends the running one, and back.
QByteArray EncodeRequest(const Options& options);
std::variant<Options, QString> DecodeRequest(const QByteArray& request);

} // namespace plat::settingshost

int RunSettingsHost(int argc, char** argv);
