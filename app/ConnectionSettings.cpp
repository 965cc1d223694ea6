#include "app/ConnectionSettings.h"

#include "app/AppHost.h"
#include "app/ControlText.h"
#include "platform/Alias.h"
#include "platform/Bundle.h"
#include "platform/Keychain.h"
#include "platform/Preferences.h"
#include "platform/TextEncoding.h"
#include "platform/ui/Dialogs.h"
#include "toolkit/CString256.h"
#include "toolkit/Utilities.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

WindowRef gPreferencesWindow = nullptr;
ControlRef gQuitWhenDoneCheckbox = nullptr;
ControlRef gZipFoldersCheckbox = nullptr;
ControlRef gUsernameEditText = nullptr;
ControlRef gPasswordEditText = nullptr;
ControlRef gHostEditText = nullptr;
ControlRef gFolderEditText = nullptr;
ControlRef gLockedNote = nullptr;

namespace {

const QString kLoginItems = QStringLiteral("LoginItems");
const QString kAliasData = QStringLiteral("AliasData");
const char kKeychainService[] = "Loftwise";

WindowRef gSheetOwner = nullptr;
std::function<void()> gSettingsChanged;

// A worker thread reads the settings it was started with, never the widgets.

// A line of the hard-coded resource that was refused: the fields are locked,
// so no transfer can go ahead with what is left of them.
QString gPresetTrouble;
// The keychain could not give the password at start-up (other than having no
// item): while the password field still holds what it held then, there is no
// password to send.
OSStatus gKeychainStatus = noErr;
QString gPasswordAtKeychainFailure;

bool OnMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

// The fields belong to the main thread; transfers get a copy made there.
std::optional<QString> FieldText(ControlRef field) {
    if (!OnMainThread()) return std::nullopt;
    return GetEditTextAsCFString(field);
}

// Index of this copy's entry in LoginItems, or -1.
int FindThisCopysEntry(const PlistArray& items, const FSRef& bundle) {
    for (std::size_t i = 0; i < items.size(); ++i) {
        const PlistValue* alias = items[i].find(kAliasData);
        const QByteArray* bytes = alias ? alias->asData() : nullptr;
        if (!bytes || bytes->isEmpty()) continue;
        FSRef resolved;
        Boolean changed = false;
        if (FSResolveAlias(&bundle, *bytes, &resolved, &changed) != noErr) continue;
        if (FSCompareFSRefs(&resolved, &bundle) == noErr) return int(i);
    }
    return -1;
}

PlistArray ReadLoginItems() {
    auto value = CFPreferencesCopyAppValue(kLoginItems, kCFPreferencesCurrentApplication);
    if (value && value->asArray()) return *value->asArray();
    return {};
}

void StoreSwitch(const QString& key, ControlRef checkbox) {
    CFPreferencesSetAppValue(key, PlistValue::boolean(GetControl32BitValue(checkbox) != 0),
                             kCFPreferencesCurrentApplication);
    CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
}

void FindControl(SInt32 id, ControlRef* global) {
    ControlID cid{FourCC("CNTL"), id};
    GetControlByID(gPreferencesWindow, &cid, global);
}

// What the user calls each field, for refusals.
QString FieldName(ControlRef field) {
    if (field == gHostEditText) return LocalizedString(QStringLiteral("host"));
    if (field == gUsernameEditText) return LocalizedString(QStringLiteral("user name"));
    if (field == gPasswordEditText) return LocalizedString(QStringLiteral("password"));
    return LocalizedString(QStringLiteral("server folder"));
}

// C0 controls and DEL: an FTP command line cannot carry them, and a property
// list cannot hold most of them.
bool HoldsControlCharacter(const QString& text) {
    for (QChar c : text)
        if (plat::IsControlCharacter(c.unicode())) return true;
    return false;
}

// A keychain item holds its account and password as at most 255 bytes of
// Mac Roman; anything else would be stored cut, empty, or not at all.
bool KeychainCanHold(const QString& text) {
    return text.isEmpty() || *CString256(text).c_str();
}

// Why these settings cannot be stored; nullopt when they can. (field, text)
// pairs in the order host, user name, password, folder.
std::optional<QString> RefuseSettings(const std::vector<std::pair<ControlRef, QString>>& fields,
                                      const QString& where) {
    for (const auto& [field, text] : fields)
        if (HoldsControlCharacter(text))
            return LocalizedString(
                       QStringLiteral("The %1%2 holds a control character (such as a tab or a "
                                      "line break), which cannot be sent to an FTP server."))
                .arg(FieldName(field), where);
    QString host, user, password;
    for (const auto& [field, text] : fields) {
        if (field == gHostEditText) host = text;
        if (field == gUsernameEditText) user = text;
        if (field == gPasswordEditText) password = text;
    }
    if (!password.isEmpty() &&
        !(KeychainCanHold(host) && KeychainCanHold(user) && KeychainCanHold(password)))
        return LocalizedString(QStringLiteral("The keychain cannot keep the password%1: host, "
                                              "user name and password must each fit in 255 "
                                              "bytes of Mac Roman text."))
            .arg(where);
    return std::nullopt;
}

// format holds %1 for the keychain's reason.
QString KeychainTroubleText(const QString& format, OSStatus status) {
    return LocalizedString(format).arg(
        plat::PlatformText(QString::fromStdString(plat::KeychainStatusText(status))));
}

// The main thread's answer to GetSettingsTrouble.
std::optional<QString> CurrentSettingsTrouble() {
    if (!gPresetTrouble.isEmpty()) return gPresetTrouble;
    if (gKeychainStatus != noErr &&
        GetEditTextAsCFString(gPasswordEditText).value_or(QString()) == gPasswordAtKeychainFailure)
        return KeychainTroubleText(
            QStringLiteral("The password could not be read from the keychain: %1"),
            gKeychainStatus);
    return std::nullopt;
}

// Lines split at any run of CR and LF, so empty lines do not count.
QList<QByteArray> SplitLines(const QByteArray& text) {
    QList<QByteArray> lines;
    qsizetype start = -1;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        const bool end = i == text.size() || text[i] == '\r' || text[i] == '\n';
        if (!end && start < 0) start = i;
        if (end && start >= 0) {
            lines << text.mid(start, i - start);
            start = -1;
        }
    }
    return lines;
}

} // namespace

