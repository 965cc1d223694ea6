#include "platform/Alias.h"
#include "platform/AppleEvents.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

using namespace testing_support;

namespace {

// Disposes of a descriptor at the end of a scope.
struct Owned {
    AEDesc d{typeNull, nullptr};
    ~Owned() { AEDisposeDesc(&d); }
    AEDesc* operator&() { return &d; }
};

std::string ItemText(const AEDesc* list, long index) {
    char buf[256] = {};
    Size size = 0;
    DescType type = 0;
    EXPECT_EQ(AEGetNthPtr(list, index, typeChar, nullptr, &type, buf, sizeof buf, &size), noErr);
    return std::string(buf, size_t(std::min<Size>(size, sizeof buf)));
}

void PutText(AEDesc* list, long index, const char* text) {
    ASSERT_EQ(AEPutPtr(list, index, typeChar, text, Size(std::strlen(text))), noErr);
}

FSRef RefOf(const QString& path) {
    FSRef ref{};
    EXPECT_EQ(FSPathMakeRef(path.toUtf8().constData(), &ref, nullptr), noErr) << path.toStdString();
    return ref;
}

} // namespace

TEST(AEDescriptors, ListsAreIndexedFromOneAndCheckIndexes) {
    Owned list;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
    EXPECT_EQ(list.d.descriptorType, typeAEList);
    PutText(&list, 0, "one"); // 0 appends
    PutText(&list, 2, "two"); // count + 1 appends
    PutText(&list, 3, "three");
    PutText(&list, 2, "TWO"); // 1..count replaces
    long count = 0;
    ASSERT_EQ(AECountItems(&list, &count), noErr);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(ItemText(&list, 1), "one");
    EXPECT_EQ(ItemText(&list, 2), "TWO");
    EXPECT_EQ(ItemText(&list, 3), "three");

    EXPECT_EQ(AEPutPtr(&list, 5, typeChar, "x", 1), errAEIllegalIndex);
    char buf[8];
    EXPECT_EQ(AEGetNthPtr(&list, 0, typeWildCard, nullptr, nullptr, buf, 8, nullptr),
              errAEIllegalIndex);
    Owned item;
    EXPECT_EQ(AEGetNthDesc(&list, 4, typeWildCard, nullptr, &item), errAEIllegalIndex);
    EXPECT_EQ(item.d.descriptorType, typeNull);

    ASSERT_EQ(AEDeleteItem(&list, 1), noErr);
    ASSERT_EQ(AECountItems(&list, &count), noErr);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(ItemText(&list, 1), "TWO");
}

TEST(AEDescriptors, GetNthPtrCopiesAtMostTheBufferAndReportsTheWholeSize) {
    Owned list;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
    PutText(&list, 0, "abcdefgh");
    char buf[8];
    std::memset(buf, '#', sizeof buf);
    Size size = 0;
    DescType type = 0;
    AEKeyword keyword = 0;
    ASSERT_EQ(AEGetNthPtr(&list, 1, typeWildCard, &keyword, &type, buf, 3, &size), noErr);
    EXPECT_EQ(std::string(buf, 4), "abc#");
    EXPECT_EQ(size, 8);
    EXPECT_EQ(type, typeChar);
    EXPECT_EQ(keyword, typeWildCard);
    EXPECT_EQ(AEGetNthPtr(&list, 1, typeWildCard, nullptr, nullptr, nullptr, 4, &size), paramErr);
}

