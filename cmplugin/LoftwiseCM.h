// The context-menu plug-in LoftwiseCM: a component made by its factory, with
// a COM-style interface table through which the Contextual Menu Manager asks
// for its commands and hands back the one chosen.
#pragma once

#include "platform/ContextualMenu.h"
#include "platform/Files.h"

#include <QUrl>

// One per instance. The table pointer comes first: a pointer to the instance
// is a pointer to a pointer to the table, as the calling convention needs.
struct LoftwiseCMInstance {
    ContextualMenuInterfaceStruct* interfaceTable;
    CFUUIDRef factoryID;
    UInt32 refCount;
};

// The factory named in the bundle's Info.plist, the module's only exported
// symbol: a new instance for the Contextual Menu Manager's plug-in type,
// null for any other.
extern "C" __attribute__((visibility("default"))) void* LoftwiseCMFactory(CFAllocatorRef allocator,
                                                                          CFUUIDRef typeID);

HRESULT LoftwiseCMQueryInterface(void* thisInstance, REFIID iid, LPVOID* ppv);
ULONG LoftwiseCMAddRef(void* thisInstance);
ULONG LoftwiseCMRelease(void* thisInstance);
OSStatus LoftwiseCMExamineContext(void* thisInstance, const AEDesc* inContext,
                                  AEDescList* outCommandPairs);
OSStatus LoftwiseCMHandleSelection(void* thisInstance, AEDesc* inContext, SInt32 inCommandID);
void LoftwiseCMPostMenuCleanup(void* thisInstance);

// Uploads every item of the context to the destination, zipping containers
// first, and logs each step. A lone descriptor is taken as a list of one.
void HandleFTPCommand(const QUrl& destination, const AEDesc* context);
// True for folders, volumes and packages (application bundles among them).
bool ItemIsContainer(const FSRef* item);
