// Images with a size in points taken from their resolution.
#include "platform/ui/OutlineView.h"

#include <QImageReader>
#include <QPainter>
#include <cmath>

namespace {

// The size in points of pixels at dotsPerMeter; 72 dpi (a pixel is a point)
// when there is no resolution. Dots per metre are whole numbers, so a
// resolution within a twentieth of a whole dpi is that dpi (144 dpi is
// stored as 5669 dots per metre, 143.99 dpi).
qreal Points(int pixels, int dotsPerMeter) {
    if (dotsPerMeter <= 0) return pixels;
    qreal dpi = dotsPerMeter * 0.0254;
    if (std::abs(dpi - std::round(dpi)) < 0.05) dpi = std::round(dpi);
    return pixels * 72.0 / dpi;
}

} // namespace

std::shared_ptr<NSImage> NSImage::imageWithContentsOfFile(const QString& path) {
    QImageReader reader(path);
    const QImage image = reader.read();
    if (image.isNull()) return nullptr;
    auto result = std::make_shared<NSImage>(image);
    // A file without a resolution leaves Qt's default in the image, which
    // stands for the screen, not the file: such an image is at 72 dpi.
    const QImage blank(1, 1, QImage::Format_ARGB32);
    if (image.dotsPerMeterX() == blank.dotsPerMeterX() &&
        image.dotsPerMeterY() == blank.dotsPerMeterY())
        result->setSize(QSizeF(image.size()));
    return result;
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
