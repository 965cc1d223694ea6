// The Contextual Menu Manager's plug-in interface: its type and interface
// UUIDs, the COM base interface, the command-record keywords and the menu
// item attributes. A plug-in instance is a pointer to a pointer to its
// interface table, whose slots are called with the instance as first argument.
#pragma once

#include "platform/AppleEvents.h"
#include "platform/PlugIn.h"

using HRESULT = SInt32;
using ULONG = UInt32;
using REFIID = CFUUIDBytes;
using LPVOID = void*;

constexpr HRESULT S_OK = 0;

// The COM base interface's three slots, after a reserved one.
#define IUNKNOWN_C_GUTS                                                                            \
    void* _reserved;                                                                               \
    HRESULT (*QueryInterface)(void* thisPointer, REFIID iid, LPVOID* ppv);                         \
    ULONG (*AddRef)(void* thisPointer);                                                            \
    ULONG (*Release)(void* thisPointer)

struct IUnknownVTbl {
    IUNKNOWN_C_GUTS;
};

struct ContextualMenuInterfaceStruct {
    IUNKNOWN_C_GUTS;
    OSStatus (*ExamineContext)(void* thisInstance, const AEDesc* inContext,
                               AEDescList* outCommandPairs);
    OSStatus (*HandleSelection)(void* thisInstance, AEDesc* inContext, SInt32 inCommandID);
    void (*PostMenuCleanup)(void* thisInstance);
};

// 00000000-0000-0000-C000-000000000046
#define IUnknownUUID                                                                               \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  \
                                   0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46)
// 2F6522E9-3E66-11D5-80A7-003065B300BC
#define kContextualMenuTypeID                                                                      \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x2F, 0x65, 0x22, 0xE9, 0x3E, 0x66, 0x11,  \
                                   0xD5, 0x80, 0xA7, 0x00, 0x30, 0x65, 0xB3, 0x00, 0xBC)
// 32997B62-3E66-11D5-BEAB-003065B300BC
#define kContextualMenuInterfaceID                                                                 \
    CFUUIDGetConstantUUIDWithBytes(kCFAllocatorDefault, 0x32, 0x99, 0x7B, 0x62, 0x3E, 0x66, 0x11,  \
                                   0xD5, 0xBE, 0xAB, 0x00, 0x30, 0x65, 0xB3, 0x00, 0xBC)

// Command records: a title ('utxt', UTF-16 in native order, or 'TEXT'), a
// command identifier ('long'), attributes ('long', optional) and, for a
// submenu, the list of its records.
constexpr AEKeyword keyContextualMenuName = FourCC("pnam");
constexpr AEKeyword keyContextualMenuCommandID = FourCC("cmcd");
constexpr AEKeyword keyContextualMenuAttributes = FourCC("cmat");
constexpr AEKeyword keyContextualMenuSubmenu = FourCC("cmsb");

using MenuItemAttributes = UInt32;
constexpr MenuItemAttributes kMenuItemAttrDisabled = 1u << 2;
constexpr MenuItemAttributes kMenuItemAttrSeparator = 1u << 6;     // 64
constexpr MenuItemAttributes kMenuItemAttrSectionHeader = 1u << 7; // 128