std::optional<QString> GetPathToAppBundle(FSRef* bundleRef) {
    CFBundleRef bundle = CFBundleGetMainBundle();
    if (!bundle) return std::nullopt;
    const QString path = CFBundleGetPath(bundle);
    if (path.isEmpty()) return std::nullopt;
    FSRef ref;
    if (FSPathMakeRef(path.toUtf8().constData(), &ref, nullptr) != noErr) return std::nullopt;
    if (bundleRef) *bundleRef = ref;
    return path;
}

bool SaveStringPreference(const QString& key, const QString& value) {
    FSRef bundle;
    if (!GetPathToAppBundle(&bundle)) return false;
    // One read-modify-write under the store's lock, so entries another copy
    // writes at the same moment survive this write.
    return CFPreferencesUpdateAppValue(
        kLoginItems,
        [&](std::optional<PlistValue> stored) -> std::optional<PlistValue> {
            PlistArray items = stored && stored->asArray() ? *stored->asArray() : PlistArray{};
            PlistDictionary entry;
            const int found = FindThisCopysEntry(items, bundle);
            if (found >= 0) {
                entry = *items[std::size_t(found)].asDictionary();
                items.erase(items.begin() + found);
            } else {
                QByteArray alias;
                if (FSNewAlias(nullptr, &bundle, &alias) == noErr)
                    entry[kAliasData] = PlistValue::data(alias);
            }
            entry[key] = PlistValue(value);
            items.push_back(PlistValue(entry));
            return PlistValue(items);
        },
        kCFPreferencesCurrentApplication);
}

void InitEditText(const QString& key, ControlRef control) {
    FSRef bundle;
    if (!GetPathToAppBundle(&bundle)) return;
    const PlistArray items = ReadLoginItems();
    const int found = FindThisCopysEntry(items, bundle);
    if (found < 0) return;
    const PlistValue* value = items[std::size_t(found)].find(key);
    if (const QString* text = value ? value->asString() : nullptr)
        SetEditTextAsCFString(control, *text, true);
}

