#include "platform/PropertyList.h"
#include "platform/TextEncoding.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <plist/plist.h>

const PlistValue* PlistValue::find(const QString& key) const {
    const PlistDictionary* dict = asDictionary();
    if (!dict) return nullptr;
    auto it = dict->find(key);
    return it == dict->end() ? nullptr : &it->second;
}

namespace {

struct NodeFree {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeFree>;

// Strings libplist hands out are malloc'd.
struct CFree {
    void operator()(void* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, CFree>;

// Property-list dates count seconds from 2001-01-01 00:00:00 UTC.
constexpr qint64 kEpoch2001MSecs = 978307200000LL;
// Beyond this QDateTime cannot represent the instant; such dates read as invalid.
constexpr double kMaxDateSeconds = 1.0e14;

// libplist 2.2 hands dates over as (seconds, microseconds) truncated to 32
// bits, which loses the sign of instants just before 2001 and clamps dates
// after 2069. A one-object binary property list carries the exact double,
// so dates go through that form: "bplist00", marker 0x33, 8 bytes big-endian.
constexpr size_t kDateObjectOffset = 8;
constexpr unsigned char kDateMarker = 0x33;

double DateSeconds(plist_t node) {
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(node, &bin, &length);
    double seconds = 0;
    bool exact = false;
    if (bin && length >= kDateObjectOffset + 9 &&
        static_cast<unsigned char>(bin[kDateObjectOffset]) == kDateMarker) {
        uint64_t bits = 0;
        for (size_t i = 0; i < 8; ++i)
            bits = (bits << 8) | static_cast<unsigned char>(bin[kDateObjectOffset + 1 + i]);
        std::memcpy(&seconds, &bits, sizeof seconds);
        exact = true;
    }
    if (bin) plist_to_bin_free(bin);
    if (!exact) {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        seconds = sec < 0 ? sec - usec / 1e6 : sec + usec / 1e6;
    }
    return seconds;
}

plist_t NewDateNode(double seconds) {
    // The smallest binary property list with one date as its top object.
    unsigned char bin[8 + 9 + 1 + 32] = {'b', 'p', 'l', 'i', 's', 't', '0', '0', kDateMarker};
    uint64_t bits = 0;
    std::memcpy(&bits, &seconds, sizeof bits);
    for (size_t i = 0; i < 8; ++i)
        bin[kDateObjectOffset + 1 + i] = uint8_t(bits >> (56 - 8 * i));
    bin[17] = 8;                       // offset table: the object is at offset 8
    unsigned char* trailer = bin + 18; // 6 unused bytes, then sizes and counts
    trailer[6] = 1;                    // offset size
    trailer[7] = 1;                    // object reference size
    trailer[15] = 1;                   // one object
    trailer[31] = 17;                  // the offset table starts at byte 17
    plist_t node = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(bin), sizeof bin, &node);
    if (node && plist_get_node_type(node) == PLIST_DATE) return node;
    if (node) plist_free(node);
    const double whole = std::trunc(seconds);
    return plist_new_date(int32_t(whole), int32_t(std::llround((seconds - whole) * 1e6)));
}

QDateTime DateFromSeconds(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) > kMaxDateSeconds) return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(kEpoch2001MSecs + std::llround(seconds * 1000.0),
                                          Qt::UTC);
}

// Whole seconds, as XML holds them. libplist's writer truncates towards 2001,
// which would move an instant before 2001 into the following second; taking
// the floor here keeps it in its own.
double WholeSecondsFromDate(const QDateTime& date) {
    // An invalid date has no instant to keep; it is written as the reference date.
    if (!date.isValid()) return 0;
    const qint64 ms = date.toMSecsSinceEpoch() - kEpoch2001MSecs;
    return double(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
}

QString NodeString(plist_t node, void (*get)(plist_t, char**)) {
    char* raw = nullptr;
    get(node, &raw);
    CString owned(raw);
    return owned ? QString::fromUtf8(owned.get()) : QString();
}

// Deeper nesting than any settings file has; beyond it the conversion would
// run out of stack, so such a property list counts as unreadable (dropping
// only the deep part would lose it at the next write).
constexpr int kMaxDepth = 512;

std::optional<PlistValue> FromNode(plist_t node, int depth, bool* tooDeep) {
    if (depth > kMaxDepth) {
        *tooDeep = true;
        return std::nullopt;
    }
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return PlistValue::boolean(b != 0);
    }
    case PLIST_UINT: {
        // libplist keeps integers as 64-bit patterns; negative ones are
        // stored two's complement, so the pattern is the signed value.
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        return PlistValue::integer(static_cast<int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return PlistValue::real(d);
    }
    case PLIST_STRING:
        return PlistValue(NodeString(node, plist_get_string_val));
    case PLIST_KEY:
        return PlistValue(NodeString(node, plist_get_key_val));
    case PLIST_DATE:
        return PlistValue::date(DateFromSeconds(DateSeconds(node)));
    case PLIST_DATA: {
        char* raw = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &raw, &length);
        CString owned(raw);
        return PlistValue::data(owned ? QByteArray(owned.get(), qsizetype(length)) : QByteArray());
    }
    case PLIST_ARRAY: {
        PlistArray array;
        const uint32_t n = plist_array_get_size(node);
        array.reserve(n);
        for (uint32_t i = 0; i < n; ++i) {
            if (auto v = FromNode(plist_array_get_item(node, i), depth + 1, tooDeep))
                array.push_back(std::move(*v));
            if (*tooDeep) return std::nullopt;
        }
        return PlistValue(array);
    }
    case PLIST_DICT: {
        PlistDictionary dict;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        CString ownedIter(static_cast<char*>(it));
        if (!it) return PlistValue(dict);
        for (;;) {
            char* rawKey = nullptr;
            plist_t item = nullptr;
            plist_dict_next_item(node, it, &rawKey, &item);
            CString key(rawKey);
            if (!item) break;
            if (!key) continue;
            if (auto v = FromNode(item, depth + 1, tooDeep))
                dict.insert_or_assign(QString::fromUtf8(key.get()), std::move(*v));
            if (*tooDeep) return std::nullopt;
        }
        return PlistValue(dict);
    }
    default:
        // Keyed-archiver UIDs and empty nodes have no counterpart here.
        return std::nullopt;
    }
}

