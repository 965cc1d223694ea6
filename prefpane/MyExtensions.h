// Small additions to the containers and the outline view that the tree and
// the editor share.
#pragma once

#include "platform/ui/OutlineView.h"

#include <algorithm>
#include <vector>

// True when the array holds that very object.
template <typename P, typename Q>
bool containsObjectIdenticalTo(const std::vector<P>& array, const Q& object) {
    return std::any_of(array.begin(), array.end(), [&](const P& p) { return &*p == &*object; });
}

// Inserts the objects one by one at index, index+1, ..., keeping their order.
template <typename T>
void insertObjectsFromArrayAtIndex(std::vector<T>& array, const std::vector<T>& objects,
                                   int index) {
    array.insert(array.begin() + index, objects.begin(), objects.end());
}

// The item of the selected row (null: none).
OutlineItem selectedItem(const NSOutlineView* view);
// The items of all selected rows in ascending row order, skipping rows
// without an item.
std::vector<OutlineItem> allSelectedItems(const NSOutlineView* view);
// Unless extend, deselects everything first; then selects the row of each
// item that has one.
void selectItemsByExtendingSelection(NSOutlineView* view, const std::vector<OutlineItem>& items,
                                     bool extend);
