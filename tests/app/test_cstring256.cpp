// CString256: capacity rules, conversions, integer forms, the helpers, the
// matchers, and the free lists behind heap strings and list elements.
#include "toolkit/CList.h"
#include "toolkit/CString256.h"

#include <QString>
#include <climits>
#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Repeat(char c, std::size_t n) {
    return std::string(n, c);
}

CList<CString256> ListOf(std::initializer_list<const char*> items) {
    CList<CString256> list;
    for (const char* item : items)
        list.append(item);
    return list;
}

std::vector<std::string> Items(const CList<CString256>& list) {
    std::vector<std::string> out;
    for (const CString256& s : list)
        out.emplace_back(s.c_str());
    return out;
}

} // namespace

TEST(CString256Capacity, AppendKeepsFirst255BytesOfJoinedText) {
    const std::string head = Repeat('a', 250);
    CString256 s(head.c_str());
    s += "0123456789";
    EXPECT_EQ(std::string(s.c_str()), (head + "0123456789").substr(0, 255));
    EXPECT_EQ(s.length(), 255u);

    CString256 other("0123456789");
    CString256 t(head.c_str());
    t += other;
    EXPECT_EQ(std::string(t.c_str()), (head + "01234"));
}

TEST(CString256Capacity, AssignmentAndConstructionCutAt255) {
    const std::string text = Repeat('x', 300);
    CString256 s(text.c_str());
    EXPECT_EQ(std::string(s.c_str()), text.substr(0, 255));
    CString256 t;
    t = text.c_str();
    EXPECT_EQ(t.length(), 255u);
    CString256 u = t;
    EXPECT_EQ(u, t);
}

TEST(CString256Capacity, FullStringIgnoresFurtherAppends) {
    CString256 s(Repeat('b', 255).c_str());
    const CString256 before = s;
    s += "\r";
    EXPECT_EQ(s, before);
    s += '\r';
    EXPECT_EQ(s, before);
    s += QStringLiteral("more");
    EXPECT_EQ(s, before);
}

TEST(CString256Capacity, SingleCharactersStopAt254) {
    CString256 s(Repeat('c', 253).c_str());
    s += '!';
    EXPECT_EQ(s.length(), 254u);
    EXPECT_EQ(s[253], '!');
    s += '?';
    EXPECT_EQ(s.length(), 254u);
    // A C string still fills the last byte.
    s += "?";
    EXPECT_EQ(s.length(), 255u);
}

TEST(CString256Capacity, NullCStringAssignsEmptyAndAppendsNothing) {
    CString256 s("abc");
    s += static_cast<const char*>(nullptr);
    EXPECT_EQ(s, "abc");
    s = static_cast<const char*>(nullptr);
    EXPECT_TRUE(s.empty());
    CString256 t(static_cast<const char*>(nullptr));
    EXPECT_TRUE(t.empty());
}

TEST(CString256Capacity, SelfAppendAndOverlappingAssignment) {
    CString256 s("abc");
    s += s;
    EXPECT_EQ(s, "abcabc");
    s = s.c_str() + 2;
    EXPECT_EQ(s, "cabc");
}

TEST(CString256PlatformString, MacRomanRoundTrip) {
    const QString text = QStringLiteral("Caf\u00e9 \u20ac5");
    CString256 s = text;
    // é and € in Mac Roman.
    EXPECT_EQ(std::string(s.c_str()), std::string("Caf\x8e \xdb"
                                                  "5"));
    EXPECT_EQ(s.MakeCFString(), text);
}

TEST(CString256PlatformString, TooLongOrUnencodableGivesEmpty) {
    CString256 s("keep");
    s = QString(300, QChar('m'));
    EXPECT_TRUE(s.empty());

    s = "keep";
    s = QStringLiteral("arrow \u2192");
    EXPECT_TRUE(s.empty());

    CString256 exact = QString(255, QChar('m'));
    EXPECT_EQ(exact.length(), 255u);
    CString256 over = QString(256, QChar('m'));
    EXPECT_TRUE(over.empty());
}

TEST(CString256PlatformString, FailedConversionAppendsNothing) {
    CString256 s("base");
    s += QString(300, QChar('m'));
    EXPECT_EQ(s, "base");
    s += QStringLiteral("\u2192");
    EXPECT_EQ(s, "base");
    s += QStringLiteral("-\u00e9");
    EXPECT_EQ(s, "base-\x8e");

    CString256 nearlyFull(Repeat('a', 250).c_str());
    nearlyFull += QStringLiteral("0123456789");
    EXPECT_EQ(nearlyFull.length(), 255u);
    EXPECT_TRUE(nearlyFull.endsWith("01234"));
}

