// What the engine reads of the droplet's connection settings. The droplet
// defines these (the settings sheet's live fields); each returns a new copy
// of the current text, or none when the field does not exist.
#pragma once

#include <QString>
#include <optional>

std::optional<QString> GetHost();
std::optional<QString> GetUsername();
std::optional<QString> GetPassword();
std::optional<QString> GetFolder();
// The server folder path: for upload addresses (true) or for display (false).
std::optional<QString> GetFolderPath(bool replaceExtension);