OSStatus AddKeychainPassword(const CString256& host, const CString256& username,
                             const CString256& password) {
    if (!*host.c_str() || !*username.c_str() || !*password.c_str()) return noErr;
    CString256 account = host;
    account += ":";
    account += username;
    const UInt32 serviceLength = UInt32(std::strlen(kKeychainService));
    const UInt32 accountLength = UInt32(std::strlen(account.c_str()));
    void* data = nullptr;
    UInt32 length = 0;
    SecKeychainItemRef item = nullptr;
    if (SecKeychainFindGenericPassword(nullptr, serviceLength, kKeychainService, accountLength,
                                       account.c_str(), &length, &data, &item) == noErr) {
        SecKeychainItemFreeContent(nullptr, data);
        SecKeychainItemDelete(item);
        SecKeychainItemRelease(item);
    }
    return SecKeychainAddGenericPassword(nullptr, serviceLength, kKeychainService, accountLength,
                                         account.c_str(), UInt32(std::strlen(password.c_str())),
                                         password.c_str(), nullptr);
}

OSStatus RetrieveKeychainPassword(const CString256& host, const CString256& username,
                                  CString256& password) {
    if (!*host.c_str() || !*username.c_str()) return noErr;
    CString256 account = host;
    account += ":";
    account += username;
    void* data = nullptr;
    UInt32 length = 0;
    OSStatus status = SecKeychainFindGenericPassword(
        nullptr, UInt32(std::strlen(kKeychainService)), kKeychainService,
        UInt32(std::strlen(account.c_str())), account.c_str(), &length, &data, nullptr);
    if (status == noErr) {
        auto buffer = std::make_unique<char[]>(std::size_t(length) + 1);
        std::memcpy(buffer.get(), data, length);
        buffer[length] = 0;
        password = buffer.get();
        SecKeychainItemFreeContent(nullptr, data);
    }
    return status;
}

void InitializeHardcodedPreferences() {
    gPresetTrouble.clear();
    auto text = ReadTextResource("Preferences");
    if (!text) return;
    DisableControl(gUsernameEditText);
    DisableControl(gPasswordEditText);
    DisableControl(gHostEditText);
    DisableControl(gFolderEditText);
    ShowControl(gLockedNote);

    // What a Linux editor writes is UTF-8; older files are Mac Roman.
    const bool utf8 = CFStringCreateWithBytes(reinterpret_cast<const uint8_t*>(text->constData()),
                                              std::size_t(text->size()), kCFStringEncodingUTF8)
                          .has_value();
    const QList<QByteArray> lines = SplitLines(*text);
    auto line = [&](int i) {
        const QByteArray& bytes = lines[i];
        if (utf8)
            return *CFStringCreateWithBytes(reinterpret_cast<const uint8_t*>(bytes.constData()),
                                            std::size_t(bytes.size()), kCFStringEncodingUTF8);
        return plat::MacRomanToQString(bytes.toStdString());
    };
    const ControlRef fields[] = {gHostEditText, gUsernameEditText, gPasswordEditText,
                                 gFolderEditText};
    std::vector<std::pair<ControlRef, QString>> values;
    for (int i = 0; i < 4 && i < lines.size(); ++i)
        values.emplace_back(fields[i], line(i));
    if (auto refused = RefuseSettings(
            values, LocalizedString(QStringLiteral(" in the application's Preferences.txt")))) {
        // Nothing of it is stored, and no transfer runs with the locked fields.
        gPresetTrouble = *refused;
        ShowStopAlert(*refused,
                      LocalizedString(QStringLiteral("Correct the file inside the application "
                                                     "bundle and open the application again.")));
        return;
    }
    QString host, username;
    if (values.size() > 0) {
        host = values[0].second;
        SaveStringPreference(QStringLiteral("Host"), host);
    }
    if (values.size() > 1) {
        username = values[1].second;
        SaveStringPreference(QStringLiteral("Username"), username);
    }
    if (values.size() > 2)
        AddKeychainPassword(CString256(host), CString256(username), CString256(values[2].second));
    if (values.size() > 3) SaveStringPreference(QStringLiteral("Folder"), values[3].second);
}

