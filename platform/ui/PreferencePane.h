// Preference panes and the nibs that Cocoa-style controllers own.
//
// A pane bundle (Name.prefPane) holds a module in Contents/Linux/<executable>
// whose principal class (Info key NSPrincipalClass) derives from
// NSPreferencePane and is exported with NS_PRINCIPAL_CLASS. The settings host
// makes one object per bundle, loads its main view and drives the life cycle:
//
//   initWithBundle (the constructor), loadMainView (nib, awakeFromNib,
//   mainViewDidLoad), willSelect, didSelect ... willUnselect, didUnselect.
//
// Nibs: Resources/<name>.nib/<Entry>.ui found as the bundle's resources are.
// Outlets are widgets found by object name; a control with the dynamic
// property "action" (a selector such as "checkboxButtonClicked:") calls the
// owner's slot of that name without the colon, with the control as sender,
// when clicked (buttons), on Return or end of editing (line edits) or on a
// change of tab (tab widgets).
#pragma once

#include "platform/Bundle.h"

#include <QObject>
#include <QString>
#include <QWidget>
#include <functional>

class NSPreferencePane : public QObject {
    Q_OBJECT
public:
    explicit NSPreferencePane(CFBundleRef bundle);
    ~NSPreferencePane() override;

    CFBundleRef bundle() const { return m_bundle; }
    // The view made by loadMainView; null before. Owned by the pane until
    // the host puts it in its window.
    QWidget* mainView() const { return m_mainView; }

    // Loads the entry "MainView" of the nib named by NSMainNibFile with this
    // pane as owner, calls awakeFromNib, keeps the view and calls
    // mainViewDidLoad. Null (and a line on standard error) when the nib or
    // its entry is missing.
    virtual QWidget* loadMainView();
    virtual void awakeFromNib() {}
    virtual void mainViewDidLoad() {}
    virtual void willSelect() {}
    virtual void didSelect() {}
    virtual void willUnselect() {}
    virtual void didUnselect() {}

private:
    CFBundleRef m_bundle;
    QWidget* m_mainView = nullptr;
};

using NSPreferencePaneCreate = NSPreferencePane* (*)(CFBundleRef bundle);

// Exports the principal class's initializer from a pane module.
#define NS_PRINCIPAL_CLASS(ClassName)                                                              \
    extern "C" __attribute__((visibility("default")))                                              \
    NSPreferencePane* ClassName##_initWithBundle(CFBundleRef bundle) {                             \
        return new ClassName(bundle);                                                              \
    }

namespace plat {

// Loads the bundle's module (once; it stays loaded) and makes its principal
// class's object; null, with the reason in *error, when the bundle has no
// NSPrincipalClass, the module does not load or exports no initializer.
NSPreferencePane* CreatePrincipalObject(CFBundleRef bundle, QString* error = nullptr);

// Texts of a nib's widgets (titles, labels, buttons, check boxes, tabs,
// tool tips, placeholders, column titles) pass through this on loading.
using NibTranslator = std::function<QString(const QString&)>;

// Loads entry of nib nibName in bundle with owner: widgets of registered
// classes are made by their factories, texts pass through translate (when
// given), and actions are connected to the owner's slots. Null, with a line
// on standard error, when the nib or entry is missing.
QWidget* LoadNibEntry(CFBundleRef bundle, const QString& nibName, const QString& entry,
                      QObject* owner, const NibTranslator& translate = {});

// A widget class a nib may name (a custom class of the platform or of a
// module): the loader makes it with this factory.
void RegisterNibClass(const QString& className, std::function<QWidget*(QWidget* parent)> factory);

// The outlet of this name below root, of type T; null (and a line on
// standard error naming it) when there is none.
QWidget* FindOutlet(QWidget* root, const QString& name);
template <typename T> T* Outlet(QWidget* root, const QString& name) {
    return qobject_cast<T*>(FindOutlet(root, name));
}

} // namespace plat
