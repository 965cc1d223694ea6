#include "platform/AppleEvents.h"

#include "platform/Alias.h"
#include "platform/Files.h"
#include "platform/TextEncoding.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QUrl>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

// What a descriptor's handle points at. The descriptor's type decides which
// part is used: bytes for plain data, items for lists (keyword 0) and for
// the parameters of records and Apple events, plus the attributes of an event.
struct OpaqueAEDataStorageType {
    enum class Kind : uint8_t { Bytes, List, Record, Event };
    struct Value {
        DescType type = typeNull;
        std::unique_ptr<OpaqueAEDataStorageType> data; // null only for typeNull
    };
    struct Item {
        AEKeyword keyword = 0;
        Value value;
    };

    explicit OpaqueAEDataStorageType(Kind k) : kind(k) {}

    Kind kind;
    QByteArray bytes;
    std::vector<Item> items;
    AEEventClass eventClass = 0;
    AEEventID eventID = 0;
    SInt16 returnID = 0;
    SInt32 transactionID = 0;
    Value target;
};

namespace {

using Storage = OpaqueAEDataStorageType;
using Kind = Storage::Kind;
using Value = Storage::Value;
using Item = Storage::Item;

constexpr AEKeyword keyReturnIDAttr = FourCC("rtid");
constexpr AEKeyword keyTransactionIDAttr = FourCC("tran");
constexpr DescType typeSInt16 = FourCC("shor");
// Flattened lists nest at most this deep; deeper data is refused as corrupt
// rather than parsed by unbounded recursion.
constexpr int kMaxNesting = 64;

Kind KindOf(DescType type) {
    switch (type) {
    case typeAEList:
        return Kind::List;
    case typeAERecord:
        return Kind::Record;
    case typeAppleEvent:
        return Kind::Event;
    default:
        return Kind::Bytes;
    }
}

bool IsKeyed(Kind k) {
    return k == Kind::Record || k == Kind::Event;
}

Value EmptyValue(DescType type) {
    if (type == typeNull) return {};
    return {type, std::make_unique<Storage>(KindOf(type))};
}

Value BytesValue(DescType type, const void* data, qsizetype size) {
    Value v = EmptyValue(type);
    v.data->bytes = QByteArray(static_cast<const char*>(data), size);
    return v;
}

Value Clone(DescType type, const Storage* s);

std::unique_ptr<Storage> CloneStorage(const Storage& s) {
    auto c = std::make_unique<Storage>(s.kind);
    c->bytes = s.bytes;
    c->items.reserve(s.items.size());
    for (const Item& it : s.items)
        c->items.push_back({it.keyword, Clone(it.value.type, it.value.data.get())});
    c->eventClass = s.eventClass;
    c->eventID = s.eventID;
    c->returnID = s.returnID;
    c->transactionID = s.transactionID;
    c->target = Clone(s.target.type, s.target.data.get());
    return c;
}

Value Clone(DescType type, const Storage* s) {
    if (type == typeNull || !s) return {};
    return {type, CloneStorage(*s)};
}

// ---- Flattened form: what AEGetDescData and the Ptr getters hand out for a
// list, record or event, and what AECreateDesc and the Ptr setters accept.
// Each item is keyword, type, 64-bit length, bytes (native byte order, for
// this process only); an event starts with class, ID, return ID,
// transaction ID and its target item. An empty list or record is no bytes.

void PutU32(QByteArray& out, UInt32 v) {
    out.append(reinterpret_cast<const char*>(&v), 4);
}
void PutU64(QByteArray& out, UInt64 v) {
    out.append(reinterpret_cast<const char*>(&v), 8);
}

QByteArray Flatten(DescType type, const Storage* s);

void FlattenItem(QByteArray& out, AEKeyword keyword, const Value& v) {
    const QByteArray bytes = Flatten(v.type, v.data.get());
    PutU32(out, keyword);
    PutU32(out, v.type);
    PutU64(out, UInt64(bytes.size()));
    out.append(bytes);
}

QByteArray Flatten(DescType type, const Storage* s) {
    if (type == typeNull || !s) return {};
    if (s->kind == Kind::Bytes) return s->bytes;
    QByteArray out;
    if (s->kind == Kind::Event) {
        PutU32(out, s->eventClass);
        PutU32(out, s->eventID);
        PutU32(out, UInt32(SInt32(s->returnID)));
        PutU32(out, UInt32(s->transactionID));
        FlattenItem(out, keyAddressAttr, s->target);
    }
    for (const Item& it : s->items)
        FlattenItem(out, it.keyword, it.value);
    return out;
}

class Reader {
public:
    explicit Reader(const QByteArray& bytes) : p_(bytes.constData()), left_(bytes.size()) {}
    bool AtEnd() const { return left_ == 0; }
    bool U32(UInt32* v) { return Raw(v, 4); }
    bool U64(UInt64* v) { return Raw(v, 8); }
    bool Take(UInt64 n, QByteArray* out) {
        if (n > UInt64(left_)) return false;
        *out = QByteArray(p_, qsizetype(n));
        p_ += n;
        left_ -= qsizetype(n);
        return true;
    }

private:
    bool Raw(void* v, qsizetype n) {
        if (left_ < n) return false;
        std::memcpy(v, p_, size_t(n));
        p_ += n;
        left_ -= n;
        return true;
    }
    const char* p_;
    qsizetype left_;
};

OSErr Parse(DescType type, const QByteArray& bytes, int depth, Value* out);

OSErr ParseItem(Reader& r, int depth, Item* item) {
    UInt32 keyword = 0, type = 0;
    UInt64 length = 0;
    QByteArray bytes;
    if (!r.U32(&keyword) || !r.U32(&type) || !r.U64(&length) || !r.Take(length, &bytes))
        return errAECorruptData;
    item->keyword = keyword;
    return Parse(type, bytes, depth + 1, &item->value);
}

OSErr Parse(DescType type, const QByteArray& bytes, int depth, Value* out) {
    if (depth > kMaxNesting) return errAECorruptData;
    Value v = EmptyValue(type);
    if (type == typeNull) {
        *out = std::move(v);
        return noErr;
    }
    Storage& s = *v.data;
    if (s.kind == Kind::Bytes) {
        s.bytes = bytes;
        *out = std::move(v);
        return noErr;
    }
    Reader r(bytes);
    if (s.kind == Kind::Event) {
        UInt32 returnID = 0, transactionID = 0;
        if (!r.U32(&s.eventClass) || !r.U32(&s.eventID) || !r.U32(&returnID) ||
            !r.U32(&transactionID))
            return errAECorruptData;
        s.returnID = SInt16(SInt32(returnID));
        s.transactionID = SInt32(transactionID);
        Item target;
        if (OSErr err = ParseItem(r, depth, &target); err != noErr) return err;
        s.target = std::move(target.value);
    }
    while (!r.AtEnd()) {
        Item item;
        if (OSErr err = ParseItem(r, depth, &item); err != noErr) return err;
        if (s.kind == Kind::List) item.keyword = 0;
        s.items.push_back(std::move(item));
    }
    *out = std::move(v);
    return noErr;
}

OSErr ValueFromPtr(DescType type, const void* dataPtr, Size dataSize, Value* out) {
    if (dataSize < 0 || (dataSize > 0 && !dataPtr)) return paramErr;
    const QByteArray bytes(static_cast<const char*>(dataPtr), qsizetype(dataSize));
    return Parse(type, bytes, 0, out);
}

// ---- Live handles. Only handles made here are used, so a stale or made-up
// descriptor is answered with errAENotAEDesc instead of being dereferenced.

struct LiveSet {
    std::mutex mutex;
    std::unordered_set<const Storage*> handles;
};

LiveSet& Live() {
    static auto* live = new LiveSet; // never destroyed: events may be sent during exit
    return *live;
}

AEDesc Publish(Value v) {
    AEDesc d{v.type, v.data.release()};
    if (d.dataHandle) {
        LiveSet& live = Live();
        std::lock_guard lock(live.mutex);
        live.handles.insert(d.dataHandle);
    }
    return d;
}

bool IsLive(const Storage* s) {
    LiveSet& live = Live();
    std::lock_guard lock(live.mutex);
    return live.handles.count(s) != 0;
}

bool Retire(const Storage* s) {
    LiveSet& live = Live();
    std::lock_guard lock(live.mutex);
    return live.handles.erase(s) != 0;
}

OSErr Open(const AEDesc* d, Storage** out) {
    if (!d) return paramErr;
    *out = nullptr;
    if (!d->dataHandle) return d->descriptorType == typeNull ? noErr : errAENotAEDesc;
    if (d->descriptorType == typeNull || !IsLive(d->dataHandle) ||
        d->dataHandle->kind != KindOf(d->descriptorType))
        return errAENotAEDesc;
    *out = d->dataHandle;
    return noErr;
}

// A list (or, with keyed, also a record or event) behind a descriptor.
OSErr OpenList(const AEDesc* d, bool keyed, Storage** out) {
    if (OSErr err = Open(d, out); err != noErr) return err;
    if (!*out) return errAENotAEDesc;
    const Kind k = (*out)->kind;
    if (k == Kind::List || (keyed && IsKeyed(k))) return noErr;
    return errAEWrongDataType;
}

OSErr OpenRecord(const AEDesc* d, Storage** out) {
    if (OSErr err = Open(d, out); err != noErr) return err;
    if (!*out) return errAENotAEDesc;
    return IsKeyed((*out)->kind) ? noErr : errAEWrongDataType;
}

// ---- Coercions.

// The file path a `furl` names: only local file URLs, percent-decoded as
// bytes so that any file name survives; none holding a NUL, which would name
// another file once handed on as a C string.
std::optional<QByteArray> PathOfFileURL(const QByteArray& bytes) {
    const QUrl url(QString::fromUtf8(bytes), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) != 0 ||
        url.hasQuery() || url.hasFragment())
        return std::nullopt;
    const QString host = url.host();
    if (!host.isEmpty() && host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QByteArray path =
        QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
    if (!path.startsWith('/') || path.contains('\0')) return std::nullopt;
    return path;
}

OSErr CoerceToFSRef(DescType from, const QByteArray& bytes, Value* out) {
    FSRef ref{};
    OSStatus status = noErr;
    if (from == typeAlias) {
        status = FSResolveAlias(nullptr, bytes, &ref, nullptr);
    } else if (from == typeFSS) {
        if (bytes.size() != qsizetype(sizeof(FSSpec))) return errAECoercionFail;
        FSSpec spec;
        std::memcpy(&spec, bytes.constData(), sizeof spec);
        status = FSpMakeFSRef(&spec, &ref);
    } else if (from == typeFileURL) {
        const std::optional<QByteArray> path = PathOfFileURL(bytes);
        if (!path) return errAECoercionFail;
        status = FSPathMakeRef(path->constData(), &ref, nullptr);
    } else {
        return errAECoercionFail;
    }
    if (status != noErr) return OSErr(status);
    *out = BytesValue(typeFSRef, &ref, sizeof ref);
    return noErr;
}

OSErr Coerce(DescType from, const Storage* s, DescType to, Value* out) {
    if (to == typeWildCard || to == from) {
        *out = Clone(from, s);
        return noErr;
    }
    if (from == typeNull || !s) return errAECoercionFail;
    if (s->kind != Kind::Bytes) return errAECoercionFail;
    const QByteArray& bytes = s->bytes;
    switch (to) {
    case typeFSRef:
        return CoerceToFSRef(from, bytes, out);
    case typeChar: {
        if (from != typeUnicodeText || bytes.size() % 2 != 0) return errAECoercionFail;
        std::u16string units(size_t(bytes.size() / 2), u'\0');
        std::memcpy(units.data(), bytes.constData(), size_t(bytes.size()));
        const std::optional<std::string> roman =
            plat::QStringToMacRoman(QString::fromUtf16(units.data(), qsizetype(units.size())));
        if (!roman) return errAECoercionFail;
        *out = BytesValue(typeChar, roman->data(), qsizetype(roman->size()));
        return noErr;
    }
    case typeUnicodeText: {
        if (from != typeChar) return errAECoercionFail;
        const QString text =
            plat::MacRomanToQString(std::string_view(bytes.constData(), size_t(bytes.size())));
        *out = BytesValue(typeUnicodeText, text.utf16(), text.size() * 2);
        return noErr;
    }
    case typeAEList: {
        // A lone item is a list of one, as senders of a single file expect.
        Value list = EmptyValue(typeAEList);
        list.data->items.push_back({0, Clone(from, s)});
        *out = std::move(list);
        return noErr;
    }
    default:
        return errAECoercionFail;
    }
}

// Copies a value's bytes out, at most maximumSize of them.
OSErr CopyOut(DescType type, const Storage* s, DescType* typeCode, void* dataPtr, Size maximumSize,
              Size* actualSize) {
    const QByteArray flat =
        (s && s->kind == Kind::Bytes) ? s->bytes : Flatten(type, s); // shares, no copy
    if (typeCode) *typeCode = type;
    if (actualSize) *actualSize = Size(flat.size());
    const Size n = std::min<Size>(maximumSize, Size(flat.size()));
    if (n > 0) std::memcpy(dataPtr, flat.constData(), size_t(n));
    return noErr;
}

bool BufferOK(const void* dataPtr, Size maximumSize) {
    return maximumSize >= 0 && (maximumSize == 0 || dataPtr);
}

// Reads a value, coerced to desiredType, into a caller's buffer.
OSErr GetPtr(DescType type, const Storage* s, DescType desiredType, DescType* typeCode,
             void* dataPtr, Size maximumSize, Size* actualSize) {
    if (desiredType == typeWildCard || desiredType == type)
        return CopyOut(type, s, typeCode, dataPtr, maximumSize, actualSize);
    Value v;
    if (OSErr err = Coerce(type, s, desiredType, &v); err != noErr) return err;
    return CopyOut(v.type, v.data.get(), typeCode, dataPtr, maximumSize, actualSize);
}

OSErr GetDesc(DescType type, const Storage* s, DescType desiredType, AEDesc* result) {
    Value v;
    if (OSErr err = Coerce(type, s, desiredType, &v); err != noErr) return err;
    *result = Publish(std::move(v));
    return noErr;
}

Item* FindKey(Storage* s, AEKeyword keyword) {
    for (Item& it : s->items)
        if (it.keyword == keyword) return &it;
    return nullptr;
}

OSErr PutIndexed(AEDescList* list, long index, Value v) {
    Storage* s = nullptr;
    if (OSErr err = OpenList(list, false, &s); err != noErr) return err;
    const long count = long(s->items.size());
    if (index == 0 || index == count + 1) {
        s->items.push_back({0, std::move(v)});
    } else if (index >= 1 && index <= count) {
        s->items[size_t(index - 1)].value = std::move(v);
    } else {
        return errAEIllegalIndex;
    }
    return noErr;
}

OSErr PutKeyed(AERecord* record, AEKeyword keyword, Value v) {
    Storage* s = nullptr;
    if (OSErr err = OpenRecord(record, &s); err != noErr) return err;
    if (Item* it = FindKey(s, keyword))
        it->value = std::move(v);
    else
        s->items.push_back({keyword, std::move(v)});
    return noErr;
}

OSErr NthItem(const AEDescList* list, long index, const Item** item) {
    Storage* s = nullptr;
    if (OSErr err = OpenList(list, true, &s); err != noErr) return err;
    if (index < 1 || index > long(s->items.size())) return errAEIllegalIndex;
    *item = &s->items[size_t(index - 1)];
    return noErr;
}

// List items report the wildcard keyword, record items their own.
AEKeyword KeywordOf(const AEDescList* list, const Item& item) {
    return list->dataHandle->kind == Kind::List ? typeWildCard : item.keyword;
}

OSErr FindParam(const AERecord* record, AEKeyword keyword, const Item** item) {
    Storage* s = nullptr;
    if (OSErr err = OpenRecord(record, &s); err != noErr) return err;
    *item = FindKey(s, keyword);
    return *item ? noErr : errAEDescNotFound;
}

// ---- Delivery of events sent to self.

struct Handler {
    AEEventClass eventClass;
    AEEventID eventID;
    AEEventHandlerUPP proc;
    SRefCon refcon;
};

struct Dispatcher {
    std::mutex mutex;
    std::vector<Handler> handlers;
    std::deque<AppleEvent> pending; // copies owned here until delivered
    bool scheduled = false;
};

Dispatcher& Events() {
    static auto* d = new Dispatcher; // never destroyed: see Live()
    return *d;
}

// The handler for an event: its exact class and ID first, then wildcards.
const Handler* FindHandler(const Dispatcher& d, AEEventClass cls, AEEventID id) {
    const Handler* best = nullptr;
    int bestRank = 0;
    for (const Handler& h : d.handlers) {
        const bool classOK = h.eventClass == cls || h.eventClass == typeWildCard;
        const bool idOK = h.eventID == id || h.eventID == typeWildCard;
        if (!classOK || !idOK) continue;
        const int rank = (h.eventClass == cls ? 2 : 0) + (h.eventID == id ? 1 : 0) + 1;
        if (rank > bestRank) {
            best = &h;
            bestRank = rank;
        }
    }
    return best;
}

std::deque<AppleEvent>::iterator FirstDeliverable(Dispatcher& d) {
    for (auto it = d.pending.begin(); it != d.pending.end(); ++it)
        if (FindHandler(d, it->dataHandle->eventClass, it->dataHandle->eventID)) return it;
    return d.pending.end();
}

void DeliverNext();

// Asks the main event loop for one delivery when an event has a handler.
void ScheduleLocked(Dispatcher& d) {
    if (d.scheduled || FirstDeliverable(d) == d.pending.end()) return;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return; // picked up by the next send or handler installation
    d.scheduled = true;
    QMetaObject::invokeMethod(app, &DeliverNext, Qt::QueuedConnection);
}

// One event per turn of the event loop, so that what the handler schedules
// (and the window) gets its turn between events.
void DeliverNext() {
    Dispatcher& d = Events();
    std::unique_lock lock(d.mutex);
    d.scheduled = false;
    const auto it = FirstDeliverable(d);
    if (it == d.pending.end()) return;
    const Handler handler = *FindHandler(d, it->dataHandle->eventClass, it->dataHandle->eventID);
    AppleEvent event = *it;
    d.pending.erase(it);
    ScheduleLocked(d);
    lock.unlock();

    AppleEvent reply;
    AEInitializeDesc(&reply);
    handler.proc(&event, &reply, handler.refcon);
    AEDisposeDesc(&reply);
    AEDisposeDesc(&event);
}

bool IsCurrentProcess(const Value& target) {
    if (target.type == typeNull) return true;
    if (target.type != typeProcessSerialNumber || !target.data ||
        target.data->bytes.size() != qsizetype(sizeof(ProcessSerialNumber)))
        return false;
    ProcessSerialNumber psn;
    std::memcpy(&psn, target.data->bytes.constData(), sizeof psn);
    return psn.highLongOfPSN == 0 && psn.lowLongOfPSN == kCurrentProcess;
}

SInt16 NextReturnID() {
    static std::atomic<UInt16> next{0};
    for (;;) {
        const SInt16 id = SInt16(++next);
        if (id != kAutoGenerateReturnID && id != 0) return id;
    }
}

} // namespace

