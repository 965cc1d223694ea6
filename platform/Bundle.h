// Bundles: Name.app/Contents/{Info.plist, Linux/<executable>, Resources/}
// (the same for .plugin and .prefPane). Resources are found by name and
// type, non-localised ones first, then in <lang>.lproj folders chosen from
// LANGUAGE, LC_ALL, LC_MESSAGES and LANG, then the development region.
// String tables are .strings files.
#pragma once

#include "platform/PropertyList.h"

#include <QString>
#include <QStringList>
#include <optional>

class CFBundle;
using CFBundleRef = CFBundle*; // bundles live as long as the process

// The bundle the running executable lives in (from /proc/self/exe), or the
// one set with plat::SetMainBundlePath; null when there is none.
CFBundleRef CFBundleGetMainBundle();

// Opens (once) the bundle at a path; null when it has no Contents folder.
CFBundleRef CFBundleCreate(const QString& bundlePath);

// A bundle opened before, by its CFBundleIdentifier; null when none is.
CFBundleRef CFBundleGetBundleWithIdentifier(const QString& identifier);

QString CFBundleGetIdentifier(CFBundleRef bundle);
QString CFBundleGetPath(CFBundleRef bundle);
// Contents/Linux/<CFBundleExecutable>; nullopt when the key or the file is missing.
std::optional<QString> CFBundleCopyExecutablePath(CFBundleRef bundle);
std::optional<PlistValue> CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle,
                                                               const QString& key);

// The path of resource name.type (type may be empty when name has its
// extension), in subDir of Resources when given; nullopt when absent.
std::optional<QString> CFBundleCopyResourcePath(CFBundleRef bundle, const QString& name,
                                                const QString& type,
                                                const QString& subDir = QString());

// The string for key in table (tableName.strings, "Localizable" when empty);
// value, or the key when value is empty, when the table has no entry.
QString CFBundleCopyLocalizedString(CFBundleRef bundle, const QString& key, const QString& value,
                                    const QString& tableName);

namespace plat {

// The user's preferred localisations, most preferred first, from LANGUAGE,
// LC_ALL, LC_MESSAGES and LANG (e.g. "de_DE.UTF-8" gives "de_DE", "de").
QStringList PreferredLanguages();

// The maker's web site, without a trailing slash: LOFTWISE_WEB_SITE when set,
// else the bundle's LoftwiseWebSite key; nullopt when neither is an http(s)
// URL. Documents are found below it ("/Loftwise/Loftwise.html").
std::optional<QString> MakerWebSite(CFBundleRef bundle);

// The platform's own texts (alert buttons, the hosts' windows, error
// descriptions) in the user's language. The key is the English text and
// comes back unchanged when the table has no entry.
QString PlatformText(const QString& key);
QString PlatformText(const char* key);

// Qt's own texts (the standard buttons, a text field's context menu) in the
// user's language; call once the application object exists.
void InstallQtTranslations();

// Overrides the main bundle (tests and hosts that are not inside a bundle).
void SetMainBundlePath(const QString& bundlePath);

// Parses a .strings file (UTF-8 or UTF-16 with a byte-order mark); nullopt
// when it does not parse.
std::optional<std::map<QString, QString>> ParseStringsFile(const QByteArray& bytes);

} // namespace plat

// UUIDs in the platform's text form: 36 characters, upper-case hexadecimal,
// 8-4-4-4-12.
QString CFUUIDCreateString();
