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
#include <functional>
#include <optional>

// Stands for the running bundle's identifier.
extern const QString kCFPreferencesCurrentApplication;

// A copy of the value, or nullopt when the key is absent.
std::optional<PlistValue> CFPreferencesCopyAppValue(const QString& key, const QString& appID);

// Stages a value; nullopt stages a removal of the key.
void CFPreferencesSetAppValue(const QString& key, const std::optional<PlistValue>& value,
                              const QString& appID);

// Writes staged changes and takes up changes written by others; true on
// success. A staged value no file can hold (a string with a character XML
// cannot carry) is dropped, and the call then returns false.
bool CFPreferencesAppSynchronize(const QString& appID);

// Given a key's current value (nullopt when absent), the value to store
// (nullopt removes the key).
using PreferencesUpdate =
    std::function<std::optional<PlistValue>(std::optional<PlistValue> current)>;

// A read-modify-write of one key that no other writer can come between:
// under the domain's cross-process lock, re-reads the file, hands the key's
// value to update and writes the result (with any staged changes) at once.
// For arrays and dictionaries written back whole. update runs with the
// store's locks held and must not call the store. True when it is on disk.
bool CFPreferencesUpdateAppValue(const QString& key, const PreferencesUpdate& update,
                                 const QString& appID);

namespace plat {

// A switch of appID's settings as the file holds it now (another process may
// have written it): its Boolean, or whenAbsent when it is missing or not a
// Boolean.
bool ReadSwitch(const QString& appID, const QString& key, bool whenAbsent);

// The file that holds a domain (the identifier kCFPreferencesCurrentApplication
// resolves to the main bundle's identifier).
QString PreferencesFilePath(const QString& appID);

// Drops every cached and staged value, so the next read goes to disk (tests).
void ResetPreferencesCache();

} // namespace plat
