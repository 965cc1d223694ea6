#include "toolkit/CString256.h"

#include "platform/TextEncoding.h"
#include "toolkit/CList.h"
#include "toolkit/Decimal.h"
#include "toolkit/FixedPool.h"

#include <cctype>
#include <cstring>
#include <string>

namespace {

// Heap instances; never destroyed, so strings owned by threads that are
// still running at exit stay valid.
FixedPool<sizeof(CString256), alignof(CString256)>& nfree() {
    static auto* pool = new FixedPool<sizeof(CString256), alignof(CString256)>;
    return *pool;
}

int upper(char c) {
    return std::toupper(static_cast<unsigned char>(c));
}

// Mac Roman into a full CString256 buffer; false when it does not fit in 255
// bytes or a character has no Mac Roman form.
bool ConvertToMacRoman(const QString& text, char (&buffer)[CString256::kCapacity + 1]) {
    return CFStringGetCString(text, buffer, sizeof buffer, kCFStringEncodingMacRoman);
}

std::string Folded(const char* text) {
    std::string s(text ? text : "");
    for (char& c : s)
        c = char(upper(c));
    return s;
}

double Exact(const char* receiver, const char* other) {
    if (!receiver || !other || !*other) return 0;
    return std::strcmp(receiver, other) == 0 ? 1.0 : 0.0;
}

double Partial(const char* receiver, const char* other) {
    if (!receiver || !other || !*other) return 0;
    return std::strstr(receiver, other) ? 1.0 : 0.0;
}

double Approximate(const char* receiver, const char* other) {
    if (!receiver || !other) return 0;
    const std::size_t lr = std::strlen(receiver), lo = std::strlen(other);
    if (lr + lo == 0) return 0;
    std::size_t count = 0, pos = 0;
    for (std::size_t i = 0; i < lo && pos < lr; ++i) {
        const void* hit =
            std::memchr(receiver + pos, static_cast<unsigned char>(other[i]), lr - pos);
        if (hit) {
            ++count;
            pos = std::size_t(static_cast<const char*>(hit) - receiver) + 1;
        }
    }
    const double lrCount = double(lr) - double(count), loCount = double(lo) - double(count);
    return 1.0 - (lrCount + loCount) / double(lr + lo);
}

// Every non-empty piece, in order and without overlap. A list with nothing to
// look for matches nothing, as an empty text does for the other matchers.
double Wildcard(const char* receiver, const CList<CString256>* pieces, bool ignoreCase) {
    if (!receiver || !pieces) return 0;
    const std::string text = ignoreCase ? Folded(receiver) : std::string(receiver);
    std::size_t pos = 0;
    bool lookedFor = false;
    for (const CString256& piece : *pieces) {
        if (piece.empty()) continue;
        lookedFor = true;
        const std::string p = ignoreCase ? Folded(piece.c_str()) : std::string(piece.c_str());
        const std::size_t at = text.find(p, pos);
        if (at == std::string::npos) return 0;
        pos = at + p.size();
    }
    return lookedFor ? 1.0 : 0.0;
}

} // namespace

void* CString256::operator new(std::size_t size) {
    if (size != sizeof(CString256)) return ::operator new(size);
    return nfree().allocate();
}

void CString256::operator delete(void* p, std::size_t size) noexcept {
    if (size != sizeof(CString256)) {
        ::operator delete(p);
        return;
    }
    nfree().release(p);
}

void CString256::appendBytes(const char* bytes, std::size_t count) {
    const std::size_t used = length();
    const std::size_t n = std::min(count, kCapacity - used);
    std::memmove(m_text + used, bytes, n);
    m_text[used + n] = 0;
}

std::size_t CString256::length() const {
    return strnlen(m_text, kCapacity);
}

CString256& CString256::operator=(const char* text) {
    if (!text) {
        m_text[0] = 0;
        return *this;
    }
    if (text == m_text) return *this;
    const std::size_t n = strnlen(text, kCapacity);
    std::memmove(m_text, text, n);
    m_text[n] = 0;
    return *this;
}

