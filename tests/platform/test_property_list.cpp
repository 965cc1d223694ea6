// Property-list values through libplist: XML and binary parsing, XML writing.
#include "platform/PropertyList.h"

#include "tests/platform/LibplistForTests.h"

#include <gtest/gtest.h>
#include <limits>

namespace {

QDateTime Utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms), Qt::UTC);
}

// Every kind, with the awkward values of each: negative and extreme
// integers, non-ASCII text, bytes with NULs, dates before 2001 and after 2069.
PlistValue Sample() {
    PlistDictionary inner{
        {"empty array", PlistValue(PlistArray{})},
        {"empty dict", PlistValue(PlistDictionary{})},
        {"deeper",
         PlistValue(PlistArray{PlistValue(PlistDictionary{{"leaf", PlistValue::integer(7)}})})},
    };
    return PlistValue(PlistDictionary{
        {"string", PlistValue(QString::fromUtf8("Grüße, 日本語 & <tags> \"quoted\" \U0001F600"))},
        {"empty string", PlistValue(QString())},
        {"true", PlistValue::boolean(true)},
        {"false", PlistValue::boolean(false)},
        {"zero", PlistValue::integer(0)},
        {"minus one", PlistValue::integer(-1)},
        {"negative", PlistValue::integer(-2147483648LL)},
        {"int64 min", PlistValue::integer(std::numeric_limits<int64_t>::min())},
        {"int64 max", PlistValue::integer(std::numeric_limits<int64_t>::max())},
        {"real", PlistValue::real(-1234.5)},
        {"whole real", PlistValue::real(3.0)},
        {"tiny real", PlistValue::real(1.0e-300)},
        {"date", PlistValue::date(Utc(2009, 7, 14, 13, 5, 59))},
        {"date before 2001", PlistValue::date(Utc(1975, 3, 1, 23, 59, 1))},
        {"date after 2069", PlistValue::date(Utc(2150, 12, 31, 8, 0, 0))},
        {"data", PlistValue::data(QByteArray("\0\x01\xff\0z", 5))},
        {"empty data", PlistValue::data(QByteArray())},
        {QString::fromUtf8("ключ"), PlistValue("non-ASCII key")},
        {"", PlistValue("empty key")},
        {"array", PlistValue(PlistArray{PlistValue("a"), PlistValue::integer(-3),
                                        PlistValue::boolean(false)})},
        {"nested", PlistValue(inner)},
    });
}

// A binary property list of a value, written by libplist itself.
QByteArray ToBinary(const QByteArray& xml) {
    QByteArray bin = libplist_for_tests::XmlToBinary(xml);
    EXPECT_TRUE(bin.startsWith("bplist00"));
    return bin;
}

QByteArray XmlDocument(const char* body) {
    return QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">") +
           body + "</plist>\n";
}

} // namespace

TEST(PropertyList, EveryKindRoundTripsThroughXmlAndBinary) {
    const PlistValue sample = Sample();
    const QByteArray xml = *plat::PlistToXml(sample);
    ASSERT_TRUE(xml.startsWith("<?xml")) << xml.constData();

    auto fromXml = plat::PlistFromBytes(xml);
    ASSERT_TRUE(fromXml);
    EXPECT_EQ(*fromXml, sample) << xml.constData();

    const QByteArray bin = ToBinary(xml);
    ASSERT_TRUE(bin.startsWith("bplist00"));
    auto fromBin = plat::PlistFromBytes(bin);
    ASSERT_TRUE(fromBin);
    EXPECT_EQ(*fromBin, sample);

    // Spot checks that equality did not hide a change of kind.
    const PlistValue* whole = fromXml->find("whole real");
    ASSERT_TRUE(whole && whole->asReal());
    EXPECT_EQ(*whole->asReal(), 3.0);
    const PlistValue* neg = fromBin->find("int64 min");
    ASSERT_TRUE(neg && neg->asInteger());
    EXPECT_EQ(*neg->asInteger(), std::numeric_limits<int64_t>::min());
    const PlistValue* data = fromBin->find("data");
    ASSERT_TRUE(data && data->asData());
    EXPECT_EQ(data->asData()->size(), 5);
    const PlistValue* late = fromXml->find("date after 2069");
    ASSERT_TRUE(late && late->asDate());
    EXPECT_EQ(late->asDate()->timeSpec(), Qt::UTC);
    EXPECT_EQ(late->asDate()->date().year(), 2150);
}

TEST(PropertyList, ReadsWhatOtherWritersProduce) {
    auto v = plat::PlistFromBytes(XmlDocument(
        "<dict><key>n</key><integer>-42</integer><key>d</key><date>1990-06-15T12:30:00Z</date>"
        "<key>b</key><data>AAEC/w==</data><key>s</key><string>a&lt;b&amp;c</string></dict>"));
    ASSERT_TRUE(v);
    EXPECT_EQ(*v->find("n")->asInteger(), -42);
    EXPECT_EQ(*v->find("d")->asDate(), Utc(1990, 6, 15, 12, 30));
    EXPECT_EQ(*v->find("b")->asData(), QByteArray("\0\x01\x02\xff", 4));
    EXPECT_EQ(*v->find("s")->asString(), "a<b&c");
    EXPECT_EQ(v->find("S"), nullptr);
    EXPECT_EQ(v->find("n")->find("n"), nullptr) << "only dictionaries have members";

    // The top object need not be a dictionary.
    auto top = plat::PlistFromBytes(XmlDocument("<array><true/><real>0.25</real></array>"));
    ASSERT_TRUE(top && top->asArray());
    EXPECT_EQ(*top, PlistValue(PlistArray{PlistValue::boolean(true), PlistValue::real(0.25)}));
}