TEST(AEDescriptors, CopiesAreDeepAndDisposalIsSafe) {
    Owned list;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
    PutText(&list, 0, "kept");

    AEDesc copy;
    ASSERT_EQ(AEGetNthDesc(&list, 1, typeWildCard, nullptr, &copy), noErr);
    PutText(&list, 1, "changed");
    char buf[16] = {};
    ASSERT_EQ(AEGetDescData(&copy, buf, sizeof buf), noErr);
    EXPECT_STREQ(buf, "kept");

    // A list put into another is copied: the inner one may go at once.
    Owned outer;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &outer), noErr);
    ASSERT_EQ(AEPutDesc(&outer, 0, &list), noErr);
    Owned dup;
    ASSERT_EQ(AEDuplicateDesc(&list, &dup), noErr);
    AEDisposeDesc(&list);
    EXPECT_EQ(list.d.dataHandle, nullptr);
    Owned inner;
    ASSERT_EQ(AEGetNthDesc(&outer, 1, typeAEList, nullptr, &inner), noErr);
    EXPECT_EQ(ItemText(&inner, 1), "changed");
    EXPECT_EQ(ItemText(&dup, 1), "changed");

    // A stale copy of a disposed descriptor is refused, not dereferenced.
    const AEDesc stale = copy;
    ASSERT_EQ(AEDisposeDesc(&copy), noErr);
    EXPECT_EQ(AEDisposeDesc(&copy), noErr); // null now: fine
    AEDesc staleCopy = stale;
    long count = 0;
    EXPECT_EQ(AECountItems(&staleCopy, &count), errAENotAEDesc);
    EXPECT_EQ(AEDisposeDesc(&staleCopy), errAENotAEDesc);
    AEDesc null;
    AEInitializeDesc(&null);
    EXPECT_EQ(AECountItems(&null, &count), errAENotAEDesc);
    Owned text;
    ASSERT_EQ(AECreateDesc(typeChar, "x", 1, &text), noErr);
    EXPECT_EQ(AECountItems(&text, &count), errAEWrongDataType);
    EXPECT_EQ(AEPutPtr(&text, 0, typeChar, "y", 1), errAEWrongDataType);
}

TEST(AEDescriptors, RecordsKeepKeywordsAndNestedLists) {
    // The shape of a contextual-menu command record with a submenu.
    Owned submenu;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &submenu), noErr);
    Owned command;
    ASSERT_EQ(AECreateList(nullptr, 0, true, &command), noErr);
    EXPECT_EQ(command.d.descriptorType, typeAERecord);
    const char16_t title[] = u"Upload";
    ASSERT_EQ(AEPutParamPtr(&command, FourCC("pnam"), typeUnicodeText, title, 12), noErr);
    const SInt32 id = 2001;
    ASSERT_EQ(AEPutParamPtr(&command, FourCC("cmcd"), typeSInt32, &id, 4), noErr);
    ASSERT_EQ(AEPutPtr(&submenu, 0, typeAERecord, nullptr, 0), noErr); // an empty record
    ASSERT_EQ(AEPutParamDesc(&command, FourCC("cmsb"), &submenu), noErr);
    const SInt32 attrs = 128;
    ASSERT_EQ(AEPutParamPtr(&command, FourCC("cmat"), typeSInt32, &attrs, 4), noErr);
    const SInt32 newID = 2002;
    ASSERT_EQ(AEPutParamPtr(&command, FourCC("cmcd"), typeSInt32, &newID, 4), noErr); // replaces
    AEDisposeDesc(&submenu);

    long count = 0;
    ASSERT_EQ(AECountItems(&command, &count), noErr);
    EXPECT_EQ(count, 4);
    AEKeyword keyword = 0;
    SInt32 value = 0;
    DescType type = 0;
    Size size = 0;
    ASSERT_EQ(AEGetNthPtr(&command, 2, typeWildCard, &keyword, &type, &value, 4, &size), noErr);
    EXPECT_EQ(keyword, FourCC("cmcd"));
    EXPECT_EQ(type, typeSInt32);
    EXPECT_EQ(value, 2002);

    char text[16] = {};
    ASSERT_EQ(AEGetParamPtr(&command, FourCC("pnam"), typeChar, &type, text, sizeof text, &size),
              noErr);
    EXPECT_EQ(std::string(text, size_t(size)), "Upload");
    EXPECT_EQ(type, typeChar);

    Owned nested;
    ASSERT_EQ(AEGetNthDesc(&command, 3, typeWildCard, &keyword, &nested), noErr);
    EXPECT_EQ(keyword, FourCC("cmsb"));
    EXPECT_EQ(nested.d.descriptorType, typeAEList);
    ASSERT_EQ(AECountItems(&nested, &count), noErr);
    EXPECT_EQ(count, 1);

    EXPECT_EQ(AEGetParamPtr(&command, FourCC("nope"), typeWildCard, nullptr, nullptr, 0, nullptr),
              errAEDescNotFound);
    EXPECT_EQ(AEPutPtr(&command, 0, typeChar, "x", 1), errAEWrongDataType);
    Owned list;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
    EXPECT_EQ(AEPutParamPtr(&list, FourCC("pnam"), typeChar, "x", 1), errAEWrongDataType);
}