void AEInitializeDesc(AEDesc* desc) {
    if (desc) *desc = AEDesc{typeNull, nullptr};
}

OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result) {
    if (!result) return paramErr;
    AEInitializeDesc(result);
    Value v;
    if (OSErr err = ValueFromPtr(typeCode, dataPtr, dataSize, &v); err != noErr) return err;
    *result = Publish(std::move(v));
    return noErr;
}

OSErr AEDisposeDesc(AEDesc* theAEDesc) {
    if (!theAEDesc) return paramErr;
    Storage* s = theAEDesc->dataHandle;
    AEInitializeDesc(theAEDesc);
    if (!s) return noErr;
    if (!Retire(s)) return errAENotAEDesc; // disposed already or never made here
    delete s;
    return noErr;
}

OSErr AEDuplicateDesc(const AEDesc* theAEDesc, AEDesc* result) {
    if (!result) return paramErr;
    Storage* s = nullptr;
    if (OSErr err = Open(theAEDesc, &s); err != noErr) {
        AEInitializeDesc(result);
        return err;
    }
    *result = Publish(Clone(theAEDesc->descriptorType, s));
    return noErr;
}

OSErr AECoerceDesc(const AEDesc* theAEDesc, DescType toType, AEDesc* result) {
    if (!result) return paramErr;
    AEDesc out{typeNull, nullptr};
    Storage* s = nullptr;
    OSErr err = Open(theAEDesc, &s);
    if (err == noErr) err = GetDesc(theAEDesc->descriptorType, s, toType, &out);
    *result = out;
    return err;
}

