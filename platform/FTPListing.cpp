#include "platform/FTPListing.h"

#include <QStringDecoder>
#include <array>
#include <charconv>
#include <cstring>
#include <vector>

const QString kCFFTPResourceType = QStringLiteral("kCFFTPResourceType");
const QString kCFFTPResourceMode = QStringLiteral("kCFFTPResourceMode");
const QString kCFFTPResourceOwner = QStringLiteral("kCFFTPResourceOwner");
const QString kCFFTPResourceGroup = QStringLiteral("kCFFTPResourceGroup");
const QString kCFFTPResourceSize = QStringLiteral("kCFFTPResourceSize");
const QString kCFFTPResourceModDate = QStringLiteral("kCFFTPResourceModDate");
const QString kCFFTPResourceName = QStringLiteral("kCFFTPResourceName");
const QString kCFFTPResourceLink = QStringLiteral("kCFFTPResourceLink");

namespace {

// d_type numbers, as in <dirent.h>.
enum : int64_t {
    kTypeUnknown = 0,
    kTypeFifo = 1,
    kTypeChar = 2,
    kTypeDir = 4,
    kTypeBlock = 6,
    kTypeRegular = 8,
    kTypeLink = 10,
    kTypeSocket = 12,
    kTypeWhiteout = 14,
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}
char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

bool AllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!IsDigit(c)) return false;
    return true;
}

// A whole decimal or octal number; nullopt on anything else or on overflow.
std::optional<int64_t> ParseNumber(std::string_view s, int base = 10) {
    if (s.empty()) return std::nullopt;
    int64_t value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    if (ec != std::errc() || end != s.data() + s.size() || value < 0) return std::nullopt;
    return value;
}

int ParseFixed(std::string_view s) {
    return int(*ParseNumber(s));
} // s: checked digits

// Names and owners: UTF-8 when the bytes are valid UTF-8, else Latin-1, the
// encoding legacy Unix and Windows servers write most often.
QString DecodeText(std::string_view bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = utf8(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

std::string_view SkipSpaces(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && IsSpace(s[i]))
        ++i;
    return s.substr(i);
}

struct Token {
    std::size_t begin;
    std::size_t end;
};

// Whitespace-separated tokens of line, at most maxTokens of them.
std::vector<Token> Tokenize(std::string_view line, std::size_t from, std::size_t maxTokens) {
    std::vector<Token> tokens;
    std::size_t i = from;
    while (tokens.size() < maxTokens) {
        while (i < line.size() && IsSpace(line[i]))
            ++i;
        if (i == line.size()) break;
        std::size_t start = i;
        while (i < line.size() && !IsSpace(line[i]))
            ++i;
        tokens.push_back({start, i});
    }
    return tokens;
}

int MonthNumber(std::string_view s) {
    static constexpr std::array<std::string_view, 12> kMonths = {
        "jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"};
    for (std::size_t i = 0; i < kMonths.size(); ++i)
        if (EqualsNoCase(s, kMonths[i])) return int(i) + 1;
    return 0;
}

// "h:mm", "hh:mm" and, when withSeconds, "hh:mm:ss".
std::optional<QTime> ParseClock(std::string_view s, bool withSeconds) {
    std::size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2) return std::nullopt;
    std::string_view h = s.substr(0, colon), rest = s.substr(colon + 1);
    std::string_view m = rest, sec;
    if (withSeconds) {
        std::size_t colon2 = rest.find(':');
        if (colon2 == std::string_view::npos) return std::nullopt;
        m = rest.substr(0, colon2);
        sec = rest.substr(colon2 + 1);
        if (sec.size() != 2 || !AllDigits(sec)) return std::nullopt;
    }
    if (!AllDigits(h) || m.size() != 2 || !AllDigits(m)) return std::nullopt;
    QTime t(ParseFixed(h), ParseFixed(m), withSeconds ? ParseFixed(sec) : 0);
    if (!t.isValid()) return std::nullopt;
    return t;
}

std::optional<int> ParseYear(std::string_view s) {
    if (s.size() != 4 || !AllDigits(s)) return std::nullopt;
    return ParseFixed(s);
}

std::optional<int> ParseDay(std::string_view s) {
    if (s.empty() || s.size() > 2 || !AllDigits(s)) return std::nullopt;
    int d = ParseFixed(s);
    if (d < 1 || d > 31) return std::nullopt;
    return d;
}

