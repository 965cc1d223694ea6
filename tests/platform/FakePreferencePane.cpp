// A preference pane for the pane tests. Every call it gets is appended to
// its "calls" property, which the test reads back through the object.
#include "platform/ui/PreferencePane.h"

#include <QLabel>

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

#include "FakePreferencePane.moc"
