// A text cell with an image to the left of its text (the outline view's
// name column: the node's icon and its name).
#pragma once

#include "platform/ui/OutlineView.h"

class ImageAndTextCell : public NSTextFieldCell {
public:
    ImageAndTextCell() = default;
    std::unique_ptr<NSCell> copy() const override; // the copy shares the image

    void setImage(NSImageRef image); // replaced only by another object
    NSImageRef image() const { return m_image; }

    // Where the image goes in the cell: 3 points in, centred vertically;
    // the zero rectangle without an image.
    QRectF imageFrameForCellFrame(QRectF cellFrame) const;
    QRectF editWithFrameInView(QRectF frame, QWidget* view) override;
    QRectF selectWithFrameInView(QRectF frame, QWidget* view) override;
    void drawWithFrameInView(QPainter& painter, QRectF frame, QWidget* view) override;
    QSizeF cellSize() const override;

private:
    // The frame without the image's slice on the left.
    QRectF textFrame(QRectF frame) const;

    NSImageRef m_image;
};
