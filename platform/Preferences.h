// The per-user preferences store: one property-list file per domain,
// "<domain>.plist" in the Preferences folder.
//
// Sets and removals are staged in memory; CFPreferencesAppSynchronize merges
// them into the file as it is on disk at that moment (so a file replaced by
// another process is picked up), writes it atomically (temp file, fsync,
// rename, mode 0600) under a cross-process lock, and takes up what other
// processes wrote. Thread-safe.
#pragma once

#include "platform/PropertyList.h"

#include <QString>
#include <optional>

// Stands for the running bundle's identifier.
extern const QString kCFPreferencesCurrentApplication;

// A copy of the value, or nullopt when the key is absent.
std::optional<PlistValue> CFPreferencesCopyAppValue(const QString& key, const QString& appID);

// Stages a value; nullopt stages a removal of the key.
void CFPreferencesSetAppValue(const QString& key, const std::optional<PlistValue>& value,
                              const QString& appID);

// Writes staged changes and takes up changes written by others; true on success.
bool CFPreferencesAppSynchronize(const QString& appID);

namespace plat {

// The file that holds a domain (the identifier kCFPreferencesCurrentApplication
// resolves to the main bundle's identifier).
QString PreferencesFilePath(const QString& appID);

// Drops every cached and staged value, so the next read goes to disk (tests).
void ResetPreferencesCache();

} // namespace plat