TEST(AEDescriptors, ListBytesRoundTripAndEmptyListsHoldNoData) {
    Owned list;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
    EXPECT_EQ(AEGetDescDataSize(&list), 0);
    PutText(&list, 0, "a");
    Owned record;
    ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
    const SInt32 n = -7;
    ASSERT_EQ(AEPutParamPtr(&record, FourCC("cmcd"), typeSInt32, &n, 4), noErr);
    ASSERT_EQ(AEPutDesc(&list, 0, &record), noErr);

    const Size size = AEGetDescDataSize(&list);
    ASSERT_GT(size, 0);
    QByteArray bytes(size, '\0');
    ASSERT_EQ(AEGetDescData(&list, bytes.data(), size), noErr);
    Owned rebuilt;
    ASSERT_EQ(AECreateDesc(typeAEList, bytes.constData(), size, &rebuilt), noErr);
    EXPECT_EQ(ItemText(&rebuilt, 1), "a");
    Owned rec;
    ASSERT_EQ(AEGetNthDesc(&rebuilt, 2, typeAERecord, nullptr, &rec), noErr);
    SInt32 back = 0;
    ASSERT_EQ(AEGetParamPtr(&rec, FourCC("cmcd"), typeSInt32, nullptr, &back, 4, nullptr), noErr);
    EXPECT_EQ(back, -7);

    Owned bad;
    EXPECT_EQ(AECreateDesc(typeAEList, bytes.constData(), size - 1, &bad), errAECorruptData);
    EXPECT_EQ(bad.d.descriptorType, typeNull);
}

TEST(AECoercion, TextAndUnicodeText) {
    Owned roman;
    const char bytes[] = {'C', 'a', 'f', char(0x8E), ' ', char(0xDB)}; // "Café €"
    ASSERT_EQ(AECreateDesc(typeChar, bytes, sizeof bytes, &roman), noErr);
    Owned utxt;
    ASSERT_EQ(AECoerceDesc(&roman, typeUnicodeText, &utxt), noErr);
    EXPECT_EQ(utxt.d.descriptorType, typeUnicodeText);
    std::u16string units(size_t(AEGetDescDataSize(&utxt)) / 2, u'\0');
    ASSERT_EQ(AEGetDescData(&utxt, units.data(), Size(units.size() * 2)), noErr);
    EXPECT_EQ(units, u"Café €");
    char out[sizeof bytes + 1] = {};
    Owned back;
    ASSERT_EQ(AECoerceDesc(&utxt, typeChar, &back), noErr);
    ASSERT_EQ(AEGetDescData(&back, out, sizeof out), noErr);
    EXPECT_EQ(std::string(out), std::string(bytes, sizeof bytes));

    Owned cjk;
    const char16_t han[] = u"漢";
    ASSERT_EQ(AECreateDesc(typeUnicodeText, han, 2, &cjk), noErr);
    Owned failed;
    EXPECT_EQ(AECoerceDesc(&cjk, typeChar, &failed), errAECoercionFail);
    EXPECT_EQ(failed.d.descriptorType, typeNull);
    Owned odd;
    ASSERT_EQ(AECreateDesc(typeUnicodeText, "abc", 3, &odd), noErr);
    EXPECT_EQ(AECoerceDesc(&odd, typeChar, &failed), errAECoercionFail);
    Owned number;
    const SInt32 n = 5;
    ASSERT_EQ(AECreateDesc(typeSInt32, &n, 4, &number), noErr);
    EXPECT_EQ(AECoerceDesc(&number, typeFSRef, &failed), errAECoercionFail);
}

