// Basic types, four-character codes and the status codes callers rely on.
#pragma once

#include <cstdint>
#include <string>

using OSStatus = int32_t;
using OSErr = int16_t;
using FourCharCode = uint32_t;
using OSType = FourCharCode;
using ResType = FourCharCode;
using DescType = FourCharCode;
using AEKeyword = FourCharCode;
using AEEventClass = FourCharCode;
using AEEventID = FourCharCode;
using Boolean = bool;
using SInt16 = int16_t;
using UInt16 = uint16_t;
using SInt32 = int32_t;
using UInt32 = uint32_t;
using SInt64 = int64_t;
using UInt64 = uint64_t;
using UInt8 = uint8_t;
using ByteCount = std::size_t;
using Size = long;
using CFIndex = long;
using SRefCon = void*;
using EventMask = uint16_t;

// A four-character code from its spelling, as in FourCC("odoc").
constexpr FourCharCode FourCC(const char (&s)[5]) {
    return (FourCharCode(uint8_t(s[0])) << 24) | (FourCharCode(uint8_t(s[1])) << 16) |
           (FourCharCode(uint8_t(s[2])) << 8) | FourCharCode(uint8_t(s[3]));
}

// The four characters of a code, for logs and diagnostics.
inline std::string FourCCString(FourCharCode c) {
    return std::string{char(c >> 24), char(c >> 16), char(c >> 8), char(c)};
}

enum : OSStatus {
    noErr = 0,
    nsvErr = -35,
    ioErr = -36,
    eofErr = -39,
    fnfErr = -43,
    wPrErr = -44,
    fLckdErr = -45,
    dupFNErr = -48,
    paramErr = -50,
    permErr = -54,
    memFullErr = -108,
    dirNFErr = -120,
    resNotFound = -192,
    userCanceledErr = -128,
    afpAccessDenied = -5000,
    errFSBadFSRef = -1401,
    diffVolErr = -1303,
    errAECoercionFail = -1700,
    errAEDescNotFound = -1701,
    errAECorruptData = -1702,
    errAEWrongDataType = -1703,
    errAENotAEDesc = -1704,
    errAEBadListItem = -1705,
    errAENewerVersion = -1706,
    errAENotAppleEvent = -1707,
    errAEEventNotHandled = -1708,
    errAEHandlerNotFound = -1717,
    errAEIllegalIndex = -1719,
    errAENotASpecialFunction = -1714,
    dragNotAcceptedErr = -1857,
    eventNotHandledErr = -9874,
    errSecItemNotFound = -25300,
    errSecDuplicateItem = -25299,
    errSecNotAvailable = -25291,
    errSecInteractionNotAllowed = -25308,
    errSecAuthFailed = -25293,
};

// Component model result for an interface the object does not have.
constexpr int32_t E_NOINTERFACE = int32_t(0x80000004u);