CString256& CString256::operator=(const Str255& text) {
    const std::size_t n = text[0];
    std::memmove(m_text, text + 1, n);
    m_text[n] = 0;
    return *this;
}

CString256& CString256::operator=(Handle text) {
    return *this = (text ? *text : nullptr);
}

CString256& CString256::operator=(const QString& text) {
    if (!ConvertToMacRoman(text, m_text)) m_text[0] = 0;
    return *this;
}

CString256& CString256::operator=(SInt32 value) {
    char digits[kDecimalDigits + 2];
    WriteDecimal(digits, sizeof digits, value, kDecimalDigits);
    return *this = digits;
}

CString256& CString256::operator+=(const char* text) {
    if (text) appendBytes(text, strnlen(text, kCapacity));
    return *this;
}

CString256& CString256::operator+=(const Str255& text) {
    appendBytes(reinterpret_cast<const char*>(text + 1), text[0]);
    return *this;
}

CString256& CString256::operator+=(const QString& text) {
    char converted[kCapacity + 1];
    if (ConvertToMacRoman(text, converted)) *this += converted;
    return *this;
}

CString256& CString256::operator+=(SInt32 value) {
    char digits[kDecimalDigits + 2];
    WriteDecimal(digits, sizeof digits, value, kDecimalDigits);
    return *this += digits;
}

CString256& CString256::operator+=(char c) {
    const std::size_t n = length();
    if (n < kCapacity - 1) {
        m_text[n] = c;
        m_text[n + 1] = 0;
    }
    return *this;
}

QString CString256::MakeCFString() const {
    return CFStringCreateWithCString(m_text, CFStringGetSystemEncoding()).value_or(QString());
}

char CString256::operator[](int index) const {
    if (index < 0 || std::size_t(index) > kCapacity) return 0;
    return m_text[index];
}

bool operator==(const CString256& a, const CString256& b) {
    return std::strcmp(a.m_text, b.m_text) == 0;
}

bool operator==(const CString256& a, const char* b) {
    return b && std::strcmp(a.m_text, b) == 0;
}

CString256& CString256::to_lower() {
    for (char* p = m_text; *p; ++p)
        *p = char(std::tolower(static_cast<unsigned char>(*p)));
    return *this;
}

CString256& CString256::filter_to_alnum_or_punct() {
    char* out = m_text;
    for (const char* p = m_text; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (std::isalnum(c) || std::ispunct(c)) *out++ = *p;
    }
    *out = 0;
    return *this;
}

CString256& CString256::change_suffix(const char* suffix) {
    if (char* dot = std::strrchr(m_text, '.')) *dot = 0;
    *this += '.';
    return *this += suffix;
}

bool CString256::beginsWith(const char* text, bool ignoreCase) const {
    if (!text) return false;
    const std::size_t n = std::strlen(text);
    if (n > length()) return false;
    for (std::size_t i = 0; i < n; ++i) {
        if (ignoreCase ? upper(m_text[i]) != upper(text[i]) : m_text[i] != text[i]) return false;
    }
    return true;
}

bool CString256::endsWith(const char* text, bool ignoreCase) const {
    if (!text) return false;
    const std::size_t n = std::strlen(text), len = length();
    if (n > len) return false;
    const char* tail = m_text + (len - n);
    for (std::size_t i = 0; i < n; ++i) {
        if (ignoreCase ? upper(tail[i]) != upper(text[i]) : tail[i] != text[i]) return false;
    }
    return true;
}

int CString256::parse_into_list(const char* delimiters, CList<CString256>& list) const {
    list.clear();
    const char* set = delimiters ? delimiters : "";
    const std::size_t len = length();
    std::size_t pos = 0;
    while (pos < len) {
        pos += std::strspn(m_text + pos, set);
        if (pos >= len) break;
        const std::size_t n = std::strcspn(m_text + pos, set);
        CString256 piece;
        piece.appendBytes(m_text + pos, n);
        list.append(piece);
        pos += n;
    }
    return list.count();
}

