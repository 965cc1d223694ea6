// Images with a size in points taken from their resolution.
#include "platform/ui/OutlineView.h"

#include <QImageReader>
#include <QPainter>
#include <cmath>

namespace {

// The size in points of pixels at dotsPerMeter; 72 dpi (a pixel is a point)
// when the image gives no resolution. Sizes within a hundredth of a whole
// point are that point: a resolution stored in dots per metre is rounded.
qreal Points(int pixels, int dotsPerMeter) {
    if (dotsPerMeter <= 0) return pixels;
    const qreal points = pixels * 72.0 / (dotsPerMeter * 0.0254);
    const qreal whole = std::round(points);
    return std::abs(points - whole) < 0.01 ? whole : points;
}

} // namespace

std::shared_ptr<NSImage> NSImage::imageWithContentsOfFile(const QString& path) {
    QImageReader reader(path);
    QImage image = reader.read();
    if (image.isNull()) return nullptr;
    // A file without a resolution leaves Qt's default in the image, which
    // stands for the screen, not the file: such an image has none.
    const QImage blank(1, 1, QImage::Format_ARGB32);
    if (image.dotsPerMeterX() == blank.dotsPerMeterX() &&
        image.dotsPerMeterY() == blank.dotsPerMeterY()) {
        image.setDotsPerMeterX(0);
        image.setDotsPerMeterY(0);
    }
    return std::make_shared<NSImage>(std::move(image));
}

NSImage::NSImage(QImage image) : m_image(std::move(image)) {
    m_size = QSizeF(Points(m_image.width(), m_image.dotsPerMeterX()),
                    Points(m_image.height(), m_image.dotsPerMeterY()));
}

void NSImage::compositeToPoint(QPainter& painter, QPointF point, bool flipped) const {
    if (m_image.isNull() || m_size.isEmpty()) return;
    const QPointF topLeft = flipped ? QPointF(point.x(), point.y() - m_size.height()) : point;
    painter.save();
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(topLeft, m_size), m_image);
    painter.restore();
}
