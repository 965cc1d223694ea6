// loftwise-context-menu, the Contextual Menu Manager's part: loads the
// contextual-menu plug-ins, asks each to examine a context built from the
// command line, and lists, runs or shows the commands they added.
//
//   loftwise-context-menu [--plugin PATH]... [--list [--json] | --choose TITLE |
//                         --service-menu] [--text STRING | FILE...]
//
// Exit status 0 when a list was printed or a command ran (or the menu was
// shown), 1 when no plug-in loaded, no entry matched or nothing could be
// shown or written, 2 for a usage error.
#pragma once

#include "platform/ContextualMenu.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace plat::cmhost {

// One entry of the menu the plug-ins added, read back from its record.
struct MenuEntry {
    QString title;
    SInt32 commandID = 0;
    MenuItemAttributes attributes = 0;
    bool isSubmenu = false;
    std::vector<MenuEntry> submenu;
    int owner = -1; // the plug-in instance that added it

    // Submenus, separators and section headers are not commands; neither is
    // an entry the user could not choose in the menu.
    bool isCommand() const {
        return !isSubmenu && !(attributes & (kMenuItemAttrSeparator | kMenuItemAttrSectionHeader |
                                             kMenuItemAttrDisabled));
    }
};
using Menu = std::vector<MenuEntry>;

// The records of a command list, submenus read recursively; items that are
// not records are skipped.
Menu ReadCommandList(const AEDescList& list, int owner);

// --list: one line per entry, depth first, two spaces per submenu level.
QByteArray ListText(const Menu& menu);
// --list --json: [{"title", "id", "attributes", "submenu"}...].
QByteArray ListJson(const Menu& menu);
// The first command, depth first, with that title; null when none.
const MenuEntry* FindCommand(const Menu& menu, const QString& title);

// The Dolphin service menu: one action per command title (the first of equal
// titles, which is the one --choose runs), running hostPath --choose TITLE %F.
QByteArray ServiceMenuText(const Menu& menu, const QString& hostPath);
// One Exec argument quoted by the desktop-entry rules (before the value's own
// escapes, which ServiceMenuText applies to the whole line).
QString DesktopExecArgument(const QString& argument);
// "${XDG_DATA_HOME:-~/.local/share}/kio/servicemenus/loftwise-cm.desktop"
QString ServiceMenuPath();

enum class WriteResult { Unchanged, Written, Failed };
// Replaces the file atomically (temporary file, fsync, rename) with the mode,
// unless it holds these bytes already.
WriteResult WriteFileIfChanged(const QString& path, const QByteArray& bytes, unsigned mode);

enum class Mode { Show, List, ListJson, Choose, ServiceMenu };

struct Options {
    Mode mode = Mode::Show;
    QStringList plugIns;
    QString title;                   // --choose
    std::optional<std::string> text; // --text, as given
    std::vector<std::string> files;  // the file system's bytes, as given
};
// The options, or the text of a usage error.
std::variant<Options, QString> ParseArguments(const std::vector<std::string>& args);

int RunContextMenuHost(int argc, char** argv);

} // namespace plat::cmhost