Size AEGetDescDataSize(const AEDesc* theAEDesc) {
    Storage* s = nullptr;
    if (Open(theAEDesc, &s) != noErr || !s) return 0;
    if (s->kind == Kind::Bytes) return Size(s->bytes.size());
    return Size(Flatten(theAEDesc->descriptorType, s).size());
}

OSErr AEGetDescData(const AEDesc* theAEDesc, void* dataPtr, Size maximumSize) {
    if (!BufferOK(dataPtr, maximumSize)) return paramErr;
    Storage* s = nullptr;
    if (OSErr err = Open(theAEDesc, &s); err != noErr) return err;
    return CopyOut(theAEDesc->descriptorType, s, nullptr, dataPtr, maximumSize, nullptr);
}

OSErr AECreateList(const void*, Size, Boolean isRecord, AEDescList* resultList) {
    // Factoring is a storage optimisation of the original; items are kept whole.
    if (!resultList) return paramErr;
    *resultList = Publish(EmptyValue(isRecord ? typeAERecord : typeAEList));
    return noErr;
}

OSErr AECountItems(const AEDescList* theAEDescList, long* theCount) {
    if (!theCount) return paramErr;
    Storage* s = nullptr;
    if (OSErr err = OpenList(theAEDescList, true, &s); err != noErr) return err;
    *theCount = long(s->items.size());
    return noErr;
}

