// The stored settings of every copy, listed into the log or cleared.
#include "app/WicketList.h"

#include "app/AppLog.h"
#include "platform/Alias.h"
#include "platform/Preferences.h"
#include "platform/ui/Dialogs.h"
#include "toolkit/CString256.h"
#include "toolkit/Utilities.h"

namespace {
const QString kLoginItems = QStringLiteral("LoginItems");
}

void ShowWickets() {
    OpenConsole();
    LogEntry(" ", true);
    LogEntry("Wickets: ", true);
    auto value = CFPreferencesCopyAppValue(kLoginItems, kCFPreferencesCurrentApplication);
    const PlistArray* items = value ? value->asArray() : nullptr;
    if (!items) return;
    SInt32 index = 0;
    for (const PlistValue& item : *items) {
        CString256 line("Wicket ");
        line += index++;
        LogEntry(line, true);
        const PlistDictionary* entry = item.asDictionary();
        if (!entry) {
            LogEntry(" ", true);
            continue;
        }
        const PlistValue* alias = item.find(QStringLiteral("AliasData"));
        const QByteArray* bytes = alias ? alias->asData() : nullptr;
        if (bytes && !bytes->isEmpty()) {
            FSRef target;
            Boolean changed = false;
            UInt8 path[1023];
            if (FSResolveAlias(nullptr, *bytes, &target, &changed) == noErr &&
                FSRefMakePath(&target, path, sizeof path) == noErr)
                LogEntry(reinterpret_cast<const char*>(path), true);
        }
        for (const auto& [key, v] : *entry) {
            const QString* text = v.asString();
            if (!text) continue;
            CString256 keyValue(key);
            keyValue += ": ";
            keyValue += *text;
            LogEntry(keyValue, true);
        }
        LogEntry(" ", true);
    }
}

void ClearWickets() {
    OpenConsole();
    LogEntry("Clearing Wickets...", true);
    SysBeep(30);
    AlertStdCFStringAlertParamRec params;
    GetStandardAlertDefaultParams(&params, kStdCFStringAlertVersionOne);
    params.defaultText = kAlertDefaultOKText;
    params.defaultButton = kAlertStdAlertOKButton;
    params.cancelText = kAlertDefaultCancelText;
    params.cancelButton = kAlertStdAlertCancelButton;
    DialogRef alert = nullptr;
    if (CreateStandardAlert(
            kAlertStopAlert,
            LocalizedString(QStringLiteral("Are you sure you want to clear all current wickets?")),
            LocalizedString(QStringLiteral("This action can not be undone.")), &params,
            &alert) != noErr)
        return;
    DialogItemIndex hit = 0;
    RunStandardAlert(alert, nullptr, &hit);
    if (hit == kAlertStdAlertOKButton) {
        CFPreferencesSetAppValue(kLoginItems, std::nullopt, kCFPreferencesCurrentApplication);
        CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
        LogEntry("Wickets cleared.", true);
    } else {
        LogEntry("Cancelled.", true);
    }
}