TEST(CString256Integers, DecimalForms) {
    CString256 s;
    s = -42;
    EXPECT_EQ(s, "-42");
    s = 0;
    EXPECT_EQ(s, "0");
    s = INT_MAX;
    EXPECT_EQ(s, "2147483647");
    s = INT_MIN;
    EXPECT_EQ(s, "-2147483648");

    CString256 t("n=");
    t += 7;
    t += -1;
    t += 0;
    EXPECT_EQ(t, "n=7-10");

    CString256 full(Repeat('z', 253).c_str());
    full += 12345;
    EXPECT_EQ(full.length(), 255u);
    EXPECT_TRUE(full.endsWith("12"));
}

TEST(CString256LengthPrefixed, AssignConstructAndAppend) {
    Str255 p = {3, 'a', 'b', 'c'};
    CString256 s(p);
    EXPECT_EQ(s, "abc");
    s += p;
    EXPECT_EQ(s, "abcabc");

    Str255 empty = {0};
    s = empty;
    EXPECT_TRUE(s.empty());

    // Bytes after the length are not part of the text, even without a terminator.
    Str255 partial = {2, 'x', 'y', 'z'};
    s = partial;
    EXPECT_EQ(s, "xy");

    Str255 longest;
    longest[0] = 255;
    std::memset(longest + 1, 'q', 255);
    s = "ab";
    s += longest;
    EXPECT_EQ(s.length(), 255u);
    EXPECT_EQ(s[0], 'a');
    EXPECT_EQ(s[254], 'q');
}

TEST(CString256LengthPrefixed, Handles) {
    char text[] = "from a handle";
    char* ptr = text;
    CString256 s;
    s = &ptr;
    EXPECT_EQ(s, "from a handle");
    s = Handle(nullptr);
    EXPECT_TRUE(s.empty());
}

TEST(CString256Helpers, CaseAndFilters) {
    CString256 s("MiXeD 123 \x8e");
    s.to_lower();
    EXPECT_EQ(s, "mixed 123 \x8e");

    CString256 f("a b\tc!\x01-d\x8e");
    f.filter_to_alnum_or_punct();
    EXPECT_EQ(f, "abc!-d");

    EXPECT_EQ(s[0], 'm');
    EXPECT_EQ(s[-1], 0);
    EXPECT_EQ(s[1000], 0);
}

TEST(CString256Helpers, PrefixAndSuffix) {
    CString256 s("Loftwise Copy.app");
    EXPECT_TRUE(s.beginsWith("Loftwise"));
    EXPECT_FALSE(s.beginsWith("loftwise"));
    EXPECT_TRUE(s.beginsWith("loftwise", true));
    EXPECT_TRUE(s.beginsWith_nocase("LOFTWISE"));
    EXPECT_TRUE(s.endsWith(".app"));
    EXPECT_FALSE(s.endsWith(".APP"));
    EXPECT_TRUE(s.endsWith_nocase(".APP"));
    EXPECT_TRUE(s.beginsWith(""));
    EXPECT_FALSE(s.beginsWith(nullptr));
    EXPECT_FALSE(CString256("ab").endsWith("xab"));
    EXPECT_FALSE(CString256("ab").beginsWith("abc"));
}

TEST(CString256Helpers, ChangeSuffix) {
    CString256 s("photo.jpeg");
    EXPECT_EQ(s.change_suffix("zip"), "photo.zip");
    CString256 noDot("archive");
    EXPECT_EQ(noDot.change_suffix("zip"), "archive.zip");
    CString256 twoDots("a.tar.gz");
    EXPECT_EQ(twoDots.change_suffix("zip"), "a.tar.zip");
}