// ls shows a time instead of the year for recent dates: the year is the one
// that puts the date latest while at most six months after now (which allows
// for a server clock running ahead).
QDateTime DateWithoutYear(int month, int day, QTime time, const QDateTime& now) {
    const QDateTime limit = now.addMonths(6);
    const int thisYear = now.toLocalTime().date().year();
    // Back far enough that 29 February meets a leap year.
    for (int year = thisYear + 1; year >= thisYear - 8; --year) {
        QDate date(year, month, day);
        if (!date.isValid()) continue;
        QDateTime candidate(date, time, Qt::LocalTime);
        if (candidate <= limit) return candidate;
    }
    return QDateTime();
}

// insert_or_assign rather than operator[]: GCC 12 with the sanitizers
// warns falsely about the value's variant in the default-construct-then-assign.
void SetInteger(PlistDictionary& entry, const QString& key, int64_t value) {
    entry.insert_or_assign(key, PlistValue::integer(value));
}

void SetDate(PlistDictionary& entry, const QDateTime& date) {
    if (date.isValid()) entry.insert_or_assign(kCFFTPResourceModDate, PlistValue::date(date));
}

void SetName(PlistDictionary& entry, std::string_view name) {
    entry[kCFFTPResourceName] = DecodeText(name);
}

// --- Unix ls -l ---------------------------------------------------------

std::optional<int64_t> UnixType(char c) {
    switch (c) {
    case '-':
        return kTypeRegular;
    case 'd':
        return kTypeDir;
    case 'l':
        return kTypeLink;
    case 'c':
        return kTypeChar;
    case 'b':
        return kTypeBlock;
    case 'p':
        return kTypeFifo;
    case 's':
        return kTypeSocket;
    case 'w':
        return kTypeWhiteout;
    case 'D': // a Solaris door
    case '?':
        return kTypeUnknown;
    default:
        return std::nullopt;
    }
}

// "rwxr-xr-x" with s/S, s/S (or l/L, mandatory locking) and t/T.
std::optional<int64_t> UnixPermissions(std::string_view p) {
    int64_t mode = 0;
    for (int who = 0; who < 3; ++who) {
        const char r = p[who * 3], w = p[who * 3 + 1], x = p[who * 3 + 2];
        const int shift = (2 - who) * 3;
        if (r == 'r')
            mode |= 4 << shift;
        else if (r != '-')
            return std::nullopt;
        if (w == 'w')
            mode |= 2 << shift;
        else if (w != '-')
            return std::nullopt;
        const int64_t special = who == 0 ? 04000 : who == 1 ? 02000 : 01000;
        const char set = who == 2 ? 't' : 's';
        if (x == 'x') {
            mode |= 1 << shift;
        } else if (x == set) {
            mode |= (1 << shift) | special;
        } else if (x == char(set - 'a' + 'A')) {
            mode |= special;
        } else if (who == 1 && (x == 'l' || x == 'L')) {
            mode |= special;
        } else if (x != '-') {
            return std::nullopt;
        }
    }
    return mode;
}

