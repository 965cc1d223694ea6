// The preference panes of the tests; the tests put copies of this module
// into pane bundles of their own, naming one of its two principal classes.
//
// FakePane, for the pane tests: every call it gets is appended to its
// "calls" property, which the test reads back through the object.
//
// FakeSettingsPane, for the settings host's tests: each life-cycle call is
// appended, as "<bundle folder name> <call>", to the file named by
// FAKE_SETTINGS_PANE_RECORD (when set), so a test can read the order of the
// calls even from another process.
#include "platform/ui/PreferencePane.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QVBoxLayout>

class FakePane : public NSPreferencePane {
    Q_OBJECT
public:
    explicit FakePane(CFBundleRef bundle) : NSPreferencePane(bundle) { record("init"); }

    void awakeFromNib() override {
        // Outlets are reachable from here on.
        auto* label = plat::Outlet<QLabel>(mainView(), "greeting");
        record(label ? "awakeFromNib " + label->text() : QString("awakeFromNib without outlet"));
    }
    void mainViewDidLoad() override { record("mainViewDidLoad"); }

public slots:
    void checkboxButtonClicked(QObject* sender) { record("clicked " + sender->objectName()); }
    void getTextFieldText(QObject* sender) { record("text " + sender->objectName()); }

private:
    void record(const QString& call) {
        setProperty("calls", property("calls").toStringList() << call);
    }
};

NS_PRINCIPAL_CLASS(FakePane)

namespace {

class FakeSettingsPane : public NSPreferencePane {
public:
    explicit FakeSettingsPane(CFBundleRef bundle) : NSPreferencePane(bundle) { record("init"); }

    QWidget* loadMainView() override {
        record("loadMainView");
        auto* view = new QWidget;
        view->setObjectName(QStringLiteral("fakePaneView"));
        auto* layout = new QVBoxLayout(view);
        layout->addWidget(new QLabel(QFileInfo(CFBundleGetPath(bundle())).fileName()));
        view->setMinimumSize(520, 360);
        return view;
    }
    void willSelect() override { record("willSelect"); }
    void didSelect() override { record("didSelect"); }
    void willUnselect() override { record("willUnselect"); }
    void didUnselect() override { record("didUnselect"); }

private:
    void record(const char* call) {
        const QString path = qEnvironmentVariable("FAKE_SETTINGS_PANE_RECORD");
        if (path.isEmpty()) return;
        QFile file(path);
        if (!file.open(QIODevice::Append)) return;
        file.write(QFileInfo(CFBundleGetPath(bundle())).fileName().toUtf8() + ' ' + call + '\n');
    }
};

} // namespace

NS_PRINCIPAL_CLASS(FakeSettingsPane)

#include "FakePreferencePane.moc"