TEST(CString256Lists, ParseIntoListSkipsRunsOfDelimiters) {
    CList<CString256> list = ListOf({"stale"});
    EXPECT_EQ(CString256("::a::bb:c:").parse_into_list(":", list), 3);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"a", "bb", "c"}));

    EXPECT_EQ(CString256("one, two ,three").parse_into_list(", ", list), 3);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"one", "two", "three"}));

    EXPECT_EQ(CString256(":::").parse_into_list(":", list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(CString256("whole").parse_into_list(nullptr, list), 1);
    EXPECT_EQ(Items(list), (std::vector<std::string>{"whole"}));
}

TEST(CString256Lists, FlattenJoinsWithSeparator) {
    CString256 s("old");
    EXPECT_EQ(s.flatten_list('/', ListOf({"a", "b", "c"})), "a/b/c");
    EXPECT_EQ(s.flatten_list('/', CList<CString256>()), "");

    CList<CString256> parsed;
    CString256("x y z").parse_into_list(" ", parsed);
    EXPECT_EQ(s.flatten_list(',', parsed), "x,y,z");

    const std::string big = Repeat('w', 200);
    EXPECT_EQ(s.flatten_list('+', ListOf({big.c_str(), big.c_str()})).length(), 255u);
}

TEST(CString256Print, BufferNeverOverflows) {
    char buffer[16];
    std::memset(buffer, 'X', sizeof buffer);
    buffer[0] = 0;
    EXPECT_TRUE(CString256("hello").print(buffer, 8));
    EXPECT_STREQ(buffer, "hello\n");
    // "hello\n" + "a\n" + terminator is 9 bytes.
    EXPECT_FALSE(CString256("a").print(buffer, 8));
    EXPECT_STREQ(buffer, "hello\n");
    EXPECT_TRUE(CString256("a").print(buffer, 9));
    EXPECT_STREQ(buffer, "hello\na\n");
    EXPECT_EQ(buffer[9], 'X');

    char unterminated[4] = {'a', 'b', 'c', 'd'};
    EXPECT_FALSE(CString256("x").print(unterminated, sizeof unterminated));
    EXPECT_FALSE(CString256("x").print(nullptr, 10));
}

TEST(CString256Print, WritesToStream) {
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(CString256("line one").print(f));
    EXPECT_TRUE(CString256("").print(f));
    std::rewind(f);
    char read[64] = {};
    const std::size_t n = std::fread(read, 1, sizeof read - 1, f);
    std::fclose(f);
    EXPECT_EQ(std::string(read, n), "line one\n\n");
    EXPECT_FALSE(CString256("x").print(static_cast<std::FILE*>(nullptr)));
}

TEST(CString256Match, ExactAndPartial) {
    double score = -1;
    EXPECT_TRUE(CString256("abc").match_case_exact("abc", score));
    EXPECT_EQ(score, 1.0);
    EXPECT_FALSE(CString256("abc").match_case_exact("ABC", score));
    EXPECT_EQ(score, 0.0);
    EXPECT_TRUE(CString256("abc").match_nocase_exact("ABC", score));
    EXPECT_EQ(score, 1.0);
    EXPECT_FALSE(CString256("").match_case_exact("", score));
    EXPECT_EQ(score, 0.0);

    EXPECT_TRUE(CString256("report.txt").match_case_partial("port", score));
    EXPECT_EQ(score, 1.0);
    EXPECT_FALSE(CString256("report.txt").match_case_partial("PORT", score));
    EXPECT_TRUE(CString256("report.txt").match_nocase_partial("PORT", score));
    EXPECT_FALSE(CString256("report.txt").match_case_partial("", score));
    EXPECT_FALSE(CString256("port").match_case_partial("report", score));
}

TEST(CString256Match, ApproximateScore) {
    double score = 0;
    EXPECT_TRUE(CString256("abc").match_case_approximate("axc", score));
    EXPECT_NEAR(score, 2.0 / 3.0, 1e-9);

    EXPECT_TRUE(CString256("abc").match_case_approximate("abc", score));
    EXPECT_DOUBLE_EQ(score, 1.0);
    // Nothing in common.
    EXPECT_FALSE(CString256("abc").match_case_approximate("xyz", score));
    EXPECT_DOUBLE_EQ(score, 0.0);
    // Order matters: after "c" nothing of "ab" is left to find.
    EXPECT_TRUE(CString256("abc").match_case_approximate("cab", score));
    EXPECT_NEAR(score, 1.0 - 4.0 / 6.0, 1e-9);
    // Receiver "abcd", other "ab": count 2, score 1 - 2/6.
    EXPECT_TRUE(CString256("abcd").match_case_approximate("ab", score));
    EXPECT_NEAR(score, 1.0 - 2.0 / 6.0, 1e-9);

    EXPECT_TRUE(CString256("ABC").match_nocase_approximate("axc", score));
    EXPECT_NEAR(score, 2.0 / 3.0, 1e-9);
    EXPECT_FALSE(CString256("ABC").match_case_approximate("axc", score));

    EXPECT_FALSE(CString256("").match_case_approximate("", score));
    EXPECT_DOUBLE_EQ(score, 0.0);
}

TEST(CString256Match, WildcardPiecesInOrderWithoutOverlap) {
    double score = 0;
    const CString256 name("IMG_2041_holiday.jpg");
    EXPECT_TRUE(name.match_wildcard_case(ListOf({"IMG", "holiday", ".jpg"}), score));
    EXPECT_EQ(score, 1.0);
    EXPECT_FALSE(name.match_wildcard_case(ListOf({"holiday", "IMG"}), score));
    EXPECT_EQ(score, 0.0);
    EXPECT_FALSE(name.match_wildcard_case(ListOf({"img"}), score));
    EXPECT_TRUE(name.match_wildcard_nocase(ListOf({"img", "HOLIDAY"}), score));

    // "aba" twice needs two separate occurrences.
    EXPECT_FALSE(CString256("ababa").match_wildcard_case(ListOf({"aba", "aba"}), score));
    EXPECT_TRUE(CString256("abaaba").match_wildcard_case(ListOf({"aba", "aba"}), score));

    EXPECT_FALSE(name.match_wildcard_case(CList<CString256>(), score));
}

TEST(CString256Match, MatcherFunctionsThroughOneSignature) {
    double score = 0;
    const CString256 s("Hello World");
    EXPECT_TRUE(s.match(CString256Matchers::nocase_partial, {"WORLD", nullptr}, score));
    EXPECT_EQ(score, 1.0);
    EXPECT_FALSE(s.match(CString256Matchers::case_exact, {"hello world", nullptr}, score));

    const auto pieces = ListOf({"Hel", "Wor"});
    EXPECT_TRUE(s.match(CString256Matchers::wildcard_case, {nullptr, &pieces}, score));
    // The wrong kind of argument matches nothing instead of crashing.
    EXPECT_FALSE(s.match(CString256Matchers::wildcard_case, {"Hel", nullptr}, score));
    EXPECT_FALSE(s.match(CString256Matchers::case_partial, {nullptr, &pieces}, score));
    EXPECT_FALSE(s.match(nullptr, {"x", nullptr}, score));

    EXPECT_NEAR(CString256Matchers::case_approximate("abc", {"axc", nullptr}), 2.0 / 3.0, 1e-9);
}

TEST(CString256FreeList, HeapInstancesReuseSlots) {
    std::vector<CString256*> many;
    for (int i = 0; i < 600; ++i) {
        many.push_back(new CString256);
        *many.back() = i;
    }
    for (int i = 0; i < 600; ++i) {
        CString256 expected;
        expected = i;
        EXPECT_EQ(*many[std::size_t(i)], expected);
    }
    for (CString256* s : many)
        delete s;

    CString256* a = new CString256("a");
    delete a;
    CString256* b = new CString256("b");
    EXPECT_EQ(a, b);
    EXPECT_TRUE(*b == "b");
    delete b;
}

TEST(CString256FreeList, ConcurrentHeapInstances) {
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            for (int round = 0; round < 200; ++round) {
                std::vector<CString256*> mine;
                for (int i = 0; i < 50; ++i) {
                    mine.push_back(new CString256);
                    *mine.back() = t * 100000 + i;
                }
                for (int i = 0; i < 50; ++i) {
                    CString256 expected;
                    expected = t * 100000 + i;
                    if (!(*mine[std::size_t(i)] == expected)) ++failures[std::size_t(t)];
                    delete mine[std::size_t(i)];
                }
            }
        });
    }
    for (auto& th : threads)
        th.join();
    for (int f : failures)
        EXPECT_EQ(f, 0);
}

TEST(CListOfStrings, AppendIterateCopyAndClear) {
    CList<CString256> list;
    EXPECT_EQ(list.first(), nullptr);
    for (int i = 0; i < 300; ++i) {
        CString256 s;
        s = i;
        list.append(s);
    }
    EXPECT_EQ(list.count(), 300);

    int seen = 0;
    for (CString256* s = list.first(); s; s = list.next()) {
        CString256 expected;
        expected = seen++;
        EXPECT_EQ(*s, expected);
    }
    EXPECT_EQ(seen, 300);
    EXPECT_EQ(list.next(), nullptr);
    ASSERT_NE(list.at(299), nullptr);
    EXPECT_EQ(*list.at(299), "299");
    EXPECT_EQ(list.at(300), nullptr);

    CList<CString256> copy = list;
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(list.head(), nullptr);
    EXPECT_EQ(list.tail(), nullptr);
    EXPECT_EQ(copy.count(), 300);
    EXPECT_EQ(*copy.at(0), "0");

    CList<CString256> moved = std::move(copy);
    EXPECT_EQ(moved.count(), 300);
    EXPECT_TRUE(copy.empty());
    moved.append("tail");
    EXPECT_EQ(moved.tail()->data, "tail");
}
