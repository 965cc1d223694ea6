#include "cmplugin/Preferences.h"

#include "cmplugin/Utils.h"
#include "platform/Preferences.h"

namespace {

Boolean ReadSwitch(const char* key) {
    const QString domain = QString::fromLatin1(kLoftwiseCMIdentifier);
    CFPreferencesAppSynchronize(domain);
    const std::optional<PlistValue> value =
        CFPreferencesCopyAppValue(QString::fromLatin1(key), domain);
    if (!value || !value->asBoolean()) return true;
    return *value->asBoolean();
}

} // namespace

Boolean ShowPreferences() {
    return ReadSwitch("ShowPreferences");
}
Boolean ShowHelp() {
    return ReadSwitch("ShowHelp");
}
Boolean ShowGroupNames() {
    return ReadSwitch("ShowGroupNames");
}
Boolean OpenConsoleLog() {
    return ReadSwitch("OpenConsoleLog");
}
Boolean ShouldLogDirectoryListing() {
    return ReadSwitch("DisplayDirectoryListing");
}
Boolean ShouldZipCompressFolders() {
    return ReadSwitch("ZipCompressFolders");
}
