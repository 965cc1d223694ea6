// Mac Roman <-> UTF-16 by Apple's mapping table (0xDB is the euro sign).
// The system encoding of this platform is Mac Roman, so Mac Roman C strings
// round-trip through platform strings (QString).
#pragma once

#include "platform/MacTypes.h"

#include <QString>
#include <optional>
#include <string>
#include <string_view>

using CFStringEncoding = uint32_t;
constexpr CFStringEncoding kCFStringEncodingMacRoman = 0;
constexpr CFStringEncoding kCFStringEncodingASCII = 0x0600;
constexpr CFStringEncoding kCFStringEncodingUTF8 = 0x08000100;
constexpr CFStringEncoding kTextEncodingMacRoman = 0;

// Always Mac Roman on this platform.
CFStringEncoding CFStringGetSystemEncoding();

namespace plat {

// The UTF-16 unit of one Mac Roman byte (every byte maps to exactly one unit).
char16_t MacRomanToUnicode(uint8_t byte);

// The Mac Roman byte of one UTF-16 unit; nullopt when Mac Roman has no such character.
std::optional<uint8_t> UnicodeToMacRoman(char16_t unit);

// Whole-string conversions. Decoding never fails; encoding fails (nullopt)
// when any character has no Mac Roman form.
QString MacRomanToQString(std::string_view bytes);
std::optional<std::string> QStringToMacRoman(const QString& text);

// C0 controls and DEL: a log shows them as escapes, a settings field refuses
// them. (CR, LF and NUL on an FTP command line: HasControlCharacter.)
constexpr bool IsControlCharacter(char16_t u) {
    return u < 0x20 || u == 0x7F;
}
// What a property list cannot hold: C0 controls other than tab, LF and CR,
// and U+FFFE and U+FFFF (XML 1.0 has no form for them).
constexpr bool IsPlistUnsafeCharacter(char16_t u) {
    return (u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0xFFFE || u == 0xFFFF;
}

} // namespace plat

// Core Foundation style conversions used by the application's toolkit.
// Creating from bytes fails (nullopt) when the bytes are not valid in the
// encoding (only possible for UTF-8 and ASCII; every byte is Mac Roman).
std::optional<QString> CFStringCreateWithCString(const char* cstr, CFStringEncoding encoding);
std::optional<QString> CFStringCreateWithBytes(const uint8_t* bytes, std::size_t length,
                                               CFStringEncoding encoding);
// Writes the terminated text into buffer; false (and an empty buffer when
// bufferSize > 0) when it does not fit in bufferSize bytes with its terminator
// or a character cannot be encoded.
bool CFStringGetCString(const QString& text, char* buffer, std::size_t bufferSize,
                        CFStringEncoding encoding);
