// The droplet's connection settings as its transfers read them (the
// settings sheet's live fields); each returns a new copy of the current
// text, or none when the field does not exist.
#pragma once

#include <QString>
#include <optional>

std::optional<QString> GetHost();
std::optional<QString> GetUsername();
std::optional<QString> GetPassword();
std::optional<QString> GetFolder();
// The server folder path: for upload addresses (true) or for display (false).
std::optional<QString> GetFolderPath(bool replaceExtension);

// Why no transfer may run with these settings (a password the keychain could
// not give, a preset that was refused), as the alert says it; nullopt when
// they may be used.
std::optional<QString> GetSettingsTrouble();

// The settings a transfer uses, copied on the main thread before its worker
// starts: a worker never reads a widget.
struct ConnectionSnapshot {
    std::optional<QString> host;
    std::optional<QString> username;
    std::optional<QString> password;
    std::optional<QString> folder;
    std::optional<QString> trouble;
};
ConnectionSnapshot TakeConnectionSnapshot();
