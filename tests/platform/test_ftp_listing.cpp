// The FTP listing parser over lines from real servers (Unix ls in its GNU
// and BSD forms, IIS, EPLF, MLSD), its line framing, its robustness on
// junk, and strmode.
#include "platform/FTPListing.h"

#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <vector>

namespace {

QDateTime Local(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), Qt::LocalTime);
}
QDateTime Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

// "Now" for the table: dates without a year fall in [2023-09-10, 2024-09-10 12:00].
const QDateTime kNow = Local(2024, 3, 10, 12, 0);

struct Expected {
    Expected(std::optional<int64_t> type, std::optional<int64_t> mode, const char* owner,
             const char* group, std::optional<int64_t> size, QDateTime date, const char* name,
             const char* link = nullptr)
        : type(type), mode(mode), owner(owner), group(group), size(size), date(date), name(name),
          link(link) {}
    std::optional<int64_t> type, mode;
    const char *owner, *group;
    std::optional<int64_t> size;
    QDateTime date;
    const char *name, *link;
};

struct Row {
    std::string line;
    std::optional<Expected> entry; // nullopt: the line gives no entry
};

// Every key with its kind, so a missing, extra or mistyped key shows in the diff.
std::string Describe(const std::optional<PlistDictionary>& d) {
    if (!d) return "(no entry)";
    std::string out;
    for (const auto& [key, value] : *d) {
        out += key.mid(14).toStdString() + "=";
        if (auto s = value.asString())
            out += "\"" + s->toStdString() + "\"";
        else if (auto i = value.asInteger())
            out += (key == kCFFTPResourceMode ? "0" + QString::number(*i, 8) : QString::number(*i))
                       .toStdString();
        else if (auto t = value.asDate())
            out += t->toUTC().toString(Qt::ISODateWithMs).toStdString();
        else
            out += "(other kind)";
        out += " ";
    }
    return out;
}

std::optional<PlistDictionary> ToDictionary(const std::optional<Expected>& e) {
    if (!e) return std::nullopt;
    PlistDictionary d;
    if (e->type) d[kCFFTPResourceType] = PlistValue::integer(*e->type);
    if (e->mode) d[kCFFTPResourceMode] = PlistValue::integer(*e->mode);
    if (e->owner) d[kCFFTPResourceOwner] = QString::fromUtf8(e->owner);
    if (e->group) d[kCFFTPResourceGroup] = QString::fromUtf8(e->group);
    if (e->size) d[kCFFTPResourceSize] = PlistValue::integer(*e->size);
    if (e->date.isValid()) d[kCFFTPResourceModDate] = PlistValue::date(e->date);
    if (e->name) d[kCFFTPResourceName] = QString::fromUtf8(e->name);
    if (e->link) d[kCFFTPResourceLink] = QString::fromUtf8(e->link);
    return d;
}

void CheckRows(const std::vector<Row>& rows, bool unixModeText = false) {
    for (const auto& row : rows) {
        const auto parsed = plat::ParseFTPListingLine(row.line, kNow);
        EXPECT_EQ(Describe(parsed), Describe(ToDictionary(row.entry))) << row.line;
        // The type and permissions read back as the line's own mode text.
        if (unixModeText && parsed && row.entry && row.entry->type.value_or(0) != 0 &&
            row.entry->mode) {
            char text[12];
            strmode(int(*row.entry->type * 4096 + *row.entry->mode), text);
            EXPECT_EQ(std::string(text, 10), row.line.substr(0, 10));
        }
    }
}

