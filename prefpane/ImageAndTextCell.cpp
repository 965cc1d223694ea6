#include "prefpane/ImageAndTextCell.h"

#include <QPainter>
#include <cmath>

namespace {
constexpr qreal kImageInset = 3;
}

std::unique_ptr<NSCell> ImageAndTextCell::copy() const {
    return std::make_unique<ImageAndTextCell>(*this);
}

void ImageAndTextCell::setImage(NSImageRef image) {
    if (image != m_image) m_image = std::move(image);
}

QRectF ImageAndTextCell::imageFrameForCellFrame(QRectF cellFrame) const {
    if (!m_image) return QRectF();
    const QSizeF size = m_image->size();
    return QRectF(cellFrame.x() + kImageInset,
                  cellFrame.y() + std::ceil((cellFrame.height() - size.height()) / 2), size.width(),
                  size.height());
}

QRectF ImageAndTextCell::textFrame(QRectF frame) const {
    const qreal slice = kImageInset + (m_image ? m_image->size().width() : 0);
    return frame.adjusted(std::min(slice, frame.width()), 0, 0, 0);
}

QRectF ImageAndTextCell::editWithFrameInView(QRectF frame, QWidget* view) {
    return NSTextFieldCell::editWithFrameInView(textFrame(frame), view);
}

QRectF ImageAndTextCell::selectWithFrameInView(QRectF frame, QWidget* view) {
    return NSTextFieldCell::selectWithFrameInView(textFrame(frame), view);
}

void ImageAndTextCell::drawWithFrameInView(QPainter& painter, QRectF frame, QWidget* view) {
    if (m_image) {
        const QSizeF size = m_image->size();
        QRectF slice(frame.x(), frame.y(), std::min(kImageInset + size.width(), frame.width()),
                     frame.height());
        if (drawsBackground()) painter.fillRect(slice, backgroundColor());
        // Qt views are flipped: the image is composited from its bottom-left
        // corner, so the origin moves down by the image's height as well.
        const QPointF origin(slice.x() + kImageInset,
                             slice.y() + std::ceil((frame.height() + size.height()) / 2));
        m_image->compositeToPoint(painter, origin, true);
        frame = textFrame(frame);
    }
    NSTextFieldCell::drawWithFrameInView(painter, frame, view);
}

QSizeF ImageAndTextCell::cellSize() const {
    QSizeF size = NSTextFieldCell::cellSize();
    size.rwidth() += kImageInset + (m_image ? m_image->size().width() : 0);
    return size;
}