plist_t ToNode(const PlistValue& value) {
    switch (value.kind()) {
    case PlistValue::Kind::String:
        return plist_new_string(value.asString()->toUtf8().constData());
    case PlistValue::Kind::Boolean:
        return plist_new_bool(*value.asBoolean() ? 1 : 0);
    case PlistValue::Kind::Integer:
        return plist_new_uint(static_cast<uint64_t>(*value.asInteger()));
    case PlistValue::Kind::Real:
        return plist_new_real(*value.asReal());
    case PlistValue::Kind::Date:
        return NewDateNode(WholeSecondsFromDate(*value.asDate()));
    case PlistValue::Kind::Data: {
        const QByteArray& d = *value.asData();
        return plist_new_data(d.constData(), uint64_t(d.size()));
    }
    case PlistValue::Kind::Array: {
        plist_t array = plist_new_array();
        for (const PlistValue& item : *value.asArray())
            plist_array_append_item(array, ToNode(item));
        return array;
    }
    case PlistValue::Kind::Dictionary: {
        plist_t dict = plist_new_dict();
        for (const auto& [key, item] : *value.asDictionary())
            plist_dict_set_item(dict, key.toUtf8().constData(), ToNode(item));
        return dict;
    }
    }
    return plist_new_string("");
}

// XML 1.0 has no form for C0 controls other than tab, LF and CR (not even as
// character references), for U+FFFE and U+FFFF, or for a lone surrogate; a
// document holding one does not parse.
bool XmlCanCarry(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (plat::IsPlistUnsafeCharacter(u)) return false;
        if (QChar::isHighSurrogate(u)) {
            if (i + 1 == text.size() || !QChar::isLowSurrogate(text[i + 1].unicode())) return false;
            ++i;
        } else if (QChar::isLowSurrogate(u)) {
            return false;
        }
    }
    return true;
}

} // namespace

namespace plat {

std::optional<PlistValue> PlistFromBytes(const QByteArray& bytes) {
    if (bytes.isEmpty() || bytes.size() > qsizetype(std::numeric_limits<uint32_t>::max()))
        return std::nullopt;
    plist_t raw = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &raw);
    Node root(raw);
    if (!root) return std::nullopt;
    bool tooDeep = false;
    std::optional<PlistValue> value = FromNode(root.get(), 0, &tooDeep);
    if (tooDeep) return std::nullopt;
    return value;
}

bool PlistFitsXml(const PlistValue& value) {
    if (const QString* s = value.asString()) return XmlCanCarry(*s);
    if (const PlistArray* array = value.asArray()) {
        for (const PlistValue& item : *array)
            if (!PlistFitsXml(item)) return false;
    }
    if (const PlistDictionary* dict = value.asDictionary()) {
        for (const auto& [key, item] : *dict)
            if (!XmlCanCarry(key) || !PlistFitsXml(item)) return false;
    }
    return true;
}

std::optional<QByteArray> PlistToXml(const PlistValue& value) {
    if (!PlistFitsXml(value)) return std::nullopt;
    Node root(ToNode(value));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    if (!xml) return std::nullopt;
    QByteArray out(xml, qsizetype(length));
    plist_to_xml_free(xml);
    return out;
}

} // namespace plat