TEST(PropertyList, DatesKeepTheirInstantAroundTheReferenceDate) {
    // libplist's own date accessor loses the sign between -1 s and 0 s
    // (instants just before 2001) and clamps beyond 32-bit seconds.
    auto back = plat::PlistFromBytes(
        libplist_for_tests::BinaryDates({{0, -500000}, {-1, -250000}, {0, 750000}}));
    ASSERT_TRUE(back && back->asArray());
    EXPECT_EQ(*back, PlistValue(PlistArray{
                         PlistValue::date(Utc(2000, 12, 31, 23, 59, 59, 500)),
                         PlistValue::date(Utc(2000, 12, 31, 23, 59, 58, 750)),
                         PlistValue::date(Utc(2001, 1, 1, 0, 0, 0, 750)),
                     }));

    // XML holds whole seconds: a fraction is dropped towards the past, never
    // carried over into the next second or minute.
    const QByteArray xml = *plat::PlistToXml(PlistValue(PlistArray{
        PlistValue::date(Utc(2000, 12, 31, 23, 59, 59, 500)),
        PlistValue::date(Utc(2001, 1, 1, 0, 0, 1, 999)),
        PlistValue::date(Utc(2500, 6, 30, 1, 2, 3)),
    }));
    EXPECT_TRUE(xml.contains("<date>2000-12-31T23:59:59Z</date>")) << xml.constData();
    EXPECT_TRUE(xml.contains("<date>2001-01-01T00:00:01Z</date>")) << xml.constData();
    EXPECT_TRUE(xml.contains("<date>2500-06-30T01:02:03Z</date>")) << xml.constData();
}

TEST(PropertyList, RejectsWhatIsNoPropertyList) {
    EXPECT_FALSE(plat::PlistFromBytes(QByteArray()));
    EXPECT_FALSE(plat::PlistFromBytes("hello world"));
    EXPECT_FALSE(plat::PlistFromBytes(XmlDocument("<dict><key>a</key><integer>1</integer>")));
    EXPECT_FALSE(plat::PlistFromBytes("bplist00"));
    QByteArray bin = ToBinary(*plat::PlistToXml(Sample()));
    EXPECT_FALSE(plat::PlistFromBytes(bin.left(bin.size() - 10)));
}

TEST(PropertyList, DeepNestingIsReadOrRefusedButNeverCrashes) {
    auto nested = [](int depth, const char* open, const char* close) {
        QByteArray body;
        for (int i = 0; i < depth; ++i)
            body += open;
        body += "<string>leaf</string>";
        for (int i = 0; i < depth; ++i)
            body += close;
        return XmlDocument(body.constData());
    };
    auto deep = plat::PlistFromBytes(nested(300, "<dict><key>k</key>", "</dict>"));
    ASSERT_TRUE(deep);
    const PlistValue* v = &*deep;
    for (int i = 0; i < 300 && v; ++i)
        v = v->find("k");
    ASSERT_TRUE(v && v->asString());
    EXPECT_EQ(*v->asString(), "leaf");
    EXPECT_EQ(plat::PlistFromBytes(*plat::PlistToXml(*deep)), deep);

    // Far deeper than any settings file: refused whole, not cut short.
    EXPECT_FALSE(plat::PlistFromBytes(nested(100000, "<array>", "</array>")));
    EXPECT_FALSE(plat::PlistFromBytes(nested(5000, "<dict><key>k</key>", "</dict>")));
}

TEST(PropertyList, TheWriterRefusesWhatXmlCannotCarry) {
    struct Row {
        const char* name;
        QString text;
        bool writable;
    };
    const Row rows[] = {
        {"NUL", QString(QChar(0)) + "tail", false},
        {"SOH", "user\x01", false},
        {"ESC", "pass\x1b[0m", false},
        {"unit separator", "a\x1f", false},
        {"U+FFFF", QString(QChar(0xFFFF)), false},
        {"lone surrogate", QString(QChar(0xD800)) + "x", false},
        {"tab, LF and CR", "a\tb\nc\rd", true},
        {"DEL and an emoji", QString::fromUtf8("a\x7f \U0001F600"), true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        for (const PlistValue& value :
             {PlistValue(r.text),
              PlistValue(PlistArray{
                  PlistValue(PlistDictionary{{"k", PlistValue(PlistArray{PlistValue(r.text)})}})}),
              PlistValue(PlistDictionary{{r.text, PlistValue::integer(1)}})}) {
            const std::optional<QByteArray> xml = plat::PlistToXml(value);
            EXPECT_EQ(xml.has_value(), r.writable);
            if (xml) {
                EXPECT_TRUE(plat::PlistFromBytes(*xml));
            }
        }
    }
}
