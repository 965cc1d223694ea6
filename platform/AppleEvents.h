// Apple event descriptors: typed byte strings, lists (indexed from 1),
// records keyed by four-character keywords, and Apple events (records with a
// class, an ID and a target). Events sent to the current process with AESend
// are delivered later, from the main event loop, through the handler
// installed for their class and ID; events wait until such a handler exists.
#pragma once

#include "platform/MacTypes.h"

#include <QString>
#include <optional>

struct OpaqueAEDataStorageType;
using AEDataStorage = OpaqueAEDataStorageType*;

// C-compatible: a type code and an opaque handle. Each caller disposes of
// the descriptors it made (AEDisposeDesc); a null descriptor has type
// typeNull and no handle.
struct AEDesc {
    DescType descriptorType;
    AEDataStorage dataHandle;
};
using AEDescList = AEDesc;
using AERecord = AEDesc;
using AppleEvent = AEDesc;
using AEAddressDesc = AEDesc;

constexpr DescType typeNull = FourCC("null");
constexpr DescType typeWildCard = FourCC("****");
constexpr DescType typeAEList = FourCC("list");
constexpr DescType typeAERecord = FourCC("reco");
constexpr DescType typeAppleEvent = FourCC("aevt");
constexpr DescType typeFSRef = FourCC("fsrf");
constexpr DescType typeAlias = FourCC("alis");
constexpr DescType typeFSS = FourCC("fss ");
constexpr DescType typeFileURL = FourCC("furl");
constexpr DescType typeChar = FourCC("TEXT");
constexpr DescType typeUnicodeText = FourCC("utxt");
constexpr DescType typeSInt32 = FourCC("long");
constexpr DescType typeBoolean = FourCC("bool");
constexpr DescType typeType = FourCC("type");
constexpr DescType typeProcessSerialNumber = FourCC("psn ");

constexpr AEEventClass kCoreEventClass = FourCC("aevt");
constexpr AEEventID kAEOpenDocuments = FourCC("odoc");
constexpr AEEventID kAEOpenApplication = FourCC("oapp");
constexpr AEEventID kAEQuitApplication = FourCC("quit");
constexpr AEKeyword keyDirectObject = FourCC("----");
constexpr AEKeyword keyAddressAttr = FourCC("addr");
constexpr AEKeyword keyEventClassAttr = FourCC("evcl");
constexpr AEKeyword keyEventIDAttr = FourCC("evid");

constexpr SInt16 kAutoGenerateReturnID = -1;
constexpr SInt32 kAnyTransactionID = 0;
constexpr SInt32 kAENoReply = 0x00000001;
constexpr SInt32 kAEWaitReply = 0x00000003;
constexpr SInt16 kAENormalPriority = 0;
constexpr SInt32 kAEDefaultTimeout = -1;

struct ProcessSerialNumber {
    UInt32 highLongOfPSN;
    UInt32 lowLongOfPSN;
};
constexpr UInt32 kNoProcess = 0;
constexpr UInt32 kCurrentProcess = 2;

using AEEventHandlerProcPtr = OSErr (*)(const AppleEvent* theAppleEvent, AppleEvent* reply,
                                        SRefCon handlerRefcon);
using AEEventHandlerUPP = AEEventHandlerProcPtr;
inline AEEventHandlerUPP NewAEEventHandlerUPP(AEEventHandlerProcPtr p) {
    return p;
}
inline void DisposeAEEventHandlerUPP(AEEventHandlerUPP) {}

void AEInitializeDesc(AEDesc* desc);
OSErr AECreateDesc(DescType typeCode, const void* dataPtr, Size dataSize, AEDesc* result);
OSErr AEDisposeDesc(AEDesc* theAEDesc);
OSErr AEDuplicateDesc(const AEDesc* theAEDesc, AEDesc* result);

// Coerces a descriptor: identity for the same type; alias (resolving it),
// FSSpec record and file URL to fsrf; utxt <-> TEXT (Mac Roman); a list
// to itself. An item that names no file-system object fails (fnfErr), other
// impossible coercions fail with errAECoercionFail.
OSErr AECoerceDesc(const AEDesc* theAEDesc, DescType toType, AEDesc* result);

