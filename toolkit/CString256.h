// CString256: the application's fixed-capacity string. 256 bytes, no heap:
// at most 255 bytes of (normally Mac Roman) text and a terminator. Every
// assignment and append cuts silently at 255 bytes, so log lines, file names
// and keychain accounts built in it share that limit.
#pragma once

#include "platform/MacTypes.h"

#include <QString>
#include <cstddef>
#include <cstdio>
#include <type_traits>

template <class T> class CList;

// A length-prefixed string: one length byte, then up to 255 bytes.
using Str255 = unsigned char[256];
// A memory handle: a pointer to a pointer to the bytes (here, terminated text).
using Handle = char**;

class CString256;

// What a matcher compares the receiver with: a text, or a list of pieces for
// the wildcard matchers. A matcher gives 0 when its kind of argument is null.
struct CString256MatchArgument {
    const char* text = nullptr;
    const CList<CString256>* pieces = nullptr;
};
// A matcher over raw strings: the score (0 to 1) of receiver against argument.
using CString256Matcher = double (*)(const char* receiver, const CString256MatchArgument& argument);

class CString256 {
public:
    static constexpr std::size_t kCapacity = 255;
    // Digit budget of the integer forms.
    static constexpr std::size_t kDecimalDigits = 30;

    CString256() = default;
    CString256(const char* text) { *this = text; }
    explicit CString256(const Str255& text) { *this = text; }
    CString256(const QString& text) { *this = text; }

    CString256& operator=(const char* text);
    CString256& operator=(const Str255& text);
    CString256& operator=(Handle text);
    // Mac Roman; the empty string when the text does not fit in 255 bytes or
    // has a character Mac Roman lacks.
    CString256& operator=(const QString& text);
    CString256& operator=(SInt32 value);

    CString256& operator+=(const char* text);
    CString256& operator+=(const CString256& text) { return *this += text.m_text; }
    CString256& operator+=(const Str255& text);
    // Appends nothing when the text does not convert as for assignment.
    CString256& operator+=(const QString& text);
    CString256& operator+=(SInt32 value);
    // Single characters are added only while the length is below 254.
    CString256& operator+=(char c);

    // A new platform string from the bytes in the system encoding (Mac Roman).
    QString MakeCFString() const;

    const char* c_str() const { return m_text; }
    operator const char*() const { return m_text; }
    std::size_t length() const;
    bool empty() const { return m_text[0] == 0; }

    // The byte at index; the terminator for an index outside the buffer.
    char operator[](int index) const;

    friend bool operator==(const CString256& a, const CString256& b);
    friend bool operator==(const CString256& a, const char* b);

    CString256& to_lower();
    CString256& filter_to_alnum_or_punct();
    // Removes the last "." and what follows, then appends "." and suffix.
    CString256& change_suffix(const char* suffix);

    bool beginsWith(const char* text, bool ignoreCase = false) const;
    bool endsWith(const char* text, bool ignoreCase = false) const;
    bool beginsWith_nocase(const char* text) const { return beginsWith(text, true); }
    bool endsWith_nocase(const char* text) const { return endsWith(text, true); }

    // Clears list and appends each piece of the text between delimiter bytes
    // (runs of delimiters count as one); returns the number of pieces.
    int parse_into_list(const char* delimiters, CList<CString256>& list) const;
    // Becomes the list's texts joined by separator (cut at 255 bytes).
    CString256& flatten_list(char separator, const CList<CString256>& list);

    // Appends the text and "\n" to the terminated text in buffer (capacity
    // bytes in all); false, and the buffer untouched, when it would not fit.
    bool print(char* buffer, std::size_t capacity) const;
    // Writes the text and "\n" to an open stdio stream; false on failure.
    bool print(std::FILE* file) const;

    // Scores from 0 to 1; each returns true when the score is above 0.
    bool match_case_exact(const CString256& other, double& score) const;
    bool match_nocase_exact(const CString256& other, double& score) const;
    bool match_case_partial(const CString256& other, double& score) const;
    bool match_nocase_partial(const CString256& other, double& score) const;
    bool match_case_approximate(const CString256& other, double& score) const;
    bool match_nocase_approximate(const CString256& other, double& score) const;
    bool match_wildcard_case(const CList<CString256>& pieces, double& score) const;
    bool match_wildcard_nocase(const CList<CString256>& pieces, double& score) const;
    bool match(CString256Matcher matcher, const CString256MatchArgument& argument,
               double& score) const;

    // Heap instances come from the free list nfree.
    static void* operator new(std::size_t size);
    static void operator delete(void* p, std::size_t size) noexcept;

private:
    void appendBytes(const char* bytes, std::size_t count);

    char m_text[kCapacity + 1] = {};
};

static_assert(sizeof(CString256) == 256 && std::is_trivially_copyable_v<CString256>);

// The matchers behind the match_ methods, over raw terminated strings.
namespace CString256Matchers {
double case_exact(const char* receiver, const CString256MatchArgument& argument);
double nocase_exact(const char* receiver, const CString256MatchArgument& argument);
double case_partial(const char* receiver, const CString256MatchArgument& argument);
double nocase_partial(const char* receiver, const CString256MatchArgument& argument);
double case_approximate(const char* receiver, const CString256MatchArgument& argument);
double nocase_approximate(const char* receiver, const CString256MatchArgument& argument);
double wildcard_case(const char* receiver, const CString256MatchArgument& argument);
double wildcard_nocase(const char* receiver, const CString256MatchArgument& argument);
} // namespace CString256Matchers
