// Cells and table columns, and the delegate that draws each row's cells and
// places the editor where the cell says.
#include "platform/ui/OutlineViewInternal.h"

#include <QApplication>
#include <QFontMetricsF>
#include <QLineEdit>
#include <QPainter>
#include <cmath>

// --- NSCell and NSTableColumn ------------------------------------------------

namespace {
// A text-field cell keeps its text this far from the frame's sides.
constexpr qreal kTextInset = 2;
} // namespace

std::unique_ptr<NSCell> NSCell::copy() const {
    return std::make_unique<NSCell>(*this);
}

void NSCell::drawWithFrameInView(QPainter& painter, QRectF frame, QWidget* view) {
    if (m_drawsBackground && m_background.isValid()) painter.fillRect(frame, m_background);
    drawInteriorWithFrameInView(painter, frame, view);
}

void NSCell::drawInteriorWithFrameInView(QPainter& painter, QRectF frame, QWidget* view) {
    const QRectF text = frame.adjusted(kTextInset, 0, -kTextInset, 0);
    if (text.width() <= 0) return;
    const QFont font = view ? view->font() : QApplication::font();
    const QPalette palette = view ? view->palette() : QApplication::palette();
    painter.save();
    painter.setFont(font);
    painter.setPen(palette.color(m_highlighted ? QPalette::HighlightedText : QPalette::Text));
    const QString shown =
        QFontMetricsF(font).elidedText(stringValue(), Qt::ElideRight, text.width());
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    painter.restore();
}

QRectF NSCell::editWithFrameInView(QRectF frame, QWidget*) {
    return frame;
}

QRectF NSCell::selectWithFrameInView(QRectF frame, QWidget*) {
    return frame;
}

QSizeF NSCell::cellSize() const {
    const QFontMetricsF fm(QApplication::font());
    return QSizeF(fm.horizontalAdvance(stringValue()) + 2 * kTextInset, fm.height() + 2);
}

NSTableColumn::NSTableColumn(QString identifier, QString title)
    : m_identifier(std::move(identifier)), m_title(std::move(title)),
      m_cell(std::make_unique<NSCell>()) {}

// --- the delegate ------------------------------------------------------------

namespace plat::outline {

void CellDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                         const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    opt.icon = QIcon();
    QStyle* style = m_view->style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, m_view);
    NSCell* cell = prepared(index, option.state & QStyle::State_Selected);
    if (!cell) return;
    painter->save();
    cell->drawWithFrameInView(*painter, QRectF(option.rect), m_view->viewport());
    painter->restore();
}

QSize CellDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    NSCell* cell = prepared(index, false);
    if (!cell) return QStyledItemDelegate::sizeHint(option, index);
    const QSizeF s = cell->cellSize();
    return QSize(int(std::ceil(s.width())), int(std::ceil(s.height())));
}

void CellDelegate::updateEditorGeometry(QWidget* editor, const QStyleOptionViewItem& option,
                                        const QModelIndex& index) const {
    NSCell* cell = prepared(index, false);
    if (!cell) return QStyledItemDelegate::updateEditorGeometry(editor, option, index);
    editor->setGeometry(
        cell->editWithFrameInView(QRectF(option.rect), m_view->viewport()).toRect());
}

void CellDelegate::setEditorData(QWidget* editor, const QModelIndex& index) const {
    QStyledItemDelegate::setEditorData(editor, index);
    if (auto* line = qobject_cast<QLineEdit*>(editor)) {
        if (selectAllOnEdit)
            line->selectAll();
        else
            line->setCursorPosition(line->text().size());
    }
}

NSCell* CellDelegate::prepared(const QModelIndex& index, bool highlighted) const {
    NSTableColumn* col = m_model->column(index.column());
    NSCell* cell = col ? col->dataCell() : nullptr;
    if (!cell) return nullptr;
    OutlineItem item = m_model->nodeOf(index)->item;
    if (NSOutlineViewDelegate* d = m_view->delegate())
        d->outlineViewWillDisplayCellForTableColumnItem(m_view, cell, col, item);
    cell->setObjectValue(index.data(Qt::EditRole));
    cell->setHighlighted(highlighted);
    return cell;
}

} // namespace plat::outline
