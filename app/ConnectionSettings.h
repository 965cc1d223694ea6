// Per-copy connection settings: the settings sheet, the wicket entry of this
// copy in the preferences, the keychain password and the server folder path.
#pragma once

#include "app/CString256.h"
#include "platform/Files.h"
#include "platform/ui/Events.h"

#include <QString>
#include <optional>

// The sheet and its controls (signature 'CNTL').
extern WindowRef gPreferencesWindow;
extern ControlRef gQuitWhenDoneCheckbox; // 4, sends 'Qwdo'
extern ControlRef gZipFoldersCheckbox;   // 7, sends 'ZipF'
extern ControlRef gUsernameEditText;     // 8
extern ControlRef gPasswordEditText;     // 9
extern ControlRef gHostEditText;         // 10
extern ControlRef gFolderEditText;       // 11

// Creates the settings sheet once and loads its fields.
void InitPreferences();
// Opens the settings sheet on the main window.
void HandlePreferencesCommand();
OSStatus WindowEventHandlerProc(EventHandlerCallRef handler, EventRef event, void* userData);
void SavePreferences();
// Sets one key of this copy's wicket entry (made when missing, moved to the end).
void SaveStringPreference(const QString& key, const QString& value);
void InitEditText(const QString& key, ControlRef control);
void InitializePasswordFromKeychain(ControlRef passwordControl);
void InitializeHardcodedPreferences();
OSStatus AddKeychainPassword(const CString256& host, const CString256& username,
                             const CString256& password);
OSStatus RetrieveKeychainPassword(const CString256& host, const CString256& username,
                                  CString256& password);
// The running bundle's path and reference; none without a main bundle.
std::optional<QString> GetPathToAppBundle(FSRef* bundleRef);

// The live values of the sheet's fields; none when a field does not exist.
// On a worker thread they read the snapshot the thread was started with.
std::optional<QString> GetHost();
std::optional<QString> GetUsername();
std::optional<QString> GetPassword();
std::optional<QString> GetFolder();
// The server folder path: for upload addresses (true: the name's extension
// becomes "/") or for display (false: the extension is deleted).
std::optional<QString> GetFolderPath(bool replaceExtension);

// The two domain-wide switches, read fresh from the store.
bool QuitWhenDone();
bool ZipFolders();

// The settings a transfer worker uses, copied on the main thread before it starts.
struct ConnectionSnapshot {
    std::optional<QString> host;
    std::optional<QString> username;
    std::optional<QString> password;
    std::optional<QString> folder;
};
ConnectionSnapshot TakeConnectionSnapshot();

// Makes the getters on this (worker) thread read a snapshot while it lives.
class ScopedConnectionSnapshot {
public:
    explicit ScopedConnectionSnapshot(ConnectionSnapshot snapshot);
    ~ScopedConnectionSnapshot();
    ScopedConnectionSnapshot(const ScopedConnectionSnapshot&) = delete;
    ScopedConnectionSnapshot& operator=(const ScopedConnectionSnapshot&) = delete;

private:
    ConnectionSnapshot m_snapshot;
    const ConnectionSnapshot* m_previous;
};
