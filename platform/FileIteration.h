// The depth-first container walk: every item below a folder (or a volume's
// root) is offered to a filter, in catalog order, a folder's contents right
// after the folder itself, until the walk ends or the filter asks to stop.
#pragma once

#include "platform/Files.h"

using ItemCount = UInt32;
using UniChar = char16_t;

struct HFSUniStr255 {
    UInt16 length;
    UniChar unicode[255];
};

// Returns true to stop the walk. containerChanged: the folder being listed
// changed while its entries were read. currentLevel: 1 for the container's
// own items. spec and name are null unless asked for.
using IterateContainerFilterProcPtr = Boolean (*)(Boolean containerChanged, ItemCount currentLevel,
                                                  const FSCatalogInfo* catalogInfo,
                                                  const FSRef* ref, const FSSpec* spec,
                                                  const HFSUniStr255* name, void* yourDataPtr);

// Walks the container: maxLevels 0 means every level, otherwise items deeper
// than maxLevels are not offered. The node flags are always filled in; the
// data sizes and Finder information when whichInfo asks for them. Bundles are
// walked like any folder; symbolic links are offered as files and never
// followed. A folder that cannot be read (access denied) counts as empty, the
// container included. Returns noErr when the walk ran to its end or the
// filter stopped it; paramErr without a container or filter; dirNFErr when
// the container is not a folder; the status of any other failure.
OSErr FSIterateContainer(const FSRef* container, ItemCount maxLevels, FSCatalogInfoBitmap whichInfo,
                         Boolean wantFSSpec, Boolean wantName,
                         IterateContainerFilterProcPtr iterateFilter, void* yourDataPtr);