TEST(FTPListingUnix, LinesFromServers) {
    CheckRows(
        {
            // vsftpd: numeric owners, zero-padded day
            {"-rw-r--r--    1 1000     1000         1234 Mar 01 10:15 report.txt",
             Expected{8, 0644, "1000", "1000", 1234, Local(2024, 3, 1, 10, 15), "report.txt"}},
            // proftpd, an older entry with its year
            {"drwxr-xr-x   2 ftp      ftp          4096 Nov 12  2022 pub",
             Expected{4, 0755, "ftp", "ftp", 4096, Local(2022, 11, 12), "pub"}},
            {"lrwxrwxrwx   1 root     root            7 Jan  5 09:00 latest -> v2.1.0",
             Expected{10, 0777, "root", "root", 7, Local(2024, 1, 5, 9), "latest", "v2.1.0"}},
            {"lrwxrwxrwx 1 u g 10 Jan 1 10:00 my link -> ../a b",
             Expected{10, 0777, "u", "g", 10, Local(2024, 1, 1, 10), "my link", "../a b"}},
            // pure-ftpd, on a leap day
            {"-rw-r--r--    1 1000       1000             5 Feb 29 23:59 leap day.txt",
             Expected{8, 0644, "1000", "1000", 5, Local(2024, 2, 29, 23, 59), "leap day.txt"}},
            // pyftpdlib
            {"-rw-r--r--   1 owner    group        1234 Jan 01 10:00 name",
             Expected{8, 0644, "owner", "group", 1234, Local(2024, 1, 1, 10), "name"}},
            // macOS/BSD: extended attributes, 64-bit size
            {"-rw-r--r--@  1 alice  staff  987654321012 Dec 31  1999 big.iso",
             Expected{8, 0644, "alice", "staff", 987654321012, Local(1999, 12, 31), "big.iso"}},
            // ACL mark, setgid folder; October is more than six months ahead: last year
            {"drwxrwsr-x+  3 bob    devs         4096 Oct 30 08:00 shared",
             Expected{4, 02775, "bob", "devs", 4096, Local(2023, 10, 30, 8), "shared"}},
            // SELinux context mark, setuid
            {"-rwsr-xr-x. 1 root root 54256 Mar 10 11:59 passwd",
             Expected{8, 04755, "root", "root", 54256, Local(2024, 3, 10, 11, 59), "passwd"}},
            {"drwxrwxrwt  10 root root 4096 Sep  1 00:00 tmp",
             Expected{4, 01777, "root", "root", 4096, Local(2024, 9, 1), "tmp"}},
            {"-rwSr-Sr-T   1 u g 0 Sep 11 00:00 odd",
             Expected{8, 07644, "u", "g", 0, Local(2023, 9, 11), "odd"}},
            // devices: "major, minor" where the size goes, and no size
            {"crw-rw----   1 root     tty        4,  64 Jan 10 10:00 ttyS0",
             Expected{2, 0660, "root", "tty", {}, Local(2024, 1, 10, 10), "ttyS0"}},
            {"brw-rw----   1 root disk 8,0 Jan 10 10:00 sda",
             Expected{6, 0660, "root", "disk", {}, Local(2024, 1, 10, 10), "sda"}},
            {"prw-r--r--   1 u g 0 Jan 10 10:00 fifo",
             Expected{1, 0644, "u", "g", 0, Local(2024, 1, 10, 10), "fifo"}},
            {"srwxr-xr-x 1 u g 0 Jan 10 10:00 sock",
             Expected{12, 0755, "u", "g", 0, Local(2024, 1, 10, 10), "sock"}},
            // no group column; no link count
            {"-rw-r--r--   1 owner   1234 Jan  1 10:00 name",
             Expected{8, 0644, "owner", {}, 1234, Local(2024, 1, 1, 10), "name"}},
            {"-rw-r--r-- owner group 12 Jan 1 10:00 x",
             Expected{8, 0644, "owner", "group", 12, Local(2024, 1, 1, 10), "x"}},
            // spaces at both ends of a name survive
            {"-rw-r--r--   1 u g 5 Jan  1 10:00  two  spaces  ",
             Expected{8, 0644, "u", "g", 5, Local(2024, 1, 1, 10), " two  spaces  "}},
            {"-rw-r--r--   1 u g 5 Jun 15  2021  x",
             Expected{8, 0644, "u", "g", 5, Local(2021, 6, 15), " x"}},
            // BSD ls -T: seconds and year
            {"-rw-r--r--  1 u  g  5 Jan  1 10:20:30 2021 full.txt",
             Expected{8, 0644, "u", "g", 5, Local(2021, 1, 1, 10, 20, 30), "full.txt"}},
            {"drwxr-xr-x   2 u g 4096 Jan  1 10:00 ..",
             Expected{4, 0755, "u", "g", 4096, Local(2024, 1, 1, 10), ".."}},
            // names: UTF-8, else Latin-1 (also for a cut-off UTF-8 sequence)
            {"-rw-r--r-- 1 u g 1 Jan 1 10:00 Gr\xc3\xbc\xc3\x9f"
             "e.txt",
             Expected{8, 0644, "u", "g", 1, Local(2024, 1, 1, 10), "Grüße.txt"}},
            {"-rw-r--r-- 1 u g 1 Jan 1 10:00 caf\xe9",
             Expected{8, 0644, "u", "g", 1, Local(2024, 1, 1, 10), "café"}},
            {"-rw-r--r-- 1 u g 1 Jan 1 10:00 a\xc3",
             Expected{8, 0644, "u", "g", 1, Local(2024, 1, 1, 10), "aÃ"}},
        },
        true);
}