std::optional<PlistDictionary> ParseUnix(std::string_view line, const QDateTime& now) {
    if (line.size() < 10) return std::nullopt;
    const auto type = UnixType(line[0]);
    const auto mode = type ? UnixPermissions(line.substr(1, 9)) : std::nullopt;
    if (!mode) return std::nullopt;
    std::size_t pos = 10;
    if (pos < line.size() && (line[pos] == '+' || line[pos] == '@' || line[pos] == '.')) ++pos;
    if (pos >= line.size() || !IsSpace(line[pos])) return std::nullopt;

    // links, owner, group, size (or "major, minor") and three or four date
    // tokens: the date lies within the first dozen, and a long name is not
    // split up for nothing.
    const auto tokens = Tokenize(line, pos, 12);
    auto text = [&](std::size_t i) {
        return line.substr(tokens[i].begin, tokens[i].end - tokens[i].begin);
    };

    for (std::size_t i = 1; i + 2 < tokens.size(); ++i) {
        const int month = MonthNumber(text(i));
        const auto day = month ? ParseDay(text(i + 1)) : std::nullopt;
        if (!day) continue;

        // The size just before the month, or a device's "major, minor" / "major,minor".
        std::optional<int64_t> size;
        std::size_t sizeStart; // index of the first token of the size column
        const std::string_view last = text(i - 1);
        const std::size_t comma = last.find(',');
        if (AllDigits(last) && i >= 2 && text(i - 2).size() > 1 && text(i - 2).back() == ',' &&
            AllDigits(text(i - 2).substr(0, text(i - 2).size() - 1))) {
            sizeStart = i - 2;
        } else if (comma != std::string_view::npos && comma > 0 &&
                   AllDigits(last.substr(0, comma)) && AllDigits(last.substr(comma + 1))) {
            sizeStart = i - 1;
        } else if (AllDigits(last)) {
            size = ParseNumber(last);
            sizeStart = i - 1;
        } else {
            continue;
        }

        // Time and no year, a year, or BSD's "hh:mm:ss yyyy".
        QDateTime date;
        std::size_t dateEnd = i + 2;
        if (auto time = ParseClock(text(i + 2), false)) {
            date = DateWithoutYear(month, *day, *time, now);
        } else if (auto year = ParseYear(text(i + 2))) {
            const QDate d(*year, month, *day);
            if (d.isValid()) date = QDateTime(d, QTime(0, 0), Qt::LocalTime);
        } else if (auto full = ParseClock(text(i + 2), true); full && i + 3 < tokens.size()) {
            const auto fullYear = ParseYear(text(i + 3));
            if (!fullYear) continue;
            const QDate d(*fullYear, month, *day);
            if (d.isValid()) date = QDateTime(d, *full, Qt::LocalTime);
            dateEnd = i + 3;
        } else {
            continue;
        }

        // The name is everything after the single space that ends the date,
        // so leading and trailing spaces of the name survive.
        const std::size_t nameStart = tokens[dateEnd].end + 1;
        if (nameStart >= line.size()) return std::nullopt;
        std::string_view name = line.substr(nameStart);

        PlistDictionary entry;
        SetInteger(entry, kCFFTPResourceType, *type);
        SetInteger(entry, kCFFTPResourceMode, *mode);

        // Before the size: [links] owner [group]. A lone number is the link
        // count of a listing without owner and group.
        std::size_t first = 0;
        const std::size_t count = sizeStart;
        if (count >= 3 || (count >= 1 && AllDigits(text(0)))) first = 1;
        if (first < count) entry[kCFFTPResourceOwner] = DecodeText(text(first));
        if (first + 1 < count) entry[kCFFTPResourceGroup] = DecodeText(text(first + 1));
        if (size) SetInteger(entry, kCFFTPResourceSize, *size);
        SetDate(entry, date);

        if (*type == kTypeLink) {
            const std::size_t arrow = name.find(" -> ");
            if (arrow != std::string_view::npos) {
                entry[kCFFTPResourceLink] = DecodeText(name.substr(arrow + 4));
                name = name.substr(0, arrow);
            }
        }
        if (name.empty()) return std::nullopt;
        SetName(entry, name);
        return entry;
    }
    return std::nullopt;
}

// --- DOS / IIS ----------------------------------------------------------

// "MM-DD-YY", "MM-DD-YYYY" (or with '/'), and "YYYY-MM-DD".
std::optional<QDate> ParseDosDate(std::string_view s) {
    std::array<std::string_view, 3> parts;
    std::size_t part = 0, start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i) {
        if (i == s.size() || s[i] == '-' || s[i] == '/') {
            if (part == 3) return std::nullopt;
            parts[part++] = s.substr(start, i - start);
            start = i + 1;
        }
    }
    if (part != 3) return std::nullopt;
    for (auto p : parts)
        if (!AllDigits(p) || p.size() > 4) return std::nullopt;
    int year, month, day;
    if (parts[0].size() == 4) {
        year = ParseFixed(parts[0]), month = ParseFixed(parts[1]), day = ParseFixed(parts[2]);
    } else if (parts[0].size() <= 2 && parts[1].size() <= 2 &&
               (parts[2].size() == 2 || parts[2].size() == 4)) {
        month = ParseFixed(parts[0]), day = ParseFixed(parts[1]), year = ParseFixed(parts[2]);
        if (parts[2].size() == 2) year += year < 70 ? 2000 : 1900;
    } else {
        return std::nullopt;
    }
    QDate date(year, month, day);
    if (!date.isValid()) return std::nullopt;
    return date;
}

