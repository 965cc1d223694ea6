// Per-copy connection settings: the settings sheet, the wicket entry of this
// copy in the preferences, the keychain password and the server folder path.
#pragma once

#include <QString>
#include <optional>

// Creates the settings sheet once and loads its fields.
void InitPreferences();
// Opens the settings sheet on the main window.
void HandlePreferencesCommand();
// The server folder path: for upload addresses (true) or for display (false).
std::optional<QString> GetFolderPath(bool replaceExtension);
