// Per-copy connection settings: the settings sheet, the wicket entry of this
// copy in the preferences, the keychain password and the server folder path.
#pragma once

#include "app/Settings.h"
#include "platform/Files.h"
#include "platform/ui/Events.h"
#include "toolkit/CString256.h"

#include <QString>
#include <functional>
#include <optional>

// The sheet and its controls (signature 'CNTL').
extern WindowRef gPreferencesWindow;
extern ControlRef gQuitWhenDoneCheckbox; // 4, sends 'Qwdo'
extern ControlRef gZipFoldersCheckbox;   // 7, sends 'ZipF'
extern ControlRef gUsernameEditText;     // 8
extern ControlRef gPasswordEditText;     // 9
extern ControlRef gHostEditText;         // 10
extern ControlRef gFolderEditText;       // 11
extern ControlRef gLockedNote;           // 12, says why the fields are greyed

// The window the sheet opens on, and what runs after OK has stored the
// fields (the shell retitles its window and restarts the log). Set before
// the sheet is first shown.
void SetSettingsSheetOwner(WindowRef owner, std::function<void()> settingsChanged);
// Creates the settings sheet once and loads its fields.
void InitPreferences();
// Opens the settings sheet on the main window; a note, when given, says what
// is missing above the fields.
void HandlePreferencesCommand(const QString& note = {});
OSStatus WindowEventHandlerProc(EventHandlerCallRef handler, EventRef event, void* userData);
// Stores the sheet's fields; false (with an alert) when one is refused and
// nothing was stored.
bool SavePreferences();
// Sets one key of this copy's wicket entry (made when missing, moved to the
// end); true when it is on disk.
bool SaveStringPreference(const QString& key, const QString& value);
void InitEditText(const QString& key, ControlRef control);
void InitializePasswordFromKeychain(ControlRef passwordControl);
void InitializeHardcodedPreferences();
OSStatus AddKeychainPassword(const CString256& host, const CString256& username,
                             const CString256& password);
OSStatus RetrieveKeychainPassword(const CString256& host, const CString256& username,
                                  CString256& password);
// The running bundle's path and reference; none without a main bundle.
std::optional<QString> GetPathToAppBundle(FSRef* bundleRef);

// The getters of the sheet's live fields (GetHost ... GetFolderPath) and
// the worker snapshot are declared with the engine that reads them.

// The two domain-wide switches, read fresh from the store.
bool QuitWhenDone();
bool ZipFolders();