// "10:15AM", "10:15 PM" (meridiem as the next token) or 24-hour "22:15".
std::optional<QTime> ParseDosTime(std::string_view s, std::string_view& rest) {
    std::size_t digitsEnd = 0;
    while (digitsEnd < s.size() && (IsDigit(s[digitsEnd]) || s[digitsEnd] == ':'))
        ++digitsEnd;
    auto clock = ParseClock(s.substr(0, digitsEnd), false);
    if (!clock) return std::nullopt;
    std::string_view meridiem = s.substr(digitsEnd);
    if (meridiem.empty()) {
        std::string_view after = SkipSpaces(rest);
        std::size_t end = 0;
        while (end < after.size() && !IsSpace(after[end]))
            ++end;
        if (EqualsNoCase(after.substr(0, end), "AM") || EqualsNoCase(after.substr(0, end), "PM")) {
            meridiem = after.substr(0, end);
            rest = after.substr(end);
        }
    }
    if (meridiem.empty()) return clock;
    const bool pm = EqualsNoCase(meridiem, "PM");
    if (!pm && !EqualsNoCase(meridiem, "AM")) return std::nullopt;
    int hour = clock->hour();
    if (hour < 1 || hour > 12) return std::nullopt;
    hour = hour % 12 + (pm ? 12 : 0);
    return QTime(hour, clock->minute());
}

// Splits the first token off s; s keeps what follows it.
std::string_view NextToken(std::string_view& s) {
    s = SkipSpaces(s);
    std::size_t end = 0;
    while (end < s.size() && !IsSpace(s[end]))
        ++end;
    std::string_view token = s.substr(0, end);
    s = s.substr(end);
    return token;
}

std::optional<PlistDictionary> ParseDos(std::string_view line) {
    std::string_view rest = line;
    const auto date = ParseDosDate(NextToken(rest));
    if (!date) return std::nullopt;
    const auto time = ParseDosTime(NextToken(rest), rest);
    if (!time) return std::nullopt;

    PlistDictionary entry;
    const std::string_view column = NextToken(rest);
    if (EqualsNoCase(column, "<DIR>")) {
        SetInteger(entry, kCFFTPResourceType, kTypeDir);
    } else {
        // Some servers group the digits: "1,234".
        std::string digits;
        for (char c : column)
            if (c != ',') digits += c;
        if (!AllDigits(digits) || column.front() == ',') return std::nullopt;
        auto size = ParseNumber(digits);
        if (!size) return std::nullopt;
        SetInteger(entry, kCFFTPResourceType, kTypeRegular);
        SetInteger(entry, kCFFTPResourceSize, *size);
    }
    // The name starts after the run of spaces that aligns the names.
    const std::string_view name = SkipSpaces(rest);
    if (name.empty()) return std::nullopt;
    SetDate(entry, QDateTime(*date, *time, Qt::LocalTime));
    SetName(entry, name);
    return entry;
}

// --- EPLF ---------------------------------------------------------------

// "+fact,fact,...,\tname": '/' a folder, 'r' a file, s size, m Unix time,
// up octal permissions.
std::optional<PlistDictionary> ParseEplf(std::string_view line) {
    const std::size_t tab = line.find('\t');
    if (tab == std::string_view::npos || tab + 1 >= line.size()) return std::nullopt;
    std::string_view facts = line.substr(1, tab - 1);
    PlistDictionary entry;
    bool dir = false, file = false;
    while (!facts.empty()) {
        const std::size_t comma = facts.find(',');
        const std::string_view fact = facts.substr(0, comma);
        facts = comma == std::string_view::npos ? std::string_view() : facts.substr(comma + 1);
        if (fact.empty()) continue;
        switch (fact[0]) {
        case '/':
            dir = true;
            break;
        case 'r':
            file = true;
            break;
        case 's':
            if (auto size = ParseNumber(fact.substr(1)))
                SetInteger(entry, kCFFTPResourceSize, *size);
            break;
        case 'm':
            if (auto secs = ParseNumber(fact.substr(1)))
                SetDate(entry, QDateTime::fromSecsSinceEpoch(*secs, Qt::UTC));
            break;
        case 'u':
            if (fact.size() > 2 && fact[1] == 'p')
                if (auto mode = ParseNumber(fact.substr(2), 8))
                    SetInteger(entry, kCFFTPResourceMode, *mode & 07777);
            break;
        default:
            break;
        }
    }
    if (dir || file) SetInteger(entry, kCFFTPResourceType, dir ? kTypeDir : kTypeRegular);
    SetName(entry, line.substr(tab + 1));
    return entry;
}