CString256& CString256::flatten_list(char separator, const CList<CString256>& list) {
    CString256 joined;
    bool first = true;
    for (const CString256& item : list) {
        if (!first) joined += separator;
        joined += item;
        first = false;
    }
    return *this = joined;
}

bool CString256::print(char* buffer, std::size_t capacity) const {
    if (!buffer || capacity == 0) return false;
    const std::size_t used = strnlen(buffer, capacity);
    const std::size_t n = length();
    // The existing text, ours, "\n" and the terminator must all fit.
    if (used == capacity || capacity - used < n + 2) return false;
    std::memcpy(buffer + used, m_text, n);
    buffer[used + n] = '\n';
    buffer[used + n + 1] = 0;
    return true;
}

bool CString256::print(std::FILE* file) const {
    if (!file) return false;
    return std::fputs(m_text, file) >= 0 && std::fputc('\n', file) != EOF;
}

bool CString256::match(CString256Matcher matcher, const CString256MatchArgument& argument,
                       double& score) const {
    score = matcher ? matcher(m_text, argument) : 0;
    return score > 0;
}

bool CString256::match_case_exact(const CString256& other, double& score) const {
    return match(CString256Matchers::case_exact, {other.c_str(), nullptr}, score);
}
bool CString256::match_nocase_exact(const CString256& other, double& score) const {
    return match(CString256Matchers::nocase_exact, {other.c_str(), nullptr}, score);
}
bool CString256::match_case_partial(const CString256& other, double& score) const {
    return match(CString256Matchers::case_partial, {other.c_str(), nullptr}, score);
}
bool CString256::match_nocase_partial(const CString256& other, double& score) const {
    return match(CString256Matchers::nocase_partial, {other.c_str(), nullptr}, score);
}
bool CString256::match_case_approximate(const CString256& other, double& score) const {
    return match(CString256Matchers::case_approximate, {other.c_str(), nullptr}, score);
}
bool CString256::match_nocase_approximate(const CString256& other, double& score) const {
    return match(CString256Matchers::nocase_approximate, {other.c_str(), nullptr}, score);
}
bool CString256::match_wildcard_case(const CList<CString256>& pieces, double& score) const {
    return match(CString256Matchers::wildcard_case, {nullptr, &pieces}, score);
}
bool CString256::match_wildcard_nocase(const CList<CString256>& pieces, double& score) const {
    return match(CString256Matchers::wildcard_nocase, {nullptr, &pieces}, score);
}

namespace CString256Matchers {

double case_exact(const char* receiver, const CString256MatchArgument& argument) {
    return Exact(receiver, argument.text);
}
double nocase_exact(const char* receiver, const CString256MatchArgument& argument) {
    if (!receiver || !argument.text) return 0;
    return Exact(Folded(receiver).c_str(), Folded(argument.text).c_str());
}
double case_partial(const char* receiver, const CString256MatchArgument& argument) {
    return Partial(receiver, argument.text);
}
double nocase_partial(const char* receiver, const CString256MatchArgument& argument) {
    if (!receiver || !argument.text) return 0;
    return Partial(Folded(receiver).c_str(), Folded(argument.text).c_str());
}
double case_approximate(const char* receiver, const CString256MatchArgument& argument) {
    return Approximate(receiver, argument.text);
}
double nocase_approximate(const char* receiver, const CString256MatchArgument& argument) {
    if (!receiver || !argument.text) return 0;
    return Approximate(Folded(receiver).c_str(), Folded(argument.text).c_str());
}
double wildcard_case(const char* receiver, const CString256MatchArgument& argument) {
    return Wildcard(receiver, argument.pieces, false);
}
double wildcard_nocase(const char* receiver, const CString256MatchArgument& argument) {
    return Wildcard(receiver, argument.pieces, true);
}

} // namespace CString256Matchers
