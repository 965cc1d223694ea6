// The pane's outline view: drags out of it may be moved within this
// program, only copied elsewhere.
#pragma once

#include "platform/ui/OutlineView.h"

class MyOutlineView : public NSOutlineView {
    Q_OBJECT
public:
    explicit MyOutlineView(QWidget* parent = nullptr) : NSOutlineView(parent) {}
    NSDragOperation draggingSourceOperationMaskForLocal(bool local) override;
};
