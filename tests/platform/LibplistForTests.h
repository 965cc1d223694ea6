// libplist's own binary writer, for tests that need property lists written
// by something other than the code under test. libplist is linked privately
// into the platform library, so the tests reach the copy already loaded with
// it through the dynamic loader rather than through their link line.
#pragma once

#include <QByteArray>
#include <dlfcn.h>
#include <plist/plist.h>
#include <utility>
#include <vector>

namespace libplist_for_tests {

template <typename F> F* Function(const char* name) {
    static void* library = [] {
        void* h = dlopen("libplist-2.0.so.3", RTLD_NOW | RTLD_NOLOAD);
        return h ? h : dlopen("libplist-2.0.so.3", RTLD_NOW);
    }();
    return library ? reinterpret_cast<F*>(dlsym(library, name)) : nullptr;
}

#define LIBPLIST_FUNCTION(name) libplist_for_tests::Function<decltype(name)>(#name)

inline QByteArray BinaryOf(plist_t node) {
    auto toBin = LIBPLIST_FUNCTION(plist_to_bin);
    auto binFree = LIBPLIST_FUNCTION(plist_to_bin_free);
    if (!node || !toBin || !binFree) return {};
    char* bin = nullptr;
    uint32_t length = 0;
    toBin(node, &bin, &length);
    QByteArray out(bin, bin ? qsizetype(length) : 0);
    if (bin) binFree(bin);
    return out;
}

// The binary form libplist writes for an XML property list; empty on failure.
inline QByteArray XmlToBinary(const QByteArray& xml) {
    auto fromXml = LIBPLIST_FUNCTION(plist_from_xml);
    auto freeNode = LIBPLIST_FUNCTION(plist_free);
    if (!fromXml || !freeNode) return {};
    plist_t node = nullptr;
    fromXml(xml.constData(), uint32_t(xml.size()), &node);
    QByteArray out = BinaryOf(node);
    if (node) freeNode(node);
    return out;
}

// A binary array of dates made with plist_new_date(seconds, microseconds).
inline QByteArray BinaryDates(const std::vector<std::pair<int32_t, int32_t>>& dates) {
    auto newArray = LIBPLIST_FUNCTION(plist_new_array);
    auto append = LIBPLIST_FUNCTION(plist_array_append_item);
    auto newDate = LIBPLIST_FUNCTION(plist_new_date);
    auto freeNode = LIBPLIST_FUNCTION(plist_free);
    if (!newArray || !append || !newDate || !freeNode) return {};
    plist_t array = newArray();
    for (const auto& [sec, usec] : dates)
        append(array, newDate(sec, usec));
    QByteArray out = BinaryOf(array);
    freeNode(array);
    return out;
}

#undef LIBPLIST_FUNCTION

} // namespace libplist_for_tests
