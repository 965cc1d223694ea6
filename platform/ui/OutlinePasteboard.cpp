// The pasteboard a drag carries, over the drag's MIME data, and the mapping
// of drag operations to Qt's drop actions.
#include "platform/ui/OutlineViewInternal.h"

#include <QMimeData>
#include <QUrl>
#include <algorithm>

const QString NSStringPboardType = QStringLiteral("NSStringPboardType");
const QString NSFilenamesPboardType = QStringLiteral("NSFilenamesPboardType");

namespace {

const QString kTextMime = QStringLiteral("text/plain");
const QString kUriListMime = QStringLiteral("text/uri-list");
const QString kPrivateMimePrefix = QStringLiteral("application/x-nspasteboard-");

QString MimeForType(const QString& type) {
    if (type == NSStringPboardType) return kTextMime;
    if (type == NSFilenamesPboardType) return kUriListMime;
    return kPrivateMimePrefix + type;
}

// Other programs offer text with a charset parameter ("text/plain;charset=utf-8").
bool IsTextMime(const QString& format) {
    return format == kTextMime || format.startsWith(kTextMime + ';');
}

QString TypeForMime(const QString& format) {
    if (IsTextMime(format)) return NSStringPboardType;
    if (format == kUriListMime) return NSFilenamesPboardType;
    if (format.startsWith(kPrivateMimePrefix)) return format.mid(kPrivateMimePrefix.size());
    return QString();
}

} // namespace

namespace plat::outline {

bool HoldsType(const QMimeData* data, const QString& type) {
    if (!data) return false;
    if (type == NSStringPboardType) {
        const QStringList formats = data->formats();
        return std::any_of(formats.cbegin(), formats.cend(), IsTextMime);
    }
    return data->hasFormat(MimeForType(type));
}

Qt::DropActions ToQt(NSDragOperation op) {
    Qt::DropActions actions;
    if (op & NSDragOperationCopy) actions |= Qt::CopyAction;
    if (op & NSDragOperationLink) actions |= Qt::LinkAction;
    if (op & (NSDragOperationMove | NSDragOperationGeneric | NSDragOperationPrivate))
        actions |= Qt::MoveAction;
    return actions;
}

NSDragOperation FromQt(Qt::DropActions actions) {
    NSDragOperation op = NSDragOperationNone;
    if (actions & Qt::CopyAction) op |= NSDragOperationCopy;
    if (actions & Qt::LinkAction) op |= NSDragOperationLink;
    if (actions & Qt::MoveAction) op |= NSDragOperationMove | NSDragOperationGeneric;
    return op;
}

Qt::DropAction ChooseAction(NSDragOperation op, Qt::DropActions possible, Qt::DropAction fallback) {
    const Qt::DropActions wanted = ToQt(op) & possible;
    for (Qt::DropAction a : {Qt::MoveAction, Qt::CopyAction, Qt::LinkAction})
        if (wanted & a) return a;
    return fallback;
}

} // namespace plat::outline

using plat::outline::HoldsType;

// --- NSPasteboard ------------------------------------------------------------

NSPasteboard::NSPasteboard(const QMimeData* data) : m_read(data), m_write(nullptr) {}
NSPasteboard::NSPasteboard(QMimeData* data) : m_read(data), m_write(data) {}

void NSPasteboard::declareTypes(const QStringList& types) {
    if (!m_write) return;
    m_write->clear();
    // A declared type holds nothing until it is set, but keeps its place.
    for (const QString& t : types)
        m_write->setData(MimeForType(t), QByteArray());
}

bool NSPasteboard::setDataForType(const QByteArray& data, const QString& type) {
    if (!m_write || type.isEmpty()) return false;
    m_write->setData(MimeForType(type), data);
    return true;
}

bool NSPasteboard::setStringForType(const QString& string, const QString& type) {
    if (type == NSFilenamesPboardType) {
        QByteArray list;
        for (const QString& path : string.split('\n', Qt::SkipEmptyParts))
            list += QUrl::fromLocalFile(path).toEncoded() + "\r\n";
        return setDataForType(list, type);
    }
    return setDataForType(string.toUtf8(), type);
}

QStringList NSPasteboard::types() const {
    QStringList types;
    if (!m_read) return types;
    for (const QString& format : m_read->formats()) {
        const QString t = TypeForMime(format);
        if (!t.isEmpty() && !types.contains(t)) types << t;
    }
    return types;
}

QString NSPasteboard::availableTypeFromArray(const QStringList& types) const {
    for (const QString& t : types)
        if (HoldsType(m_read, t)) return t;
    return QString();
}

QByteArray NSPasteboard::dataForType(const QString& type) const {
    if (!m_read) return {};
    if (type == NSStringPboardType) {
        for (const QString& format : m_read->formats())
            if (IsTextMime(format)) return m_read->data(format);
        return {};
    }
    return m_read->data(MimeForType(type));
}

QString NSPasteboard::stringForType(const QString& type) const {
    if (type == NSFilenamesPboardType) return filenames().join('\n');
    return QString::fromUtf8(dataForType(type));
}

QStringList NSPasteboard::filenames() const {
    QStringList paths;
    if (!m_read || !m_read->hasFormat(kUriListMime)) return paths;
    for (const QUrl& url : m_read->urls())
        if (url.isLocalFile()) paths << url.toLocalFile();
    return paths;
}