TEST(FTPListingOther, DosEplfAndMlsd) {
    const auto epoch = [](qint64 secs) { return QDateTime::fromSecsSinceEpoch(secs, Qt::UTC); };
    CheckRows({
        // IIS: no owner, group or permissions to report
        {"01-02-23  10:15AM       <DIR>          folder name",
         Expected{4, {}, {}, {}, {}, Local(2023, 1, 2, 10, 15), "folder name"}},
        {"01-02-2023  10:15PM             1234 file.txt",
         Expected{8, {}, {}, {}, 1234, Local(2023, 1, 2, 22, 15), "file.txt"}},
        {"12-31-99  12:00AM                0 midnight.bin",
         Expected{8, {}, {}, {}, 0, Local(1999, 12, 31), "midnight.bin"}},
        {"12-31-99  12:30PM      1,234,567 noon.bin",
         Expected{8, {}, {}, {}, 1234567, Local(1999, 12, 31, 12, 30), "noon.bin"}},
        // EPLF
        {"+i8388621.48594,m825718503,r,s280,\tdjb.html",
         Expected{8, {}, {}, {}, 280, epoch(825718503), "djb.html"}},
        {"+i8388621.50690,m824255907,/,\t514",
         Expected{4, {}, {}, {}, {}, epoch(824255907), "514"}},
        {"+up644,r,s0,\tnew file", Expected{8, 0644, {}, {}, 0, {}, "new file"}},
        // MLSD: facts in any case and order, UTC times
        {"type=file;size=1234;modify=20231201103000;UNIX.mode=0644;UNIX.owner=alice;"
         "UNIX.group=staff; report final.txt",
         Expected{8, 0644, "alice", "staff", 1234, Utc(2023, 12, 1, 10, 30), "report final.txt"}},
        {"Type=DIR;Modify=20230101000000.123;Perm=flcdmpe; docs",
         Expected{4, {}, {}, {}, {}, Utc(2023, 1, 1, 0, 0, 0, 123), "docs"}},
        // proftpd: names preferred over ids, symlink target in the type
        {"modify=20240102030405;perm=adfr;size=7;type=OS.unix=slink:/srv/target;unique=FD01U2;"
         "UNIX.group=0;UNIX.groupname=root;UNIX.mode=0777;UNIX.owner=0;UNIX.ownername=root; link",
         Expected{10, 0777, "root", "root", 7, Utc(2024, 1, 2, 3, 4, 5), "link", "/srv/target"}},
        // pure-ftpd's sizd for folders; MLST's leading space
        {"type=dir;sizd=4096;unix.mode=02755;unix.uid=33;unix.gid=33; www",
         Expected{4, 02755, "33", "33", 4096, {}, "www"}},
        {" type=file;size=1; single", Expected{8, {}, {}, {}, 1, {}, "single"}},
    });
}