void InitializePasswordFromKeychain(ControlRef passwordControl) {
    gKeychainStatus = noErr;
    auto host = GetEditTextAsCFString(gHostEditText);
    auto username = GetEditTextAsCFString(gUsernameEditText);
    if (!host || !username) return;
    CString256 password;
    const OSStatus status =
        RetrieveKeychainPassword(CString256(*host), CString256(*username), password);
    if (status != noErr) {
        // No item yet leaves the field as it is; a keychain that could not
        // answer must not pass for an empty password.
        if (status != errSecItemNotFound) {
            gKeychainStatus = status;
            gPasswordAtKeychainFailure = GetEditTextAsCFString(passwordControl).value_or(QString());
        }
        return;
    }
    if (auto text = CFStringCreateWithCString(password.c_str(), CFStringGetSystemEncoding()))
        SetEditTextAsCFString(passwordControl, *text, true);
}

bool SavePreferences() {
    auto host = GetEditTextAsCFString(gHostEditText);
    if (!host) return true;
    auto folder = GetEditTextAsCFString(gFolderEditText);
    auto username = GetEditTextAsCFString(gUsernameEditText);
    auto password = username ? GetEditTextAsCFString(gPasswordEditText) : std::nullopt;
    std::vector<std::pair<ControlRef, QString>> fields{{gHostEditText, *host}};
    if (username) fields.emplace_back(gUsernameEditText, *username);
    if (password) fields.emplace_back(gPasswordEditText, *password);
    if (folder) fields.emplace_back(gFolderEditText, *folder);
    if (auto refused = RefuseSettings(fields, QString())) {
        ShowStopAlert(*refused, LocalizedString(QStringLiteral("Correct it and click OK again.")));
        return false;
    }

    if (folder) SaveStringPreference(QStringLiteral("Folder"), *folder);
    SaveStringPreference(QStringLiteral("Host"), *host);
    if (!username) return true;
    SaveStringPreference(QStringLiteral("Username"), *username);
    if (!password) return true;
    const OSStatus status =
        AddKeychainPassword(CString256(*host), CString256(*username), CString256(*password));
    if (status != noErr)
        ShowStopAlert(KeychainTroubleText(QStringLiteral("The password could not be stored in "
                                                         "the keychain: %1"),
                                          status),
                      LocalizedString(QStringLiteral("Uploads use the password as typed until "
                                                     "the application quits.")));
    return true;
}

OSStatus WindowEventHandlerProc(EventHandlerCallRef, EventRef event, void*) {
    if (GetEventClass(event) != kEventClassCommand || GetEventKind(event) != kEventCommandProcess)
        return eventNotHandledErr;
    HICommand command{};
    if (GetEventParameter(event, kEventParamDirectObject, typeHICommand, nullptr, sizeof command,
                          nullptr, &command) != noErr)
        return eventNotHandledErr;
    switch (command.commandID) {
    case FourCC("Qwdo"):
        StoreSwitch(QStringLiteral("QuitWhenDone"), gQuitWhenDoneCheckbox);
        return eventNotHandledErr;
    case FourCC("ZipF"):
        StoreSwitch(QStringLiteral("ZipFolders"), gZipFoldersCheckbox);
        return eventNotHandledErr;
    case FourCC("ok  "):
        // A refused field keeps the sheet open with what was typed.
        if (!SavePreferences()) return noErr;
        HideSheetWindow(gPreferencesWindow);
        if (IsControlEnabled(gHostEditText)) HideControl(gLockedNote);
        if (gSettingsChanged) gSettingsChanged();
        return noErr;
    case FourCC("not!"):
        HideSheetWindow(gPreferencesWindow);
        if (IsControlEnabled(gHostEditText)) HideControl(gLockedNote);
        return noErr;
    default:
        return eventNotHandledErr;
    }
}

void SetSettingsSheetOwner(WindowRef owner, std::function<void()> settingsChanged) {
    gSheetOwner = owner;
    gSettingsChanged = std::move(settingsChanged);
}

