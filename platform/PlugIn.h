// The plug-in model: UUIDs, and bundles whose Info.plist names factory
// functions (CFPlugInFactories: factory UUID -> function name) and the types
// each factory makes (CFPlugInTypes: type UUID -> factory UUIDs). A factory
// is found with dlsym in the bundle's executable. The library stays loaded
// while instances of its factories live (the plug-in registers each instance
// it makes and unregisters it when it goes).
#pragma once

#include "platform/CFBase.h"

#include <QString>
#include <vector>

// An allocator argument kept for the callers' signatures; never used.
using CFAllocatorRef = const void*;
inline constexpr CFAllocatorRef kCFAllocatorDefault = nullptr;

// The 16 bytes of a UUID, in text order; passed by value across the
// component interfaces.
struct CFUUIDBytes {
    UInt8 byte0, byte1, byte2, byte3, byte4, byte5, byte6, byte7;
    UInt8 byte8, byte9, byte10, byte11, byte12, byte13, byte14, byte15;
};

class CFUUID;
using CFUUIDRef = const CFUUID*;

// A UUID that lives for the process, the same object for the same bytes;
// CFRetain and CFRelease on it are harmless.
CFUUIDRef CFUUIDGetConstantUUIDWithBytes(CFAllocatorRef alloc, UInt8 byte0, UInt8 byte1,
                                         UInt8 byte2, UInt8 byte3, UInt8 byte4, UInt8 byte5,
                                         UInt8 byte6, UInt8 byte7, UInt8 byte8, UInt8 byte9,
                                         UInt8 byte10, UInt8 byte11, UInt8 byte12, UInt8 byte13,
                                         UInt8 byte14, UInt8 byte15);
// New UUIDs with a count of one; the caller releases them.
CFUUIDRef CFUUIDCreateFromUUIDBytes(CFAllocatorRef alloc, CFUUIDBytes bytes);
// From "B2893230-A5F2-16D8-AF17-560393C25B84" (either case, braces allowed);
// null when the text is not a UUID.
CFUUIDRef CFUUIDCreateFromString(CFAllocatorRef alloc, const QString& text);
CFUUIDBytes CFUUIDGetUUIDBytes(CFUUIDRef uuid);
// Upper-case 8-4-4-4-12 text of the UUID.
QString CFUUIDCreateString(CFAllocatorRef alloc, CFUUIDRef uuid);
// Same bytes; false when either is null.
Boolean CFUUIDEqual(CFUUIDRef a, CFUUIDRef b);

class CFPlugIn;
using CFPlugInRef = CFPlugIn*;

// Retain and release of the two kinds, whose classes callers do not see
// (CFRelease(CFTypeRef) cannot take them without their definitions).
CFUUIDRef CFRetain(CFUUIDRef uuid);
void CFRelease(CFUUIDRef uuid);
CFPlugInRef CFRetain(CFPlugInRef plugIn);
void CFRelease(CFPlugInRef plugIn);

// Opens the plug-in bundle at a path (its Info.plist read, its executable
// not yet loaded); null when the folder is not a bundle or declares no
// factories. The same path gives the same object, retained again; the caller
// releases it with CFRelease.
CFPlugInRef CFPlugInCreate(CFAllocatorRef alloc, const QString& bundlePath);
QString CFPlugInGetBundlePath(CFPlugInRef plugIn);

// The factories of every open plug-in that make the type; each UUID is the
// caller's to release.
std::vector<CFUUIDRef> CFPlugInFindFactoriesForPlugInType(CFUUIDRef typeUUID);

// Loads the factory's bundle (dlopen of Contents/Linux/<CFBundleExecutable>),
// finds its function and calls it with the type; what it returns (the
// instance, a pointer to its interface table pointer), or null when the
// factory is unknown, its library does not load, or the function is missing.
void* CFPlugInInstanceCreate(CFAllocatorRef alloc, CFUUIDRef factoryUUID, CFUUIDRef typeUUID);

// Called by the plug-in's factory and its last release.
void CFPlugInAddInstanceForFactory(CFUUIDRef factoryID);
void CFPlugInRemoveInstanceForFactory(CFUUIDRef factoryID);

namespace plat {

// Instances of the factory's type that are alive now (for tests and hosts).
int PlugInInstanceCount(CFUUIDRef factoryID);
// The dlerror text of the last load that failed, for a host's diagnostics.
QString LastPlugInLoadError();
// Closes the libraries of plug-ins whose last reference went (never from
// inside the library itself), unless background work still runs; how many.
int UnloadReleasedPlugIns();

} // namespace plat