OSErr AEPutPtr(AEDescList* theAEDescList, long index, DescType typeCode, const void* dataPtr,
               Size dataSize) {
    Value v;
    if (OSErr err = ValueFromPtr(typeCode, dataPtr, dataSize, &v); err != noErr) return err;
    return PutIndexed(theAEDescList, index, std::move(v));
}

OSErr AEPutDesc(AEDescList* theAEDescList, long index, const AEDesc* theAEDesc) {
    Storage* s = nullptr;
    if (OSErr err = Open(theAEDesc, &s); err != noErr) return err;
    return PutIndexed(theAEDescList, index, Clone(theAEDesc->descriptorType, s));
}

OSErr AEGetNthPtr(const AEDescList* theAEDescList, long index, DescType desiredType,
                  AEKeyword* theAEKeyword, DescType* typeCode, void* dataPtr, Size maximumSize,
                  Size* actualSize) {
    if (!BufferOK(dataPtr, maximumSize)) return paramErr;
    const Item* item = nullptr;
    if (OSErr err = NthItem(theAEDescList, index, &item); err != noErr) return err;
    if (OSErr err = GetPtr(item->value.type, item->value.data.get(), desiredType, typeCode, dataPtr,
                           maximumSize, actualSize);
        err != noErr)
        return err;
    if (theAEKeyword) *theAEKeyword = KeywordOf(theAEDescList, *item);
    return noErr;
}

