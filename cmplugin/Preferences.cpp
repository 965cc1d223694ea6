#include "cmplugin/Preferences.h"

#include "cmplugin/Utils.h"
#include "platform/Preferences.h"

namespace {

// The plug-in's switches count as on until the pane stores them off.
Boolean PluginSwitch(const char* key) {
    return plat::ReadSwitch(QString::fromLatin1(kLoftwiseCMIdentifier), QString::fromLatin1(key),
                            true);
}

} // namespace

Boolean ShowPreferences() {
    return PluginSwitch("ShowPreferences");
}
Boolean ShowHelp() {
    return PluginSwitch("ShowHelp");
}
Boolean ShowGroupNames() {
    return PluginSwitch("ShowGroupNames");
}
Boolean OpenConsoleLog() {
    return PluginSwitch("OpenConsoleLog");
}
Boolean ShouldLogDirectoryListing() {
    return PluginSwitch("DisplayDirectoryListing");
}
Boolean ShouldZipCompressFolders() {
    return PluginSwitch("ZipCompressFolders");
}
