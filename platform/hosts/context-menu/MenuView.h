// What the user chooses from: a popup menu at the pointer where the pointer
// position can be had (X11), else a small chooser window with the same
// entries. Needs a QApplication.
#pragma once

#include "platform/hosts/context-menu/ContextMenuHost.h"

namespace plat::cmhost {

struct ViewResult {
    const MenuEntry* chosen = nullptr; // null: cancelled, or a snapshot was taken
    bool snapshotFailed = false;
};

// Shows the menu and waits for a choice. With snapshotPath, renders the popup
// with its first submenus opened to a PNG there instead and chooses nothing.
ViewResult ShowMenu(const Menu& menu, const QString& snapshotPath);

} // namespace plat::cmhost