OSErr AEGetNthDesc(const AEDescList* theAEDescList, long index, DescType desiredType,
                   AEKeyword* theAEKeyword, AEDesc* result) {
    if (!result) return paramErr;
    AEInitializeDesc(result);
    const Item* item = nullptr;
    if (OSErr err = NthItem(theAEDescList, index, &item); err != noErr) return err;
    if (OSErr err = GetDesc(item->value.type, item->value.data.get(), desiredType, result);
        err != noErr)
        return err;
    if (theAEKeyword) *theAEKeyword = KeywordOf(theAEDescList, *item);
    return noErr;
}

OSErr AEDeleteItem(AEDescList* theAEDescList, long index) {
    Storage* s = nullptr;
    if (OSErr err = OpenList(theAEDescList, true, &s); err != noErr) return err;
    if (index < 1 || index > long(s->items.size())) return errAEIllegalIndex;
    s->items.erase(s->items.begin() + (index - 1));
    return noErr;
}

OSErr AEPutParamPtr(AERecord* theAppleEvent, AEKeyword theAEKeyword, DescType typeCode,
                    const void* dataPtr, Size dataSize) {
    Value v;
    if (OSErr err = ValueFromPtr(typeCode, dataPtr, dataSize, &v); err != noErr) return err;
    return PutKeyed(theAppleEvent, theAEKeyword, std::move(v));
}

