#include "platform/ui/PreferencePane.h"

#include "platform/ui/NibLoader.h"
#include "platform/ui/OutlineView.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMetaMethod>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTextEdit>
#include <QUiLoader>
#include <cstdio>
#include <dlfcn.h>

namespace {

using Factory = std::function<QWidget*(QWidget*)>;

QHash<QString, Factory>& Factories() {
    static QHash<QString, Factory> factories{
        {QStringLiteral("NSOutlineView"),
         [](QWidget* parent) { return new NSOutlineView(parent); }},
    };
    return factories;
}

class NibUiLoader : public QUiLoader {
public:
    QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
        const auto it = Factories().constFind(className);
        if (it == Factories().constEnd()) return QUiLoader::createWidget(className, parent, name);
        QWidget* w = (*it)(parent);
        if (w) w->setObjectName(name);
        return w;
    }
};

void TranslateTexts(QWidget* root, const plat::NibTranslator& tr) {
    auto translate = [&](const QString& s) { return s.isEmpty() ? s : tr(s); };
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        if (!w->toolTip().isEmpty()) w->setToolTip(translate(w->toolTip()));
        if (w->isWindow() && !w->windowTitle().isEmpty())
            w->setWindowTitle(translate(w->windowTitle()));
        if (auto* l = qobject_cast<QLabel*>(w))
            l->setText(translate(l->text()));
        else if (auto* b = qobject_cast<QAbstractButton*>(w))
            b->setText(translate(b->text()));
        else if (auto* g = qobject_cast<QGroupBox*>(w))
            g->setTitle(translate(g->title()));
        else if (auto* e = qobject_cast<QLineEdit*>(w))
            e->setPlaceholderText(translate(e->placeholderText()));
        else if (auto* t = qobject_cast<QTextEdit*>(w))
            t->setPlaceholderText(translate(t->placeholderText()));
        else if (auto* p = qobject_cast<QPlainTextEdit*>(w))
            p->setPlaceholderText(translate(p->placeholderText()));
        else if (auto* c = qobject_cast<QComboBox*>(w)) {
            for (int i = 0; i < c->count(); ++i)
                c->setItemText(i, translate(c->itemText(i)));
        } else if (auto* m = qobject_cast<QMenu*>(w)) {
            m->setTitle(translate(m->title()));
        }
        if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
            for (int i = 0; i < tabs->count(); ++i) {
                tabs->setTabText(i, translate(tabs->tabText(i)));
                tabs->setTabToolTip(i, translate(tabs->tabToolTip(i)));
            }
        }
        // Columns are made from these when the property changes.
        const QStringList titles = w->property("columnTitles").toStringList();
        if (!titles.isEmpty()) {
            QStringList translated;
            for (const QString& t : titles)
                translated << translate(t);
            w->setProperty("columnTitles", translated);
        }
    }
    for (QAction* a : root->findChildren<QAction*>()) {
        a->setText(translate(a->text()));
        a->setToolTip(translate(a->toolTip()));
    }
}

// The owner's slot for a selector such as "checkboxButtonClicked:".
QMetaMethod ActionSlot(QObject* owner, const QString& selector) {
    QString name = selector;
    if (name.endsWith(':')) name.chop(1);
    static const QRegularExpression identifier(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    if (!identifier.match(name).hasMatch()) return {};
    const QByteArray signature = name.toLatin1() + "(QObject*)";
    const int index = owner->metaObject()->indexOfMethod(signature.constData());
    return index < 0 ? QMetaMethod() : owner->metaObject()->method(index);
}

void ConnectActions(QWidget* root, QObject* owner) {
    QList<QObject*> objects = root->findChildren<QObject*>();
    objects.prepend(root);
    for (QObject* o : objects) {
        const QString selector = o->property("action").toString();
        if (selector.isEmpty()) continue;
        const QMetaMethod slot = ActionSlot(owner, selector);
        if (!slot.isValid()) {
            std::fprintf(stderr, "The nib's action %s has no method in %s\n", qPrintable(selector),
                         owner->metaObject()->className());
            continue;
        }
        auto send = [owner, slot, o] {
            slot.invoke(owner, Qt::DirectConnection, Q_ARG(QObject*, o));
        };
        if (auto* b = qobject_cast<QAbstractButton*>(o))
            QObject::connect(b, &QAbstractButton::clicked, owner, send);
        else if (auto* e = qobject_cast<QLineEdit*>(o))
            QObject::connect(e, &QLineEdit::editingFinished, owner, send);
        else if (auto* t = qobject_cast<QTabWidget*>(o))
            QObject::connect(t, &QTabWidget::currentChanged, owner, send);
        else if (auto* c = qobject_cast<QComboBox*>(o))
            QObject::connect(c, &QComboBox::activated, owner, send);
        else if (auto* a = qobject_cast<QAction*>(o))
            QObject::connect(a, &QAction::triggered, owner, send);
        else if (auto* v = qobject_cast<NSOutlineView*>(o))
            QObject::connect(v, &NSOutlineView::action, owner, send);
        else
            std::fprintf(stderr, "The nib's action %s is on %s, which sends none\n",
                         qPrintable(selector), o->metaObject()->className());
    }
}

bool IsSymbolName(const QString& s) {
    static const QRegularExpression identifier(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    return identifier.match(s).hasMatch();
}

} // namespace

namespace plat::nib {

QWidget* LoadUiFile(const QString& path, const NibTranslator& translate, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error) *error = f.errorString();
        return nullptr;
    }
    NibUiLoader loader;
    QWidget* w = loader.load(&f, nullptr);
    if (!w) {
        if (error) *error = loader.errorString();
        return nullptr;
    }
    if (translate) TranslateTexts(w, translate);
    return w;
}

} // namespace plat::nib

