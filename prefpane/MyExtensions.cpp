#include "prefpane/MyExtensions.h"

OutlineItem selectedItem(const NSOutlineView* view) {
    const int row = view->selectedRow();
    return row < 0 ? nullptr : view->itemAtRow(row);
}

std::vector<OutlineItem> allSelectedItems(const NSOutlineView* view) {
    std::vector<OutlineItem> items;
    for (int row : view->selectedRowIndexes())
        if (OutlineItem item = view->itemAtRow(row)) items.push_back(item);
    return items;
}

void selectItemsByExtendingSelection(NSOutlineView* view, const std::vector<OutlineItem>& items,
                                     bool extend) {
    if (!extend) view->deselectAll();
    for (OutlineItem item : items) {
        const int row = view->rowForItem(item);
        if (row >= 0) view->selectRowByExtendingSelection(row, true);
    }
}
