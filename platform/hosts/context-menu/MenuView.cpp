#include "platform/hosts/context-menu/MenuView.h"

#include "platform/Bundle.h"

#include <QCursor>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <map>
#include <vector>

namespace plat::cmhost {

namespace {

// A menu title shows "&" as it is, not as a mnemonic mark.
QString MenuText(const QString& title) {
    return QString(title).replace(u'&', QLatin1String("&&"));
}

void AddToMenu(QMenu* qmenu, const Menu& menu, std::map<QAction*, const MenuEntry*>& commands) {
    for (const MenuEntry& e : menu) {
        if (e.isSubmenu) {
            AddToMenu(qmenu->addMenu(MenuText(e.title)), e.submenu, commands);
        } else if (e.attributes & kMenuItemAttrSeparator) {
            qmenu->addSeparator();
        } else if (e.attributes & kMenuItemAttrSectionHeader) {
            qmenu->addSection(e.title);
        } else {
            QAction* action = qmenu->addAction(MenuText(e.title));
            action->setEnabled(e.isCommand());
            commands[action] = &e;
        }
    }
}

const MenuEntry* EntryOf(const QTreeWidgetItem* item) {
    return item ? static_cast<const MenuEntry*>(item->data(0, Qt::UserRole).value<const void*>())
                : nullptr;
}

void AddToTree(QTreeWidget* tree, QTreeWidgetItem* parent, const Menu& menu) {
    for (const MenuEntry& e : menu) {
        if (e.attributes & kMenuItemAttrSeparator && !e.isSubmenu) continue; // no line in a tree
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
        item->setText(0, e.title);
        if (e.isSubmenu) {
            item->setFlags(Qt::ItemIsEnabled);
            AddToTree(tree, item, e.submenu);
            item->setExpanded(true);
        } else if (e.isCommand()) {
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            item->setData(0, Qt::UserRole, QVariant::fromValue<const void*>(&e));
        } else {
            // Headers and disabled entries are shown, never chosen.
            item->setFlags(Qt::NoItemFlags);
            if (e.attributes & kMenuItemAttrSectionHeader) {
                QFont bold = item->font(0);
                bold.setBold(true);
                item->setFont(0, bold);
            }
        }
    }
}

// The menu as the user sees it with the first submenu of each level opened,
// each beside the entry that opens it.
QImage Cascade(QMenu* top) {
    struct Placed {
        QPixmap picture;
        QPoint at;
    };
    std::vector<Placed> shown;
    QPoint at;
    for (QMenu* m = top; m;) {
        m->ensurePolished();
        m->adjustSize();
        shown.push_back({m->grab(), at});
        QMenu* next = nullptr;
        for (QAction* a : m->actions()) {
            if (a->menu()) {
                m->setActiveAction(a);
                shown.back().picture = m->grab(); // with the opening entry highlighted
                next = a->menu();
                at += QPoint(shown.back().picture.width(), m->actionGeometry(a).top());
                break;
            }
        }
        m = next;
    }
    QRect bounds;
    for (const Placed& p : shown)
        bounds |= QRect(p.at, p.picture.size());
    QImage image(bounds.size(), QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    for (const Placed& p : shown)
        painter.drawPixmap(p.at, p.picture);
    return image;
}

ViewResult Popup(const Menu& menu, const QString& snapshotPath) {
    QMenu qmenu;
    std::map<QAction*, const MenuEntry*> commands;
    AddToMenu(&qmenu, menu, commands);
    if (!snapshotPath.isEmpty()) return {nullptr, !Cascade(&qmenu).save(snapshotPath, "PNG")};
    QAction* chosen = qmenu.exec(QCursor::pos());
    const auto it = commands.find(chosen);
    return {it == commands.end() ? nullptr : it->second, false};
}

ViewResult Chooser(const Menu& menu) {
    QDialog dialog;
    dialog.setWindowTitle(plat::PlatformText("Choose a command"));
    auto* tree = new QTreeWidget(&dialog);
    tree->setHeaderHidden(true);
    tree->setRootIsDecorated(true);
    tree->setSelectionMode(QAbstractItemView::SingleSelection);
    AddToTree(tree, nullptr, menu);
    tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setEnabled(false);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(tree);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(tree, &QTreeWidget::currentItemChanged,
                     [ok](QTreeWidgetItem* item) { ok->setEnabled(EntryOf(item) != nullptr); });
    QObject::connect(tree, &QTreeWidget::itemActivated, [&dialog](QTreeWidgetItem* item) {
        if (EntryOf(item)) dialog.accept();
    });
    dialog.resize(360, 400);
    if (dialog.exec() != QDialog::Accepted) return {};
    return {EntryOf(tree->currentItem()), false};
}

} // namespace

ViewResult ShowMenu(const Menu& menu, const QString& snapshotPath) {
    // Only X11 tells a program where the pointer is. A picture is always of
    // the popup, which needs no pointer to be drawn.
    if (!snapshotPath.isEmpty() || QGuiApplication::platformName() == QLatin1String("xcb"))
        return Popup(menu, snapshotPath);
    return Chooser(menu);
}

} // namespace plat::cmhost
