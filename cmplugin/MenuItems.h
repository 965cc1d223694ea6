// The plug-in's submenu, built anew for every contextual menu from the tree
// the settings pane stores under "MenuItems": the tree flattened into one
// list of entries, each item's command identifier taken from its position,
// and the command records the Contextual Menu Manager reads.
#pragma once

#include "platform/ContextualMenu.h"
#include "platform/PropertyList.h"

#include <QString>
#include <memory>
#include <optional>
#include <vector>

// Command identifiers of the fixed entries and of the tree's entries.
enum : SInt32 {
    kPreferencesCommand = 1008,
    kHelpCommand = 1009,
    kConsoleLogCommand = 1010,
    kGroupCommand = 2000,     // a group entry; never handed to the menu
    kFirstItemCommand = 2001, // the entry at position 0
};

// One flattened entry: an item (name, URL) or a group (name only).
struct MenuItemInfo {
    std::optional<QString> name; // none when the stored name is missing
    std::optional<QString> url;  // none for a group
    SInt32 commandID = 0;        // kFirstItemCommand + position, or kGroupCommand
};
using MenuItemInfoArray = std::vector<MenuItemInfo>;

// The entries of the last menu built, in tree order; none before the first
// build and after a build that found no tree. Read back when a command is
// chosen, so it outlives the menu; replaced by the next build.
extern std::unique_ptr<MenuItemInfoArray> gMenuItemInfoArray;

// Appends one command record (title as 'utxt', identifier, and attributes
// when not 0) to list; the status of the first step that failed, else 0.
OSStatus AddCommandToAEDescList(const QString& title, MenuItemAttributes attributes,
                                SInt32 commandID, AEDescList* list);
// Appends the record of the "LoftwiseCM" submenu holding submenu's commands.
OSStatus AddSubmenu(AEDescList* commandList, const AEDescList* submenu);

// Rebuilds gMenuItemInfoArray from the settings and appends its entries to
// submenu.
void BuildMenu(AEDescList* submenu);
// Appends the entries of a group dictionary (its groups' entries right after
// each group's own entry) to array. Entries of a shape the pane never writes
// are skipped.
void CreateMenuItemInfoArray(const PlistDictionary& group, MenuItemInfoArray& array);
// Fills info with copies of the name and URL (each when given) and the
// identifier index + kGroupCommand; returns the identifier.
SInt32 CreateMenuItemInfo(MenuItemInfo* info, const QString* name, const QString* url,
                          SInt32 index);
// Copies the entry of an item's command identifier; false (info untouched)
// when array is none or holds no such position.
bool GetMenuItemInfo(SInt32 commandID, const MenuItemInfoArray* array, MenuItemInfo* info);
// Releases the array and every string in it; array is none afterwards.
void DisposeMenuItemInfoArray(std::unique_ptr<MenuItemInfoArray>& array);
// Appends one command per entry (group entries as section headers while
// "ShowGroupNames" is on); the number of entries.
int AddMenuItemInfoArrayToCommandList(const MenuItemInfoArray& array, AEDescList* list);
