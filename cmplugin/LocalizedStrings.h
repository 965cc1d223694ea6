// The plug-in's localized texts: the table "LocalizedStrings" of its own
// bundle (found by its identifier, since the Finder's main bundle is not
// ours), with the key as the text when the table has no entry.
#pragma once

#include <QString>

// The text for a UTF-8 key. Found in the bundle, it is kept for the life of
// the process and the same key gives the same object again; while the bundle
// is not loaded the key itself is returned and looked up anew next time. A
// key that is null or not UTF-8 gives " ". The result stays valid for the
// life of the process; callers do not release it. Safe from any thread.
const QString& LocalizedString(const char* key);