// --- MLSD / MLST --------------------------------------------------------

// "fact=value;fact=value; name": every fact ends with ';', the name follows
// the first space.
bool LooksLikeFacts(std::string_view facts) {
    return !facts.empty() && facts.back() == ';' && facts.find('=') != std::string_view::npos;
}

std::optional<int64_t> MlsdUnixType(std::string_view kind) {
    static constexpr std::pair<std::string_view, int64_t> kKinds[] = {
        {"slink", kTypeLink}, {"symlink", kTypeLink}, {"link", kTypeLink},    {"chr", kTypeChar},
        {"char", kTypeChar},  {"blk", kTypeBlock},    {"block", kTypeBlock},  {"fifo", kTypeFifo},
        {"pipe", kTypeFifo},  {"sock", kTypeSocket},  {"socket", kTypeSocket}};
    for (auto [name, type] : kKinds)
        if (EqualsNoCase(kind, name)) return type;
    return std::nullopt;
}

std::optional<QDateTime> ParseMlsdTime(std::string_view s) {
    std::string_view fraction;
    if (std::size_t dot = s.find('.'); dot != std::string_view::npos) {
        fraction = s.substr(dot + 1);
        s = s.substr(0, dot);
        if (!AllDigits(fraction)) return std::nullopt;
    }
    if (s.size() != 14 || !AllDigits(s)) return std::nullopt;
    int ms = 0;
    for (std::size_t i = 0; i < 3; ++i)
        ms = ms * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    const QDate date(ParseFixed(s.substr(0, 4)), ParseFixed(s.substr(4, 2)),
                     ParseFixed(s.substr(6, 2)));
    const QTime time(ParseFixed(s.substr(8, 2)), ParseFixed(s.substr(10, 2)),
                     ParseFixed(s.substr(12, 2)), ms);
    if (!date.isValid() || !time.isValid()) return std::nullopt;
    return QDateTime(date, time, Qt::UTC);
}

std::optional<PlistDictionary> ParseMlsd(std::string_view facts, std::string_view name) {
    PlistDictionary entry;
    std::optional<std::string_view> owner[3], group[3]; // by preference: name, owner, uid
    std::optional<int64_t> size, dirSize;
    while (!facts.empty()) {
        const std::size_t semi = facts.find(';');
        const std::string_view fact = facts.substr(0, semi);
        facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
        const std::size_t eq = fact.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = fact.substr(0, eq), value = fact.substr(eq + 1);
        if (EqualsNoCase(key, "type")) {
            if (EqualsNoCase(value, "cdir") || EqualsNoCase(value, "pdir")) return std::nullopt;
            if (EqualsNoCase(value, "file")) {
                SetInteger(entry, kCFFTPResourceType, kTypeRegular);
            } else if (EqualsNoCase(value, "dir")) {
                SetInteger(entry, kCFFTPResourceType, kTypeDir);
            } else if (StartsWithNoCase(value, "OS.unix=")) {
                // "OS.unix=slink:/target", "OS.unix=symlink", "OS.unix=chr-5/1"...
                std::string_view kind = value.substr(8);
                std::string_view target;
                if (std::size_t colon = kind.find(':'); colon != std::string_view::npos) {
                    target = kind.substr(colon + 1);
                    kind = kind.substr(0, colon);
                }
                kind = kind.substr(0, kind.find_first_of("-/"));
                if (auto type = MlsdUnixType(kind)) {
                    SetInteger(entry, kCFFTPResourceType, *type);
                    if (*type == kTypeLink && !target.empty())
                        entry[kCFFTPResourceLink] = DecodeText(target);
                }
            }
        } else if (EqualsNoCase(key, "size")) {
            size = ParseNumber(value);
        } else if (EqualsNoCase(key, "sizd")) {
            dirSize = ParseNumber(value);
        } else if (EqualsNoCase(key, "modify")) {
            if (auto date = ParseMlsdTime(value)) SetDate(entry, *date);
        } else if (EqualsNoCase(key, "UNIX.mode")) {
            if (auto mode = ParseNumber(value, 8))
                SetInteger(entry, kCFFTPResourceMode, *mode & 07777);
        } else if (EqualsNoCase(key, "UNIX.ownername")) {
            owner[0] = value;
        } else if (EqualsNoCase(key, "UNIX.owner")) {
            owner[1] = value;
        } else if (EqualsNoCase(key, "UNIX.uid")) {
            owner[2] = value;
        } else if (EqualsNoCase(key, "UNIX.groupname")) {
            group[0] = value;
        } else if (EqualsNoCase(key, "UNIX.group")) {
            group[1] = value;
        } else if (EqualsNoCase(key, "UNIX.gid")) {
            group[2] = value;
        }
    }
    if (name.empty()) return std::nullopt;
    if (size || dirSize) SetInteger(entry, kCFFTPResourceSize, size ? *size : *dirSize);
    for (const auto& o : owner)
        if (o && !o->empty()) {
            entry[kCFFTPResourceOwner] = DecodeText(*o);
            break;
        }
    for (const auto& g : group)
        if (g && !g->empty()) {
            entry[kCFFTPResourceGroup] = DecodeText(*g);
            break;
        }
    SetName(entry, name);
    return entry;
}

} // namespace