NSPreferencePane::NSPreferencePane(CFBundleRef bundle) : m_bundle(bundle) {}

NSPreferencePane::~NSPreferencePane() {
    // A view the host never took is the pane's to free.
    if (m_mainView && !m_mainView->parent()) delete m_mainView;
}

QWidget* NSPreferencePane::loadMainView() {
    if (m_mainView) return m_mainView;
    const auto nib =
        CFBundleGetValueForInfoDictionaryKey(m_bundle, QStringLiteral("NSMainNibFile"));
    if (!nib || !nib->asString() || nib->asString()->isEmpty()) {
        std::fprintf(stderr, "The pane %s names no NSMainNibFile\n",
                     qPrintable(CFBundleGetPath(m_bundle)));
        return nullptr;
    }
    CFBundleRef bundle = m_bundle;
    QWidget* view =
        plat::LoadNibEntry(m_bundle, *nib->asString(), QStringLiteral("MainView"), this,
                           [bundle](const QString& text) {
                               return CFBundleCopyLocalizedString(
                                   bundle, text, text, QStringLiteral("LocalizedStrings"));
                           });
    if (!view) return nullptr;
    // Outlets are there when awakeFromNib runs, as the view is.
    m_mainView = view;
    connect(view, &QObject::destroyed, this, [this] { m_mainView = nullptr; });
    awakeFromNib();
    mainViewDidLoad();
    return m_mainView;
}

namespace plat {

NSPreferencePane* CreatePrincipalObject(CFBundleRef bundle, QString* error) {
    auto fail = [error](const QString& why) -> NSPreferencePane* {
        if (error) *error = why;
        return nullptr;
    };
    if (!bundle) return fail(QStringLiteral("No bundle was given"));
    const QString where = CFBundleGetPath(bundle);
    const auto principal =
        CFBundleGetValueForInfoDictionaryKey(bundle, QStringLiteral("NSPrincipalClass"));
    if (!principal || !principal->asString() || principal->asString()->isEmpty())
        return fail(QStringLiteral("The bundle %1 names no NSPrincipalClass").arg(where));
    if (!IsSymbolName(*principal->asString()))
        return fail(
            QStringLiteral("The bundle %1 names an NSPrincipalClass that is no class name: %2")
                .arg(where, *principal->asString()));
    const auto exe = CFBundleCopyExecutablePath(bundle);
    if (!exe) return fail(QStringLiteral("The bundle %1 has no executable").arg(where));
    // Loaded for good: the pane's classes and views outlive any one call.
    void* module = dlopen(QFile::encodeName(*exe).constData(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return fail(QStringLiteral("The module %1 does not load: %2")
                        .arg(*exe, QString::fromLocal8Bit(dlerror())));
    const QByteArray symbol = principal->asString()->toLatin1() + "_initWithBundle";
    auto create = reinterpret_cast<NSPreferencePaneCreate>(dlsym(module, symbol.constData()));
    if (!create)
        return fail(
            QStringLiteral("The module %1 exports no %2").arg(*exe, QString::fromLatin1(symbol)));
    NSPreferencePane* pane = create(bundle);
    if (!pane) return fail(QStringLiteral("%1 made no object").arg(QString::fromLatin1(symbol)));
    if (error) error->clear();
    return pane;
}

QWidget* LoadNibEntry(CFBundleRef bundle, const QString& nibName, const QString& entry,
                      QObject* owner, const NibTranslator& translate) {
    const auto folder =
        bundle ? CFBundleCopyResourcePath(bundle, nibName, QStringLiteral("nib")) : std::nullopt;
    if (!folder || !QFileInfo(*folder).isDir()) {
        std::fprintf(stderr, "No nib %s in %s\n", qPrintable(nibName),
                     bundle ? qPrintable(CFBundleGetPath(bundle)) : "no bundle");
        return nullptr;
    }
    const QString path = *folder + "/" + entry + ".ui";
    QString error;
    QWidget* w = nib::LoadUiFile(path, translate, &error);
    if (!w) {
        std::fprintf(stderr, "Cannot load %s: %s\n", qPrintable(path), qPrintable(error));
        return nullptr;
    }
    if (owner) ConnectActions(w, owner);
    return w;
}

void RegisterNibClass(const QString& className, std::function<QWidget*(QWidget* parent)> factory) {
    if (factory)
        Factories().insert(className, std::move(factory));
    else
        Factories().remove(className);
}

QWidget* FindOutlet(QWidget* root, const QString& name) {
    if (!root) return nullptr;
    if (root->objectName() == name) return root;
    if (auto* w = root->findChild<QWidget*>(name)) return w;
    std::fprintf(stderr, "No outlet %s in %s\n", qPrintable(name), qPrintable(root->objectName()));
    return nullptr;
}

} // namespace plat