TEST(FTPListingLines, NonEntriesGiveNothing) {
    std::vector<Row> rows;
    for (const char* line : {"",
                             "total 123",
                             "total 0",
                             "junk",
                             "drwxr-xr-x",
                             "/pub/incoming:",
                             "220 Welcome",
                             "-rw-r--r-- 1 u g notasize Jan 1 10:00 x",
                             "-rw-r--r-- 1 u g 5 Jan 1 10:00",
                             "-rw-r--r-- 1 u g 5 Jan 1 10:00 ",
                             "-rwxrwxrwz 1 u g 5 Jan 1 10:00 x",
                             "Xrw-r--r-- 1 u g 5 Jan 1 10:00 x",
                             "-rw-r--r-- 1 u g 5 Foo 1 10:00 x",
                             "-rw-r--r-- 1 u g 5 Jan 32 10:00 x",
                             "-rw-r--r-- 1 u g 5 Jan 1 25:00 x",
                             "type=cdir;modify=20230101000000; /pub",
                             "type=pdir;perm=el; ..",
                             "type=file;size=1;",
                             "+i1,r,s1 no tab",
                             "01-02-23  10:15AM  <DIR>",
                             "13-45-23  10:15AM 5 x",
                             "01-02-23  13:15PM 5 x"})
        rows.push_back({line, std::nullopt});
    CheckRows(rows);
}

TEST(FTPListingDates, TimeWithoutYearPicksLatestNotSixMonthsAhead) {
    const struct {
        QDateTime now;
        const char* stamp;
        QDateTime expected;
    } cases[] = {
        {kNow, "Mar 10 11:00", Local(2024, 3, 10, 11)},
        {kNow, "Mar 11 10:00", Local(2024, 3, 11, 10)}, // server clock a day ahead
        {kNow, "Sep 10 11:00", Local(2024, 9, 10, 11)},
        {kNow, "Sep 10 13:00", Local(2023, 9, 10, 13)},
        {kNow, "Dec 31 23:59", Local(2023, 12, 31, 23, 59)},
        {Local(2024, 12, 20, 12), "Jan  5 10:00", Local(2025, 1, 5, 10)},
        {Local(2025, 3, 1, 12), "Feb 29 10:00", Local(2024, 2, 29, 10)},
    };
    for (const auto& c : cases) {
        const auto parsed =
            plat::ParseFTPListingLine(std::string("-rw-r--r-- 1 u g 1 ") + c.stamp + " f", c.now);
        ASSERT_TRUE(parsed && parsed->count(kCFFTPResourceModDate)) << c.stamp;
        EXPECT_EQ(*parsed->at(kCFFTPResourceModDate).asDate(), c.expected)
            << c.stamp << " now " << c.now.toString().toStdString();
    }
}

// Through the public entry and the real clock: yesterday, five days ahead,
// and 200 days ago (which a time-only stamp cannot mean: it is next year's).
TEST(FTPListingDates, RelativeToTheRealClock) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate today = QDate::currentDate();
    const struct {
        QDate stamp, expected;
    } cases[] = {{today.addDays(-1), today.addDays(-1)},
                 {today.addDays(5), today.addDays(5)},
                 {today.addDays(-200), today.addDays(-200).addYears(1)}};
    for (const auto& c : cases) {
        if (c.stamp.month() == 2 && c.stamp.day() == 29) continue;
        const std::string line = "-rw-r--r-- 1 u g 1 " + std::string(kMonths[c.stamp.month() - 1]) +
                                 " " + std::to_string(c.stamp.day()) + " 12:00 f\n";
        std::optional<PlistDictionary> parsed;
        ASSERT_EQ(CFFTPCreateParsedResourceListing(nullptr,
                                                   reinterpret_cast<const UInt8*>(line.data()),
                                                   CFIndex(line.size()), &parsed),
                  CFIndex(line.size()));
        ASSERT_TRUE(parsed && parsed->count(kCFFTPResourceModDate)) << line;
        EXPECT_EQ(*parsed->at(kCFFTPResourceModDate).asDate(),
                  QDateTime(c.expected, QTime(12, 0), Qt::LocalTime))
            << line;
    }
}

