#include "cmplugin/MenuItems.h"

#include "cmplugin/Preferences.h"
#include "cmplugin/Utils.h"
#include "platform/Preferences.h"

#include <cstring>

std::unique_ptr<MenuItemInfoArray> gMenuItemInfoArray;

namespace {

const QString kGroupKey = QStringLiteral("Group");
const QString kEntriesKey = QStringLiteral("Entries");

// The item's name and URL: an array whose first two elements are strings.
bool ReadItem(const PlistArray& item, const QString** name, const QString** url) {
    if (item.size() < 2) return false;
    *name = item[0].asString();
    *url = item[1].asString();
    return *name && *url;
}

} // namespace

OSStatus AddCommandToAEDescList(const QString& title, MenuItemAttributes attributes,
                                SInt32 commandID, AEDescList* list) {
    AERecord record;
    OSStatus err = AECreateList(nullptr, 0, true, &record);
    if (err != noErr) return err;
    err = AEPutParamPtr(&record, keyContextualMenuName, typeUnicodeText, title.utf16(),
                        Size(title.size()) * 2);
    if (err == noErr)
        err = AEPutParamPtr(&record, keyContextualMenuCommandID, typeSInt32, &commandID,
                            sizeof commandID);
    if (err == noErr && attributes != 0) {
        const SInt32 mask = SInt32(attributes);
        err = AEPutParamPtr(&record, keyContextualMenuAttributes, typeSInt32, &mask, sizeof mask);
    }
    if (err == noErr) err = AEPutDesc(list, 0, &record);
    AEDisposeDesc(&record);
    return err;
}

OSStatus AddSubmenu(AEDescList* commandList, const AEDescList* submenu) {
    // The title as a length-prefixed 8-bit string, handed over without its
    // length byte.
    UInt8 title[256] = {};
    constexpr char kTitle[] = "LoftwiseCM";
    title[0] = UInt8(sizeof kTitle - 1);
    std::memcpy(title + 1, kTitle, title[0]);
    const SInt32 noAttributes = 0;

    AERecord record;
    OSStatus err = AECreateList(nullptr, 0, true, &record);
    if (err != noErr) return err;
    err = AEPutParamPtr(&record, keyContextualMenuName, typeChar, title + 1, title[0]);
    if (err == noErr)
        err = AEPutParamPtr(&record, keyContextualMenuAttributes, typeSInt32, &noAttributes,
                            sizeof noAttributes);
    if (err == noErr) err = AEPutParamDesc(&record, keyContextualMenuSubmenu, submenu);
    if (err == noErr) err = AEPutDesc(commandList, 0, &record);
    AEDisposeDesc(&record);
    return err;
}

void BuildMenu(AEDescList* submenu) {
    if (gMenuItemInfoArray) DisposeMenuItemInfoArray(gMenuItemInfoArray);
    const QString domain = QString::fromLatin1(kLoftwiseCMIdentifier);
    CFPreferencesAppSynchronize(domain);
    const std::optional<PlistValue> root =
        CFPreferencesCopyAppValue(QStringLiteral("MenuItems"), domain);
    // The pane writes a dictionary; anything else is no tree at all.
    const PlistDictionary* tree = root ? root->asDictionary() : nullptr;
    if (!tree) return;
    gMenuItemInfoArray = std::make_unique<MenuItemInfoArray>();
    CreateMenuItemInfoArray(*tree, *gMenuItemInfoArray);
    AddMenuItemInfoArrayToCommandList(*gMenuItemInfoArray, submenu);
}

void CreateMenuItemInfoArray(const PlistDictionary& group, MenuItemInfoArray& array) {
    const auto found = group.find(kEntriesKey);
    if (found == group.end()) return;
    const PlistArray* entries = found->second.asArray();
    if (!entries) return;
    for (const PlistValue& entry : *entries) {
        if (const PlistArray* item = entry.asArray()) {
            const QString *name = nullptr, *url = nullptr;
            if (!ReadItem(*item, &name, &url)) continue;
            MenuItemInfo info;
            CreateMenuItemInfo(&info, name, url, SInt32(array.size()) + 1);
            array.push_back(std::move(info));
        } else if (const PlistDictionary* subgroup = entry.asDictionary()) {
            const auto groupName = subgroup->find(kGroupKey);
            const QString* name =
                groupName == subgroup->end() ? nullptr : groupName->second.asString();
            if (!name) continue;
            MenuItemInfo info;
            CreateMenuItemInfo(&info, name, nullptr, 0);
            array.push_back(std::move(info));
            CreateMenuItemInfoArray(*subgroup, array);
        }
        // Bare strings, numbers and the like are not entries of the menu.
    }
}

SInt32 CreateMenuItemInfo(MenuItemInfo* info, const QString* name, const QString* url,
                          SInt32 index) {
    info->name = name ? std::optional<QString>(*name) : std::nullopt;
    info->url = url ? std::optional<QString>(*url) : std::nullopt;
    info->commandID = index + kGroupCommand;
    return info->commandID;
}

bool GetMenuItemInfo(SInt32 commandID, const MenuItemInfoArray* array, MenuItemInfo* info) {
    if (!array || commandID < kFirstItemCommand) return false;
    const auto position = std::size_t(commandID - kFirstItemCommand);
    if (position >= array->size()) return false;
    *info = (*array)[position];
    return true;
}

void DisposeMenuItemInfoArray(std::unique_ptr<MenuItemInfoArray>& array) {
    array.reset();
}

int AddMenuItemInfoArrayToCommandList(const MenuItemInfoArray& array, AEDescList* list) {
    const bool showGroupNames = ShowGroupNames();
    for (const MenuItemInfo& info : array) {
        const QString title = info.name.value_or(QString());
        if (info.commandID == kGroupCommand) {
            if (showGroupNames) AddCommandToAEDescList(title, kMenuItemAttrSectionHeader, 0, list);
        } else {
            AddCommandToAEDescList(title, 0, info.commandID, list);
        }
    }
    return int(array.size());
}