TEST(AECoercion, FileItemsBecomeReferencesAndMissingOnesFail) {
    const QString dir = MakeTempDir("coerce");
    const QString path = dir + "/a b.txt";
    WriteFile(path, "data");
    const FSRef ref = RefOf(path);

    QByteArray alias;
    ASSERT_EQ(FSNewAlias(nullptr, &ref, &alias), noErr);
    FSSpec spec;
    ASSERT_EQ(FSRefMakeFSSpec(&ref, &spec), noErr);
    const QByteArray url = "file:///" + QByteArray(dir.toUtf8().mid(1)) + "/a%20b.txt";

    Owned list;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
    ASSERT_EQ(AEPutPtr(&list, 0, typeAlias, alias.constData(), Size(alias.size())), noErr);
    ASSERT_EQ(AEPutPtr(&list, 0, typeFSS, &spec, sizeof spec), noErr);
    ASSERT_EQ(AEPutPtr(&list, 0, typeFileURL, url.constData(), Size(url.size())), noErr);
    ASSERT_EQ(AEPutPtr(&list, 0, typeFSRef, &ref, sizeof ref), noErr);
    for (long i = 1; i <= 4; ++i) {
        FSRef got{};
        DescType type = 0;
        Size size = 0;
        ASSERT_EQ(AEGetNthPtr(&list, i, typeFSRef, nullptr, &type, &got, sizeof got, &size), noErr)
            << i;
        EXPECT_EQ(type, typeFSRef);
        EXPECT_EQ(size, Size(sizeof(FSRef)));
        EXPECT_EQ(FSCompareFSRefs(&got, &ref), noErr) << i;
    }
    Owned lone;
    ASSERT_EQ(AECreateDesc(typeAlias, alias.constData(), Size(alias.size()), &lone), noErr);
    Owned coerced;
    ASSERT_EQ(AECoerceDesc(&lone, typeFSRef, &coerced), noErr);
    FSRef got{};
    ASSERT_EQ(AEGetDescData(&coerced, &got, sizeof got), noErr);
    EXPECT_EQ(FSCompareFSRefs(&got, &ref), noErr);

    // Once the file is gone, every form of it fails with the resolver's status.
    ASSERT_TRUE(QFile::remove(path));
    for (long i = 1; i <= 3; ++i) {
        Owned item;
        const OSErr err = AEGetNthDesc(&list, i, typeFSRef, nullptr, &item);
        EXPECT_NE(err, noErr) << i;
        EXPECT_EQ(item.d.descriptorType, typeNull);
    }
    Owned gone;
    EXPECT_EQ(AECoerceDesc(&lone, typeFSRef, &gone), fnfErr);

    // URLs that name no local file, or would name another one.
    for (const QByteArray& bad : {QByteArray("http://host/tmp"), QByteArray("file://elsewhere/tmp"),
                                  QByteArray("file:///tmp/a%00b"), QByteArray("not a url")}) {
        Owned furl;
        ASSERT_EQ(AECreateDesc(typeFileURL, bad.constData(), Size(bad.size()), &furl), noErr);
        Owned out;
        EXPECT_EQ(AECoerceDesc(&furl, typeFSRef, &out), errAECoercionFail) << bad.constData();
    }
    Owned shortSpec;
    ASSERT_EQ(AECreateDesc(typeFSS, &spec, 10, &shortSpec), noErr);
    EXPECT_EQ(AECoerceDesc(&shortSpec, typeFSRef, &gone), errAECoercionFail);
}

TEST(AECoercion, ALoneItemIsAListOfOne) {
    Owned text;
    ASSERT_EQ(AECreateDesc(typeChar, "y", 1, &text), noErr);
    Owned one;
    ASSERT_EQ(AECoerceDesc(&text, typeAEList, &one), noErr);
    long count = 0;
    ASSERT_EQ(AECountItems(&one, &count), noErr);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ItemText(&one, 1), "y");
    Owned record;
    ASSERT_EQ(AECreateList(nullptr, 0, true, &record), noErr);
    EXPECT_EQ(AECoerceDesc(&record, typeAEList, &one), errAECoercionFail);
}