OSErr AEPutParamDesc(AERecord* theAppleEvent, AEKeyword theAEKeyword, const AEDesc* theAEDesc) {
    Storage* s = nullptr;
    if (OSErr err = Open(theAEDesc, &s); err != noErr) return err;
    return PutKeyed(theAppleEvent, theAEKeyword, Clone(theAEDesc->descriptorType, s));
}

OSErr AEGetParamPtr(const AERecord* theAppleEvent, AEKeyword theAEKeyword, DescType desiredType,
                    DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize) {
    if (!BufferOK(dataPtr, maximumSize)) return paramErr;
    const Item* item = nullptr;
    if (OSErr err = FindParam(theAppleEvent, theAEKeyword, &item); err != noErr) return err;
    return GetPtr(item->value.type, item->value.data.get(), desiredType, actualType, dataPtr,
                  maximumSize, actualSize);
}

OSErr AEGetParamDesc(const AERecord* theAppleEvent, AEKeyword theAEKeyword, DescType desiredType,
                     AEDesc* result) {
    if (!result) return paramErr;
    AEInitializeDesc(result);
    const Item* item = nullptr;
    if (OSErr err = FindParam(theAppleEvent, theAEKeyword, &item); err != noErr) return err;
    return GetDesc(item->value.type, item->value.data.get(), desiredType, result);
}