namespace plat {

std::optional<PlistDictionary> ParseFTPListingLine(std::string_view line, const QDateTime& now) {
    if (line.empty()) return std::nullopt;
    if (line[0] == '+') return ParseEplf(line);

    // MLST replies put one space before the facts; MLSD lines do not.
    const std::string_view mlsd = line[0] == ' ' ? line.substr(1) : line;
    const std::size_t space = mlsd.find(' ');
    if (space != std::string_view::npos && LooksLikeFacts(mlsd.substr(0, space)))
        return ParseMlsd(mlsd.substr(0, space), mlsd.substr(space + 1));

    if (IsDigit(line[0])) return ParseDos(line);
    return ParseUnix(line, now);
}

} // namespace plat

CFIndex CFFTPCreateParsedResourceListing(void* /*allocator*/, const UInt8* buffer,
                                         CFIndex bufferLength,
                                         std::optional<PlistDictionary>* parsed) {
    if (parsed) parsed->reset();
    if (!parsed || bufferLength < 0 || (!buffer && bufferLength > 0)) return -1;
    if (bufferLength == 0) return 0;

    const char* bytes = reinterpret_cast<const char*>(buffer);
    const std::size_t length = std::size_t(bufferLength);
    const void* lf = std::memchr(bytes, '\n', length);
    const std::size_t lfAt = lf ? std::size_t(static_cast<const char*>(lf) - bytes) : length;
    const void* cr = std::memchr(bytes, '\r', lfAt);
    std::size_t lineEnd, consumed;
    if (cr) {
        lineEnd = std::size_t(static_cast<const char*>(cr) - bytes);
        consumed = lineEnd + 1 < length && bytes[lineEnd + 1] == '\n' ? lineEnd + 2 : lineEnd + 1;
    } else if (lf) {
        lineEnd = lfAt;
        consumed = lfAt + 1;
    } else {
        return 0;
    }
    *parsed =
        plat::ParseFTPListingLine(std::string_view(bytes, lineEnd), QDateTime::currentDateTime());
    return CFIndex(consumed);
}

void strmode(int mode, char* p) {
    if (!p) return;
    switch (mode & 0170000) {
    case 0010000:
        *p++ = 'p';
        break;
    case 0020000:
        *p++ = 'c';
        break;
    case 0040000:
        *p++ = 'd';
        break;
    case 0060000:
        *p++ = 'b';
        break;
    case 0100000:
        *p++ = '-';
        break;
    case 0120000:
        *p++ = 'l';
        break;
    case 0140000:
        *p++ = 's';
        break;
    case 0160000:
        *p++ = 'w';
        break;
    default:
        *p++ = '?';
        break;
    }
    static constexpr int kSpecial[3] = {04000, 02000, 01000};
    for (int who = 0; who < 3; ++who) {
        const int shift = (2 - who) * 3;
        *p++ = (mode & (4 << shift)) ? 'r' : '-';
        *p++ = (mode & (2 << shift)) ? 'w' : '-';
        const bool exec = mode & (1 << shift), special = mode & kSpecial[who];
        const char set = who == 2 ? 't' : 's';
        *p++ = special ? (exec ? set : char(set - 'a' + 'A')) : (exec ? 'x' : '-');
    }
    *p++ = ' ';
    *p = '\0';
}