void InitPreferences() {
    if (gPreferencesWindow) return;
    IBNibRef nib = nullptr;
    if (CreateNibReference(QStringLiteral("main"), &nib) != noErr) return;
    OSStatus err =
        CreateWindowFromNib(nib, QStringLiteral("PreferencesWindow"), &gPreferencesWindow);
    DisposeNibReference(nib);
    if (err == noErr) {
        const EventTypeSpec commands[] = {{kEventClassCommand, kEventCommandProcess}};
        err = InstallEventHandler(GetWindowEventTarget(gPreferencesWindow),
                                  NewEventHandlerUPP(WindowEventHandlerProc), 1, commands, nullptr,
                                  nullptr);
    }
    if (err == noErr) {
        FindControl(4, &gQuitWhenDoneCheckbox);
        FindControl(7, &gZipFoldersCheckbox);
        FindControl(8, &gUsernameEditText);
        FindControl(9, &gPasswordEditText);
        FindControl(10, &gHostEditText);
        FindControl(11, &gFolderEditText);
        FindControl(12, &gLockedNote);
        HideControl(gLockedNote);
        InitializeHardcodedPreferences();
        InitEditText(QStringLiteral("Username"), gUsernameEditText);
        InitEditText(QStringLiteral("Host"), gHostEditText);
        InitEditText(QStringLiteral("Folder"), gFolderEditText);
        InitializePasswordFromKeychain(gPasswordEditText);
    }
    SetControl32BitValue(gQuitWhenDoneCheckbox, QuitWhenDone() ? 1 : 0);
    SetControl32BitValue(gZipFoldersCheckbox, ZipFolders() ? 1 : 0);
}

void HandlePreferencesCommand(const QString& note) {
    InitPreferences();
    // The locked note stays: it says why the fields cannot be changed.
    if (!note.isEmpty() && IsControlEnabled(gHostEditText)) {
        SetStaticTextAsCFString(gLockedNote, note, true);
        ShowControl(gLockedNote);
    }
    SelectWindow(gPreferencesWindow);
    ShowSheetWindow(gPreferencesWindow, gSheetOwner);
}

std::optional<QString> GetHost() {
    return FieldText(gHostEditText);
}
std::optional<QString> GetUsername() {
    return FieldText(gUsernameEditText);
}
std::optional<QString> GetPassword() {
    return FieldText(gPasswordEditText);
}
std::optional<QString> GetFolder() {
    return FieldText(gFolderEditText);
}

std::optional<QString> GetFolderPath(bool replaceExtension) {
    CFBundleRef bundle = CFBundleGetMainBundle();
    if (!bundle) return std::nullopt;
    QString path = CFBundleGetPath(bundle);
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    const QString name = QFileInfo(path).fileName();
    if (name.isEmpty()) return std::nullopt;

    if (name.startsWith(QLatin1String("Loftwise"))) {
        auto folder = GetFolder();
        if (!folder || folder->isEmpty()) return QStringLiteral("/");
        return folder->startsWith('/') ? *folder : "/" + *folder;
    }
    QString result = name;
    ReplaceEveryOccurrance(result, QStringLiteral(":"), QStringLiteral("/"));
    if (!result.startsWith('/')) result.prepend('/');
    const qsizetype dot = result.lastIndexOf('.');
    if (dot >= 0) {
        result.truncate(dot);
        if (replaceExtension) result += '/';
    }
    return result;
}

bool QuitWhenDone() {
    return plat::ReadSwitch(kCFPreferencesCurrentApplication, QStringLiteral("QuitWhenDone"),
                            false);
}
bool ZipFolders() {
    return plat::ReadSwitch(kCFPreferencesCurrentApplication, QStringLiteral("ZipFolders"), false);
}

std::optional<QString> GetSettingsTrouble() {
    if (!OnMainThread()) return std::nullopt;
    return CurrentSettingsTrouble();
}

ConnectionSnapshot TakeConnectionSnapshot() {
    return {GetHost(), GetUsername(), GetPassword(), GetFolder(), GetSettingsTrouble()};
}