OSErr AEGetAttributePtr(const AppleEvent* theAppleEvent, AEKeyword theAEKeyword,
                        DescType desiredType, DescType* typeCode, void* dataPtr, Size maximumSize,
                        Size* actualSize) {
    if (!BufferOK(dataPtr, maximumSize)) return paramErr;
    Storage* s = nullptr;
    if (OSErr err = Open(theAppleEvent, &s); err != noErr) return err;
    if (!s || s->kind != Kind::Event) return errAENotAppleEvent;
    switch (theAEKeyword) {
    case keyAddressAttr:
        return GetPtr(s->target.type, s->target.data.get(), desiredType, typeCode, dataPtr,
                      maximumSize, actualSize);
    case keyEventClassAttr:
    case keyEventIDAttr: {
        const DescType code = theAEKeyword == keyEventClassAttr ? s->eventClass : s->eventID;
        const Value v = BytesValue(typeType, &code, sizeof code);
        return GetPtr(v.type, v.data.get(), desiredType, typeCode, dataPtr, maximumSize,
                      actualSize);
    }
    case keyReturnIDAttr: {
        const Value v = BytesValue(typeSInt16, &s->returnID, sizeof s->returnID);
        return GetPtr(v.type, v.data.get(), desiredType, typeCode, dataPtr, maximumSize,
                      actualSize);
    }
    case keyTransactionIDAttr: {
        const Value v = BytesValue(typeSInt32, &s->transactionID, sizeof s->transactionID);
        return GetPtr(v.type, v.data.get(), desiredType, typeCode, dataPtr, maximumSize,
                      actualSize);
    }
    default:
        return errAEDescNotFound;
    }
}