CFIndex Parse(const std::string& bytes, std::optional<PlistDictionary>* parsed) {
    // An exact-size heap copy, so a read past the end trips the sanitizer.
    std::vector<UInt8> copy(bytes.begin(), bytes.end());
    return CFFTPCreateParsedResourceListing(nullptr, copy.data(), CFIndex(copy.size()), parsed);
}

TEST(FTPListingFraming, LineEndsAndIncompleteLines) {
    const std::string a = "-rw-r--r-- 1 u g 5 Jan 1  2020 a";
    std::optional<PlistDictionary> parsed = PlistDictionary{};
    EXPECT_EQ(Parse("total 3\r\n" + a, &parsed), 9);
    EXPECT_FALSE(parsed);
    EXPECT_EQ(Parse(a + "\n" + a, &parsed), CFIndex(a.size() + 1));
    EXPECT_TRUE(parsed && parsed->at(kCFFTPResourceName) == PlistValue("a"));
    EXPECT_EQ(Parse(a + "\rnext\n", &parsed), CFIndex(a.size() + 1)); // a lone CR
    EXPECT_TRUE(parsed);
    EXPECT_EQ(Parse(a + "\r\n", &parsed), CFIndex(a.size() + 2));
    EXPECT_TRUE(parsed);
    EXPECT_EQ(Parse(a, &parsed), 0); // no line end yet
    EXPECT_FALSE(parsed);
    // A CR ending the buffer ends the line; its LF comes as a blank line.
    EXPECT_EQ(Parse(a + "\r", &parsed), CFIndex(a.size() + 1));
    EXPECT_TRUE(parsed);
    EXPECT_EQ(Parse("\n" + a, &parsed), 1);
    EXPECT_FALSE(parsed);
    // The line end beyond the given length does not count.
    const std::string withEnd = a + "\n";
    EXPECT_EQ(CFFTPCreateParsedResourceListing(nullptr,
                                               reinterpret_cast<const UInt8*>(withEnd.data()),
                                               CFIndex(a.size()), &parsed),
              0);

    EXPECT_EQ(CFFTPCreateParsedResourceListing(nullptr, nullptr, 5, &parsed), -1);
    EXPECT_EQ(CFFTPCreateParsedResourceListing(nullptr, nullptr, 0, &parsed), 0);
    EXPECT_EQ(Parse(a + "\n", nullptr), -1);
    const UInt8 byte = '\n';
    EXPECT_EQ(CFFTPCreateParsedResourceListing(nullptr, &byte, -1, &parsed), -1);
}

// Parses the way the listing callback does: complete lines, the tail kept
// for the next read. Returns every entry.
std::vector<std::string> ParseInReads(const std::string& listing, std::size_t split) {
    std::vector<std::string> entries;
    std::string pending;
    for (const std::string& read : {listing.substr(0, split), listing.substr(split)}) {
        pending += read;
        std::size_t at = 0;
        for (;;) {
            std::optional<PlistDictionary> parsed;
            const CFIndex n = Parse(pending.substr(at), &parsed);
            if (n <= 0) break;
            if (parsed) entries.push_back(Describe(parsed));
            at += std::size_t(n);
        }
        pending.erase(0, at);
    }
    return entries;
}

