// Reference-counted platform objects (run loops, streams): created with a
// count of one by a Create function, kept with CFRetain, given up with
// CFRelease; the last release destroys the object. Counting is thread-safe.
#pragma once

#include "platform/MacTypes.h"

#include <atomic>

using CFOptionFlags = unsigned long;
using CFTypeID = unsigned long;

class CFType {
public:
    CFType(const CFType&) = delete;
    CFType& operator=(const CFType&) = delete;

    virtual CFTypeID typeID() const = 0;

protected:
    CFType() = default;
    virtual ~CFType() = default;

    // For objects that live for the process: releases never reach zero.
    void makeImmortal() { m_refs.store(1L << 40, std::memory_order_relaxed); }

private:
    friend const CFType* CFRetain(const CFType*);
    friend void CFRelease(const CFType*);
    mutable std::atomic<long> m_refs{1};
};

using CFTypeRef = const CFType*;

// Both return/accept nullptr harmlessly.
CFTypeRef CFRetain(CFTypeRef object);
void CFRelease(CFTypeRef object);

// The kind of an object, to compare with CFReadStreamGetTypeID() and the
// like; 0 for nullptr.
CFTypeID CFGetTypeID(CFTypeRef object);

enum : CFTypeID {
    kCFTypeIDRunLoop = 1,
    kCFTypeIDReadStream = 2,
    kCFTypeIDWriteStream = 3,
    kCFTypeIDUUID = 4,
    kCFTypeIDPlugIn = 5,
};