OSErr AECreateAppleEvent(AEEventClass theAEEventClass, AEEventID theAEEventID,
                         const AEAddressDesc* target, SInt16 returnID, SInt32 transactionID,
                         AppleEvent* result) {
    if (!result) return paramErr;
    AEInitializeDesc(result);
    Value targetValue;
    if (target) {
        Storage* t = nullptr;
        if (OSErr err = Open(target, &t); err != noErr) return err;
        targetValue = Clone(target->descriptorType, t);
    }
    Value event = EmptyValue(typeAppleEvent);
    event.data->eventClass = theAEEventClass;
    event.data->eventID = theAEEventID;
    event.data->returnID = returnID == kAutoGenerateReturnID ? NextReturnID() : returnID;
    event.data->transactionID = transactionID;
    event.data->target = std::move(targetValue);
    *result = Publish(std::move(event));
    return noErr;
}

OSErr AESend(const AppleEvent* theAppleEvent, AppleEvent* reply, SInt32, SInt16, SInt32, void*,
             void*) {
    // Events to self are never answered synchronously; the reply stays null.
    if (reply) AEInitializeDesc(reply);
    Storage* s = nullptr;
    if (OSErr err = Open(theAppleEvent, &s); err != noErr) return err;
    if (!s || s->kind != Kind::Event) return errAENotAppleEvent;
    if (!IsCurrentProcess(s->target)) return paramErr;

    const AppleEvent copy = Publish(Clone(typeAppleEvent, s));
    Dispatcher& d = Events();
    std::lock_guard lock(d.mutex);
    d.pending.push_back(copy);
    ScheduleLocked(d);
    return noErr;
}

OSErr AEInstallEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                            AEEventHandlerUPP handler, SRefCon handlerRefcon, Boolean) {
    if (!handler) return paramErr;
    Dispatcher& d = Events();
    std::lock_guard lock(d.mutex);
    bool replaced = false;
    for (Handler& h : d.handlers) {
        if (h.eventClass == theAEEventClass && h.eventID == theAEEventID) {
            h.proc = handler;
            h.refcon = handlerRefcon;
            replaced = true;
        }
    }
    if (!replaced) d.handlers.push_back({theAEEventClass, theAEEventID, handler, handlerRefcon});
    // Waiting events go out later from the event loop, never from in here.
    ScheduleLocked(d);
    return noErr;
}

OSErr AERemoveEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                           AEEventHandlerUPP handler, Boolean) {
    Dispatcher& d = Events();
    std::lock_guard lock(d.mutex);
    for (auto it = d.handlers.begin(); it != d.handlers.end(); ++it) {
        if (it->eventClass != theAEEventClass || it->eventID != theAEEventID) continue;
        if (handler && it->proc != handler) return errAEHandlerNotFound;
        d.handlers.erase(it);
        return noErr;
    }
    return errAEHandlerNotFound;
}

namespace plat {

std::optional<QString> TextOfDesc(const AEDesc& desc) {
    if (desc.descriptorType != typeChar && desc.descriptorType != typeUnicodeText)
        return std::nullopt;
    const Size size = AEGetDescDataSize(&desc);
    QByteArray bytes(size, '\0');
    if (size > 0 && AEGetDescData(&desc, bytes.data(), size) != noErr) return std::nullopt;
    if (desc.descriptorType == typeUnicodeText)
        return QString(reinterpret_cast<const QChar*>(bytes.constData()), bytes.size() / 2);
    return MacRomanToQString(std::string_view(bytes.constData(), std::size_t(bytes.size())));
}

} // namespace plat
