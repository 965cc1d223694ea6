// Strongly typed property-list values, read from XML or binary property
// lists and written as XML (libplist underneath).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <variant>
#include <vector>

class PlistValue;
using PlistArray = std::vector<PlistValue>;
using PlistDictionary = std::map<QString, PlistValue>;

class PlistValue {
public:
    enum class Kind { String, Boolean, Integer, Real, Date, Data, Array, Dictionary };

    PlistValue() : m_value(QString()) {}
    PlistValue(const QString& s) : m_value(s) {}
    PlistValue(const char* utf8) : m_value(QString::fromUtf8(utf8)) {}
    static PlistValue boolean(bool b) { return PlistValue(Storage(b)); }
    static PlistValue integer(int64_t i) { return PlistValue(Storage(i)); }
    static PlistValue real(double d) { return PlistValue(Storage(d)); }
    static PlistValue date(const QDateTime& d) { return PlistValue(Storage(d)); }
    static PlistValue data(const QByteArray& d) { return PlistValue(Storage(d)); }
    PlistValue(const PlistArray& a) : m_value(a) {}
    PlistValue(const PlistDictionary& d) : m_value(d) {}

    Kind kind() const { return Kind(m_value.index()); }

    // Typed access: nullptr when the value is of another kind, so a value of
    // the wrong type reads as absent.
    const QString* asString() const { return std::get_if<QString>(&m_value); }
    const bool* asBoolean() const { return std::get_if<bool>(&m_value); }
    const int64_t* asInteger() const { return std::get_if<int64_t>(&m_value); }
    const double* asReal() const { return std::get_if<double>(&m_value); }
    const QDateTime* asDate() const { return std::get_if<QDateTime>(&m_value); }
    const QByteArray* asData() const { return std::get_if<QByteArray>(&m_value); }
    const PlistArray* asArray() const { return std::get_if<PlistArray>(&m_value); }
    const PlistDictionary* asDictionary() const { return std::get_if<PlistDictionary>(&m_value); }
    PlistArray* asArray() { return std::get_if<PlistArray>(&m_value); }
    PlistDictionary* asDictionary() { return std::get_if<PlistDictionary>(&m_value); }

    // Dictionary member lookup; nullptr when this is no dictionary or the key is absent.
    const PlistValue* find(const QString& key) const;

    bool operator==(const PlistValue& other) const { return m_value == other.m_value; }
    bool operator!=(const PlistValue& other) const { return !(*this == other); }

private:
    using Storage = std::variant<QString, bool, int64_t, double, QDateTime, QByteArray, PlistArray,
                                 PlistDictionary>;
    explicit PlistValue(Storage s) : m_value(std::move(s)) {}
    Storage m_value;
};

namespace plat {

// Parses an XML or binary property list; nullopt when the bytes are not one.
std::optional<PlistValue> PlistFromBytes(const QByteArray& bytes);

// The XML property-list form of a value; nullopt when a string or key holds a
// character XML 1.0 cannot carry (a C0 control other than tab, LF and CR, and
// the like), since the document would not parse again.
std::optional<QByteArray> PlistToXml(const PlistValue& value);
// Whether PlistToXml can write the value: no string or key holds a
// character XML 1.0 cannot carry.
bool PlistFitsXml(const PlistValue& value);

} // namespace plat
