#include "app/ConnectionSettings.h"

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

WindowRef gPreferencesWindow = nullptr;
ControlRef gQuitWhenDoneCheckbox = nullptr;
ControlRef gZipFoldersCheckbox = nullptr;
ControlRef gUsernameEditText = nullptr;
ControlRef gPasswordEditText = nullptr;
ControlRef gHostEditText = nullptr;
ControlRef gFolderEditText = nullptr;

namespace {

const QString kLoginItems = QStringLiteral("LoginItems");
const QString kAliasData = QStringLiteral("AliasData");
const char kKeychainService[] = "Loftwise";

WindowRef gSheetOwner = nullptr;
std::function<void()> gSettingsChanged;

// A worker thread reads the settings it was started with, never the widgets.
thread_local const ConnectionSnapshot* tSnapshot = nullptr;

bool OnMainThread() {
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

std::optional<QString> FieldText(ControlRef field,
                                 std::optional<QString> ConnectionSnapshot::*member) {
    if (!OnMainThread()) return tSnapshot ? tSnapshot->*member : std::nullopt;
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

bool ReadSwitch(const QString& key) {
    CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
    auto value = CFPreferencesCopyAppValue(key, kCFPreferencesCurrentApplication);
    const bool* b = value ? value->asBoolean() : nullptr;
    return b && *b;
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

void SaveStringPreference(const QString& key, const QString& value) {
    FSRef bundle;
    if (!GetPathToAppBundle(&bundle)) return;
    // Read what other copies wrote last, so their entries survive this write.
    CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
    PlistArray items = ReadLoginItems();
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
    CFPreferencesSetAppValue(kLoginItems, PlistValue(items), kCFPreferencesCurrentApplication);
    CFPreferencesAppSynchronize(kCFPreferencesCurrentApplication);
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
    auto text = ReadTextResource("Preferences");
    if (!text) return;
    DisableControl(gUsernameEditText);
    DisableControl(gPasswordEditText);
    DisableControl(gHostEditText);
    DisableControl(gFolderEditText);

    const QList<QByteArray> lines = SplitLines(*text);
    auto line = [&](int i) { return plat::MacRomanToQString(lines[i].toStdString()); };
    QString host, username;
    if (lines.size() > 0) {
        host = line(0);
        SaveStringPreference(QStringLiteral("Host"), host);
    }
    if (lines.size() > 1) {
        username = line(1);
        SaveStringPreference(QStringLiteral("Username"), username);
    }
    if (lines.size() > 2)
        AddKeychainPassword(CString256(host), CString256(username), CString256(line(2)));
    if (lines.size() > 3) SaveStringPreference(QStringLiteral("Folder"), line(3));
}

void InitializePasswordFromKeychain(ControlRef passwordControl) {
    auto host = GetEditTextAsCFString(gHostEditText);
    auto username = GetEditTextAsCFString(gUsernameEditText);
    if (!host || !username) return;
    CString256 password;
    if (RetrieveKeychainPassword(CString256(*host), CString256(*username), password) != noErr)
        return;
    if (auto text = CFStringCreateWithCString(password.c_str(), CFStringGetSystemEncoding()))
        SetEditTextAsCFString(passwordControl, *text, true);
}

void SavePreferences() {
    auto host = GetEditTextAsCFString(gHostEditText);
    if (!host) return;
    if (auto folder = GetEditTextAsCFString(gFolderEditText))
        SaveStringPreference(QStringLiteral("Folder"), *folder);
    SaveStringPreference(QStringLiteral("Host"), *host);
    auto username = GetEditTextAsCFString(gUsernameEditText);
    if (!username) return;
    SaveStringPreference(QStringLiteral("Username"), *username);
    auto password = GetEditTextAsCFString(gPasswordEditText);
    if (!password) return;
    AddKeychainPassword(CString256(*host), CString256(*username), CString256(*password));
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
        SavePreferences();
        if (gSettingsChanged) gSettingsChanged();
        HideSheetWindow(gPreferencesWindow);
        return noErr;
    case FourCC("not!"):
        HideSheetWindow(gPreferencesWindow);
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
        InitializeHardcodedPreferences();
        InitEditText(QStringLiteral("Username"), gUsernameEditText);
        InitEditText(QStringLiteral("Host"), gHostEditText);
        InitEditText(QStringLiteral("Folder"), gFolderEditText);
        InitializePasswordFromKeychain(gPasswordEditText);
    }
    SetControl32BitValue(gQuitWhenDoneCheckbox, QuitWhenDone() ? 1 : 0);
    SetControl32BitValue(gZipFoldersCheckbox, ZipFolders() ? 1 : 0);
}

void HandlePreferencesCommand() {
    InitPreferences();
    SelectWindow(gPreferencesWindow);
    ShowSheetWindow(gPreferencesWindow, gSheetOwner);
}

std::optional<QString> GetHost() {
    return FieldText(gHostEditText, &ConnectionSnapshot::host);
}
std::optional<QString> GetUsername() {
    return FieldText(gUsernameEditText, &ConnectionSnapshot::username);
}
std::optional<QString> GetPassword() {
    return FieldText(gPasswordEditText, &ConnectionSnapshot::password);
}
std::optional<QString> GetFolder() {
    return FieldText(gFolderEditText, &ConnectionSnapshot::folder);
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
    return ReadSwitch(QStringLiteral("QuitWhenDone"));
}
bool ZipFolders() {
    return ReadSwitch(QStringLiteral("ZipFolders"));
}

ConnectionSnapshot TakeConnectionSnapshot() {
    return {GetHost(), GetUsername(), GetPassword(), GetFolder()};
}

ScopedConnectionSnapshot::ScopedConnectionSnapshot(ConnectionSnapshot snapshot)
    : m_snapshot(std::move(snapshot)), m_previous(tSnapshot) {
    tSnapshot = &m_snapshot;
}

ScopedConnectionSnapshot::~ScopedConnectionSnapshot() {
    tSnapshot = m_previous;
}
