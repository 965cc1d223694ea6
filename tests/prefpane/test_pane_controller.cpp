// The controller's own rules that need no pane: version numbers, the URLs
// typed by the user, and where the name column's cell puts its icon.
#include "prefpane/ImageAndTextCell.h"
#include "prefpane/LoftwisePrefPane.h"

#include <QPainter>
#include <QWidget>
#include <gtest/gtest.h>

namespace {

TEST(PaneController, VersionNumbersDropTheDotsAndReadTheDigits) {
    const struct {
        std::optional<QString> version;
        SInt32 number;
    } rows[] = {
        {"2.0.4", 204},
        {"2.1b3", 21},
        {"1.0.10", 1010},
        {"1.0.0", 100},
        {"", 0},
        {std::nullopt, 0},
        {"beta", 0},
        {"  3.2", 32},
        {"-1.5", -15},
        {"+7", 7},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (const auto& row : rows)
        EXPECT_EQ(LoftwisePrefPane::getVersionNumber(row.version), row.number)
            << row.version.value_or("(none)").toStdString();
}

TEST(PaneController, TypedURLsWithoutAKnownBeginningBecomeFTP) {
    const struct {
        const char* typed;
        const char* stored;
    } rows[] = {
        {"host.example/path/", "ftp://host.example/path/"},
        {"ftp://h/", "ftp://h/"},
        {"http://h/", "http://h/"},
        {"file:///tmp/", "file:///tmp/"},
        {"afp://server/share", "afp://server/share"},
        {"???", "???"},
        {"https://h/", "ftp://https://h/"},
        {"FTP://h/", "ftp://FTP://h/"},
        {"", "ftp://"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(LoftwisePrefPane::normalizedURL(row.typed), QString(row.stored)) << row.typed;
}

// An icon of 32 by 32 pixels drawn at 16 by 16 points.
NSImageRef Icon() {
    QImage pixels(32, 32, QImage::Format_ARGB32);
    pixels.fill(Qt::red);
    auto image = std::make_shared<NSImage>(pixels);
    image->setSize(QSizeF(16, 16));
    return image;
}

TEST(ImageAndTextCell, TheIconSitsThreePointsInAndCentredAndTheTextBesideIt) {
    const struct {
        bool withImage;
        QRectF frame;
        QRectF imageFrame; // also where the icon is drawn
        QRectF textFrame;  // where editing and selecting go
    } rows[] = {
        {true, QRectF(10, 20, 100, 30), QRectF(13, 27, 16, 16), QRectF(29, 20, 81, 30)},
        {true, QRectF(0, 0, 60, 17), QRectF(3, 1, 16, 16), QRectF(19, 0, 41, 17)},
        {false, QRectF(10, 20, 100, 30), QRectF(), QRectF(13, 20, 97, 30)},
    };
    QWidget view;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.frame.y());
        ImageAndTextCell cell;
        if (row.withImage) cell.setImage(Icon());
        EXPECT_EQ(cell.imageFrameForCellFrame(row.frame), row.imageFrame);
        EXPECT_EQ(cell.editWithFrameInView(row.frame, &view), row.textFrame);
        EXPECT_EQ(cell.selectWithFrameInView(row.frame, &view), row.textFrame);
        const NSTextFieldCell plain;
        EXPECT_EQ(cell.cellSize().width(), plain.cellSize().width() + 3 + (row.withImage ? 16 : 0));

        QImage canvas(200, 100, QImage::Format_ARGB32);
        canvas.fill(Qt::white);
        {
            QPainter painter(&canvas);
            cell.drawWithFrameInView(painter, row.frame, &view);
        }
        int red = 0;
        QRect bounds;
        for (int y = 0; y < canvas.height(); ++y)
            for (int x = 0; x < canvas.width(); ++x)
                if (canvas.pixel(x, y) == QColor(Qt::red).rgb()) {
                    ++red;
                    bounds |= QRect(x, y, 1, 1);
                }
        EXPECT_EQ(red, row.withImage ? 16 * 16 : 0);
        EXPECT_EQ(QRectF(bounds), row.imageFrame);
    }
}

TEST(ImageAndTextCell, ACopySharesTheImageAndOnlyAnotherImageReplacesIt) {
    ImageAndTextCell cell;
    const NSImageRef icon = Icon();
    cell.setImage(icon);
    const std::unique_ptr<NSCell> copy = cell.copy();
    auto* copied = dynamic_cast<ImageAndTextCell*>(copy.get());
    ASSERT_TRUE(copied);
    EXPECT_EQ(copied->image(), icon);
    cell.setImage(Icon());
    EXPECT_NE(cell.image(), icon);
    EXPECT_EQ(copied->image(), icon);
}

} // namespace
