#include "platform/TextEncoding.h"

#include <array>
#include <QStringDecoder>
#include <cstring>
#include <unordered_map>

namespace {

// Apple's Mac OS Roman table for bytes 0x80-0xFF; 0x00-0x7F are ASCII.
constexpr std::array<char16_t, 128> kHighHalf = {
    0x00C4, 0x00C5, 0x00C7, 0x00C9, 0x00D1, 0x00D6, 0x00DC, 0x00E1,
    0x00E0, 0x00E2, 0x00E4, 0x00E3, 0x00E5, 0x00E7, 0x00E9, 0x00E8,
    0x00EA, 0x00EB, 0x00ED, 0x00EC, 0x00EE, 0x00EF, 0x00F1, 0x00F3,
    0x00F2, 0x00F4, 0x00F6, 0x00F5, 0x00FA, 0x00F9, 0x00FB, 0x00FC,
    0x2020, 0x00B0, 0x00A2, 0x00A3, 0x00A7, 0x2022, 0x00B6, 0x00DF,
    0x00AE, 0x00A9, 0x2122, 0x00B4, 0x00A8, 0x2260, 0x00C6, 0x00D8,
    0x221E, 0x00B1, 0x2264, 0x2265, 0x00A5, 0x00B5, 0x2202, 0x2211,
    0x220F, 0x03C0, 0x222B, 0x00AA, 0x00BA, 0x03A9, 0x00E6, 0x00F8,
    0x00BF, 0x00A1, 0x00AC, 0x221A, 0x0192, 0x2248, 0x2206, 0x00AB,
    0x00BB, 0x2026, 0x00A0, 0x00C0, 0x00C3, 0x00D5, 0x0152, 0x0153,
    0x2013, 0x2014, 0x201C, 0x201D, 0x2018, 0x2019, 0x00F7, 0x25CA,
    0x00FF, 0x0178, 0x2044, 0x20AC, 0x2039, 0x203A, 0xFB01, 0xFB02,
    0x2021, 0x00B7, 0x201A, 0x201E, 0x2030, 0x00C2, 0x00CA, 0x00C1,
    0x00CB, 0x00C8, 0x00CD, 0x00CE, 0x00CF, 0x00CC, 0x00D3, 0x00D4,
    0xF8FF, 0x00D2, 0x00DA, 0x00DB, 0x00D9, 0x0131, 0x02C6, 0x02DC,
    0x00AF, 0x02D8, 0x02D9, 0x02DA, 0x00B8, 0x02DD, 0x02DB, 0x02C7,
};

const std::unordered_map<char16_t, uint8_t>& ReverseTable() {
    static const auto table = [] {
        std::unordered_map<char16_t, uint8_t> m;
        for (int i = 0; i < 128; ++i) m.emplace(kHighHalf[i], uint8_t(0x80 + i));
        return m;
    }();
    return table;
}

} // namespace

CFStringEncoding CFStringGetSystemEncoding() { return kCFStringEncodingMacRoman; }

namespace plat {

char16_t MacRomanToUnicode(uint8_t byte) {
    return byte < 0x80 ? char16_t(byte) : kHighHalf[byte - 0x80];
}

std::optional<uint8_t> UnicodeToMacRoman(char16_t unit) {
    if (unit < 0x80) return uint8_t(unit);
    const auto& rev = ReverseTable();
    auto it = rev.find(unit);
    if (it == rev.end()) return std::nullopt;
    return it->second;
}

QString MacRomanToQString(std::string_view bytes) {
    QString out(qsizetype(bytes.size()), Qt::Uninitialized);
    QChar* d = out.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) d[i] = QChar(MacRomanToUnicode(uint8_t(bytes[i])));
    return out;
}

std::optional<std::string> QStringToMacRoman(const QString& text) {
    std::string out;
    out.reserve(std::size_t(text.size()));
    for (QChar c : text) {
        auto b = UnicodeToMacRoman(c.unicode());
        if (!b) return std::nullopt;
        out.push_back(char(*b));
    }
    return out;
}

} // namespace plat

std::optional<QString> CFStringCreateWithBytes(const uint8_t* bytes, std::size_t length,
                                               CFStringEncoding encoding) {
    if (!bytes && length) return std::nullopt;
    std::string_view view(reinterpret_cast<const char*>(bytes), length);
    switch (encoding) {
    case kCFStringEncodingMacRoman:
        return plat::MacRomanToQString(view);
    case kCFStringEncodingASCII:
        for (char c : view)
            if (uint8_t(c) >= 0x80) return std::nullopt;
        return QString::fromLatin1(view.data(), qsizetype(view.size()));
    case kCFStringEncodingUTF8: {
        QStringDecoder dec(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString s = dec.decode(QByteArrayView(view.data(), qsizetype(view.size())));
        if (dec.hasError()) return std::nullopt;
        return s;
    }
    default:
        return std::nullopt;
    }
}

std::optional<QString> CFStringCreateWithCString(const char* cstr, CFStringEncoding encoding) {
    if (!cstr) return std::nullopt;
    return CFStringCreateWithBytes(reinterpret_cast<const uint8_t*>(cstr), std::strlen(cstr),
                                   encoding);
}

bool CFStringGetCString(const QString& text, char* buffer, std::size_t bufferSize,
                        CFStringEncoding encoding) {
    if (!buffer || bufferSize == 0) return false;
    buffer[0] = 0;
    std::string bytes;
    switch (encoding) {
    case kCFStringEncodingMacRoman: {
        auto mr = plat::QStringToMacRoman(text);
        if (!mr) return false;
        bytes = std::move(*mr);
        break;
    }
    case kCFStringEncodingASCII:
        for (QChar c : text)
            if (c.unicode() >= 0x80) return false;
        bytes = text.toStdString();
        break;
    case kCFStringEncodingUTF8:
        bytes = text.toStdString();
        break;
    default:
        return false;
    }
    if (bytes.size() + 1 > bufferSize) return false;
    std::memcpy(buffer, bytes.data(), bytes.size());
    buffer[bytes.size()] = 0;
    return true;
}
