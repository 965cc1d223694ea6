#include "prefpane/MyOutlineView.h"

#include "platform/ui/PreferencePane.h"

NSDragOperation MyOutlineView::draggingSourceOperationMaskForLocal(bool local) {
    return local ? NSDragOperationEvery : NSDragOperationCopy;
}

namespace {

// The nib names the class; the loader makes it once the module is loaded.
const bool registered = [] {
    plat::RegisterNibClass(QStringLiteral("MyOutlineView"),
                           [](QWidget* parent) -> QWidget* { return new MyOutlineView(parent); });
    return true;
}();

} // namespace