namespace {

struct Received {
    std::vector<SInt32> sequence;
    std::vector<AEEventID> ids;
    bool onMainThread = true;
    bool replyWasNull = true;
    int calls = 0;
};

OSErr Record(const AppleEvent* event, AppleEvent* reply, SRefCon refcon) {
    auto* r = static_cast<Received*>(refcon);
    ++r->calls;
    r->onMainThread =
        r->onMainThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    r->replyWasNull = r->replyWasNull && reply && reply->descriptorType == typeNull;
    SInt32 n = -1;
    AEGetParamPtr(event, FourCC("seq "), typeSInt32, nullptr, &n, 4, nullptr);
    r->sequence.push_back(n);
    AEEventID id = 0;
    AEGetAttributePtr(event, keyEventIDAttr, typeType, nullptr, &id, 4, nullptr);
    r->ids.push_back(id);
    return noErr;
}

constexpr AEEventClass kTestClass = FourCC("TeSt");

OSErr SendNumbered(AEEventID id, SInt32 n, const ProcessSerialNumber& psn = {0, kCurrentProcess}) {
    AEAddressDesc target;
    OSErr err = AECreateDesc(typeProcessSerialNumber, &psn, sizeof psn, &target);
    if (err != noErr) return err;
    AppleEvent event;
    err = AECreateAppleEvent(kTestClass, id, &target, kAutoGenerateReturnID, kAnyTransactionID,
                             &event);
    AEDisposeDesc(&target);
    if (err != noErr) return err;
    err = AEPutParamPtr(&event, FourCC("seq "), typeSInt32, &n, 4);
    AppleEvent reply;
    if (err == noErr)
        err = AESend(&event, &reply, kAENoReply, kAENormalPriority, kAEDefaultTimeout, nullptr,
                     nullptr);
    AEDisposeDesc(&event); // the sent event is a copy
    return err;
}

// Removes a test handler again, so that leftovers never reach a later test.
struct InstalledHandler {
    AEEventID id;
    InstalledHandler(AEEventID eventID, Received* r) : id(eventID) {
        EXPECT_EQ(AEInstallEventHandler(kTestClass, id, Record, r, false), noErr);
    }
    ~InstalledHandler() { AERemoveEventHandler(kTestClass, id, Record, false); }
};

} // namespace

TEST(AEEvents, AttributesAndDirectParameter) {
    const ProcessSerialNumber self{0, kCurrentProcess};
    Owned target;
    ASSERT_EQ(AECreateDesc(typeProcessSerialNumber, &self, sizeof self, &target), noErr);
    Owned event;
    ASSERT_EQ(AECreateAppleEvent(kCoreEventClass, kAEOpenDocuments, &target, kAutoGenerateReturnID,
                                 kAnyTransactionID, &event),
              noErr);
    EXPECT_EQ(event.d.descriptorType, typeAppleEvent);
    AEEventClass cls = 0;
    AEEventID id = 0;
    DescType type = 0;
    ASSERT_EQ(AEGetAttributePtr(&event, keyEventClassAttr, typeType, &type, &cls, 4, nullptr),
              noErr);
    ASSERT_EQ(AEGetAttributePtr(&event, keyEventIDAttr, typeWildCard, nullptr, &id, 4, nullptr),
              noErr);
    EXPECT_EQ(cls, kCoreEventClass);
    EXPECT_EQ(id, kAEOpenDocuments);
    ProcessSerialNumber psn{9, 9};
    Size size = 0;
    ASSERT_EQ(
        AEGetAttributePtr(&event, keyAddressAttr, typeWildCard, &type, &psn, sizeof psn, &size),
        noErr);
    EXPECT_EQ(type, typeProcessSerialNumber);
    EXPECT_EQ(size, Size(sizeof psn));
    EXPECT_EQ(psn.highLongOfPSN, 0u);
    EXPECT_EQ(psn.lowLongOfPSN, kCurrentProcess);
    EXPECT_EQ(AEGetAttributePtr(&event, FourCC("zzzz"), typeWildCard, nullptr, nullptr, 0, nullptr),
              errAEDescNotFound);

    Owned list;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
    PutText(&list, 0, "item");
    ASSERT_EQ(AEPutParamDesc(&event, keyDirectObject, &list), noErr);
    Owned direct;
    ASSERT_EQ(AEGetParamDesc(&event, keyDirectObject, typeAEList, &direct), noErr);
    EXPECT_EQ(direct.d.descriptorType, typeAEList);
    EXPECT_EQ(ItemText(&direct, 1), "item");

    EXPECT_EQ(AEGetAttributePtr(&list, keyEventIDAttr, typeType, nullptr, &id, 4, nullptr),
              errAENotAppleEvent);
}

