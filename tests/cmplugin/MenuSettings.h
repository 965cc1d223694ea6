// The plug-in's settings domain as the tests write it: switches and the
// destination tree in its dictionary form.
#pragma once

#include "platform/Preferences.h"

#include <gtest/gtest.h>

inline const QString kCMDomain = QStringLiteral("com.brisk-alder.LoftwiseCM");

// Sets (or, with nullopt, removes) a key and writes the file at once.
inline void Set(const char* key, std::optional<PlistValue> value) {
    CFPreferencesSetAppValue(QString::fromLatin1(key), value, kCMDomain);
    ASSERT_TRUE(CFPreferencesAppSynchronize(kCMDomain));
}

inline PlistValue Group(const QString& name, const PlistArray& entries) {
    return PlistDictionary{{"Group", PlistValue(name)}, {"Entries", PlistValue(entries)}};
}
inline PlistValue Item(const QString& name, const QString& url) {
    return PlistArray{PlistValue(name), PlistValue(url)};
}
inline PlistValue Root(const PlistArray& entries) {
    return Group("OVRoot", entries);
}