Size AEGetDescDataSize(const AEDesc* theAEDesc);
OSErr AEGetDescData(const AEDesc* theAEDesc, void* dataPtr, Size maximumSize);

OSErr AECreateList(const void* factoringPtr, Size factoredSize, Boolean isRecord,
                   AEDescList* resultList);
OSErr AECountItems(const AEDescList* theAEDescList, long* theCount);
// index 0 or count + 1 appends; 1..count replaces; anything else is errAEIllegalIndex.
OSErr AEPutPtr(AEDescList* theAEDescList, long index, DescType typeCode, const void* dataPtr,
               Size dataSize);
OSErr AEPutDesc(AEDescList* theAEDescList, long index, const AEDesc* theAEDesc);
// Item index (from 1) coerced to desiredType (typeWildCard: as it is). At most
// maximumSize bytes are copied; *actualSize is the whole size.
OSErr AEGetNthPtr(const AEDescList* theAEDescList, long index, DescType desiredType,
                  AEKeyword* theAEKeyword, DescType* typeCode, void* dataPtr, Size maximumSize,
                  Size* actualSize);
OSErr AEGetNthDesc(const AEDescList* theAEDescList, long index, DescType desiredType,
                   AEKeyword* theAEKeyword, AEDesc* result);
OSErr AEDeleteItem(AEDescList* theAEDescList, long index);

// Keywords of records and Apple events (the Param and Key forms are the same).
OSErr AEPutParamPtr(AERecord* theAppleEvent, AEKeyword theAEKeyword, DescType typeCode,
                    const void* dataPtr, Size dataSize);
OSErr AEPutParamDesc(AERecord* theAppleEvent, AEKeyword theAEKeyword, const AEDesc* theAEDesc);
OSErr AEGetParamPtr(const AERecord* theAppleEvent, AEKeyword theAEKeyword, DescType desiredType,
                    DescType* actualType, void* dataPtr, Size maximumSize, Size* actualSize);
OSErr AEGetParamDesc(const AERecord* theAppleEvent, AEKeyword theAEKeyword, DescType desiredType,
                     AEDesc* result);
inline OSErr AEPutKeyPtr(AERecord* r, AEKeyword k, DescType t, const void* p, Size s) {
    return AEPutParamPtr(r, k, t, p, s);
}
inline OSErr AEPutKeyDesc(AERecord* r, AEKeyword k, const AEDesc* d) {
    return AEPutParamDesc(r, k, d);
}
inline OSErr AEGetKeyPtr(const AERecord* r, AEKeyword k, DescType t, DescType* at, void* p, Size m,
                         Size* s) {
    return AEGetParamPtr(r, k, t, at, p, m, s);
}
inline OSErr AEGetKeyDesc(const AERecord* r, AEKeyword k, DescType t, AEDesc* d) {
    return AEGetParamDesc(r, k, t, d);
}

// Event class and ID (keyEventClassAttr, keyEventIDAttr) and the target (keyAddressAttr).
OSErr AEGetAttributePtr(const AppleEvent* theAppleEvent, AEKeyword theAEKeyword,
                        DescType desiredType, DescType* typeCode, void* dataPtr, Size maximumSize,
                        Size* actualSize);

OSErr AECreateAppleEvent(AEEventClass theAEEventClass, AEEventID theAEEventID,
                         const AEAddressDesc* target, SInt16 returnID, SInt32 transactionID,
                         AppleEvent* result);

// Sends to the current process (a psn target of the current process, or no
// target): the event is copied and delivered later from the main event
// loop. Other targets fail with paramErr.
OSErr AESend(const AppleEvent* theAppleEvent, AppleEvent* reply, SInt32 sendMode,
             SInt16 sendPriority, SInt32 timeOutInTicks, void* idleProc, void* filterProc);

OSErr AEInstallEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                            AEEventHandlerUPP handler, SRefCon handlerRefcon, Boolean isSysHandler);
OSErr AERemoveEventHandler(AEEventClass theAEEventClass, AEEventID theAEEventID,
                           AEEventHandlerUPP handler, Boolean isSysHandler);

namespace plat {

// The text a 'TEXT' (Mac Roman) or 'utxt' (UTF-16, native order) descriptor
// holds; nullopt for any other type.
std::optional<QString> TextOfDesc(const AEDesc& desc);

} // namespace plat