TEST(AESendToSelf, DeliversLaterInOrderWithTheRefcon) {
    Received r;
    InstalledHandler handler(FourCC("ordr"), &r);
    for (SInt32 i = 1; i <= 5; ++i)
        ASSERT_EQ(SendNumbered(FourCC("ordr"), i), noErr);
    EXPECT_EQ(r.calls, 0); // never from inside AESend
    ASSERT_TRUE(SpinUntil([&] { return r.calls == 5; }));
    EXPECT_EQ(r.sequence, (std::vector<SInt32>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(r.onMainThread);
    EXPECT_TRUE(r.replyWasNull);
    SpinFor(50); // and nothing more comes
    EXPECT_EQ(r.calls, 5);
}

TEST(AESendToSelf, EventsWaitForTheirHandler) {
    for (SInt32 i = 1; i <= 3; ++i)
        ASSERT_EQ(SendNumbered(FourCC("wait"), i), noErr);
    SpinFor(50); // time enough to be delivered, were there a handler
    Received r;
    {
        InstalledHandler handler(FourCC("wait"), &r);
        EXPECT_EQ(r.calls, 0); // not from inside the installation
        ASSERT_TRUE(SpinUntil([&] { return r.calls == 3; }));
        EXPECT_EQ(r.sequence, (std::vector<SInt32>{1, 2, 3}));
    }
    // Removed: the next one waits again, for the next handler.
    ASSERT_EQ(SendNumbered(FourCC("wait"), 4), noErr);
    SpinFor(50); // time enough to reach the removed handler
    EXPECT_EQ(r.calls, 3);
    Received later;
    ASSERT_EQ(AEInstallEventHandler(kTestClass, typeWildCard, Record, &later, false), noErr);
    ASSERT_TRUE(SpinUntil([&] { return later.calls == 1; }));
    EXPECT_EQ(later.sequence, (std::vector<SInt32>{4}));
    EXPECT_EQ(later.ids, (std::vector<AEEventID>{FourCC("wait")}));
    EXPECT_EQ(AERemoveEventHandler(kTestClass, typeWildCard, Record, false), noErr);
    EXPECT_EQ(AERemoveEventHandler(kTestClass, typeWildCard, Record, false), errAEHandlerNotFound);
}

TEST(AESendToSelf, SendsFromWorkerThreadsArriveOnTheMainThread) {
    Received r;
    InstalledHandler handler(FourCC("thrd"), &r);
    std::vector<OSErr> results(50, 1);
    std::thread worker([&] {
        for (SInt32 i = 0; i < 50; ++i)
            results[size_t(i)] = SendNumbered(FourCC("thrd"), i);
    });
    worker.join();
    for (OSErr err : results)
        EXPECT_EQ(err, noErr);
    ASSERT_TRUE(SpinUntil([&] { return r.calls == 50; }));
    std::vector<SInt32> expected;
    for (SInt32 i = 0; i < 50; ++i)
        expected.push_back(i);
    EXPECT_EQ(r.sequence, expected);
    EXPECT_TRUE(r.onMainThread);
}

TEST(AESendToSelf, RefusesOtherTargetsAndNonEvents) {
    Received r;
    InstalledHandler handler(FourCC("othr"), &r);
    EXPECT_EQ(SendNumbered(FourCC("othr"), 1, ProcessSerialNumber{0, 77}), paramErr);
    Owned list;
    ASSERT_EQ(AECreateList(nullptr, 0, false, &list), noErr);
    EXPECT_EQ(
        AESend(&list, nullptr, kAENoReply, kAENormalPriority, kAEDefaultTimeout, nullptr, nullptr),
        errAENotAppleEvent);
    EXPECT_EQ(AEInstallEventHandler(kTestClass, FourCC("null"), nullptr, nullptr, false), paramErr);
    SpinFor(50); // time enough for a wrongly sent event to arrive
    EXPECT_EQ(r.calls, 0);
}