TEST(FTPListingFraming, ReadsSplitAnywhereGiveTheSameEntries) {
    const std::string listing = "total 12\r\n"
                                "drwxr-xr-x   2 ftp ftp 4096 Nov 12  2022 pub\r\n"
                                "lrwxrwxrwx   1 root root 7 Jan  5  2021 latest -> v2\r\n"
                                "junk line\n"
                                "-rw-r--r--   1 owner 1234 Jan  1  2020 no group\r"
                                "type=file;size=1;modify=20231201103000; m l s d\n";
    const auto whole = ParseInReads(listing, listing.size());
    ASSERT_EQ(whole.size(), 4u);
    for (std::size_t split = 0; split <= listing.size(); ++split)
        EXPECT_EQ(ParseInReads(listing, split), whole) << "split at " << split;
}

// Random bytes and mangled real lines, cut anywhere: every call consumes
// 0..length bytes, so a caller's loop always ends.
TEST(FTPListingFraming, JunkNeverCrashesOrStalls) {
    const std::vector<std::string> seeds = {
        "-rw-r--r--   1 u g 5 Jan  1 10:00 a b -> c\n",
        "crw-rw----   1 root tty 4,  64 Jan 10 10:00 t\r\n",
        "01-02-23  10:15AM       <DIR>          f\r", "+i1.2,m825718503,/,s280,\tx\n",
        "type=OS.unix=slink:;size=;modify=2023;UNIX.mode=9; n\n"};
    std::mt19937 random(20240310);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        const int pieces = int(random() % 4);
        for (int i = 0; i < pieces; ++i) {
            std::string s = seeds[random() % seeds.size()];
            for (int edits = int(random() % 6); edits > 0; --edits)
                s[random() % s.size()] =
                    char(random() % 3 == 0 ? " \r\n\t:,;=-"[random() % 10] : random());
            bytes += s.substr(0, random() % (s.size() + 1));
        }
        for (int i = int(random() % 40); i > 0; --i)
            bytes += char(random());
        std::size_t at = 0;
        while (at < bytes.size()) {
            std::optional<PlistDictionary> parsed;
            const CFIndex n = Parse(bytes.substr(at), &parsed);
            ASSERT_GE(n, 0);
            ASSERT_LE(std::size_t(n), bytes.size() - at);
            if (n == 0) break;
            at += std::size_t(n);
        }
    }
}

TEST(StrMode, TypesAndSpecialBits) {
    const struct {
        int mode;
        const char* text;
    } cases[] = {
        {(4 << 12) | 0755, "drwxr-xr-x "},
        {(8 << 12) | 0644, "-rw-r--r-- "},
        {(10 << 12) | 0777, "lrwxrwxrwx "},
        {(2 << 12) | 0620, "crw--w---- "},
        {(6 << 12) | 0660, "brw-rw---- "},
        {(1 << 12) | 0600, "prw------- "},
        {(12 << 12) | 0755, "srwxr-xr-x "},
        {(14 << 12), "w--------- "},
        {0644, "?rw-r--r-- "},
        {(8 << 12) | 04755, "-rwsr-xr-x "},
        {(8 << 12) | 04644, "-rwSr--r-- "},
        {(8 << 12) | 02755, "-rwxr-sr-x "},
        {(8 << 12) | 02644, "-rw-r-Sr-- "},
        {(4 << 12) | 01777, "drwxrwxrwt "},
        {(4 << 12) | 01776, "drwxrwxrwT "},
        {(8 << 12) | 07000, "---S--S--T "},
    };
    for (const auto& c : cases) {
        char text[16];
        std::memset(text, 'Z', sizeof text);
        strmode(c.mode, text);
        EXPECT_STREQ(text, c.text) << std::oct << c.mode;
        EXPECT_EQ(text[12], 'Z'); // 11 characters and the terminator, nothing more
    }
}

} // namespace
