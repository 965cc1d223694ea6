#include "platform/ui/Dialogs.h"

#include "platform/Bundle.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPropertyAnimation>
#include <QPushButton>
#include <cstdio>
#include <memory>
#include <vector>

const QString kAlertDefaultOKText = QStringLiteral("\x01OK");
const QString kAlertDefaultCancelText = QStringLiteral("\x01"
                                                       "Cancel");

struct OpaqueDialogRef {
    plat::AlertRequest request;
    DialogItemIndex defaultButton;
};

namespace {

plat::AlertResponder gResponder;
std::function<void(short)> gBeepObserver;

QString Caption(const QString& text, const QString& fallback) {
    if (text == kAlertDefaultOKText) return plat::PlatformText("OK");
    if (text == kAlertDefaultCancelText) return plat::PlatformText("Cancel");
    return text.isEmpty() ? fallback : text;
}

bool Headless() {
    const QString p = QGuiApplication::platformName();
    return p == QLatin1String("offscreen") || p == QLatin1String("minimal");
}

} // namespace

OSStatus GetStandardAlertDefaultParams(AlertStdCFStringAlertParamRec* params, UInt32 version) {
    if (!params || version != kStdCFStringAlertVersionOne) return paramErr;
    *params = AlertStdCFStringAlertParamRec{};
    return noErr;
}

OSStatus CreateStandardAlert(AlertType type, const QString& error, const QString& explanation,
                             const AlertStdCFStringAlertParamRec* params, DialogRef* outAlert) {
    if (!outAlert) return paramErr;
    AlertStdCFStringAlertParamRec p;
    if (params) p = *params;
    plat::AlertRequest req{type, error, explanation, {}};
    // A missing default button still gives the alert one way out.
    req.buttons << Caption(p.defaultText, plat::PlatformText("OK"));
    if (!p.cancelText.isEmpty()) req.buttons << Caption(p.cancelText, QString());
    if (!p.otherText.isEmpty()) req.buttons << Caption(p.otherText, QString());
    *outAlert =
        new OpaqueDialogRef{req, p.defaultButton ? p.defaultButton : kAlertStdAlertOKButton};
    return noErr;
}

namespace {

// The message box for an alert, its buttons in item order.
QMessageBox* NewAlertBox(const plat::AlertRequest& req, DialogItemIndex defaultHit,
                         std::vector<QPushButton*>* buttons) {
    auto* box = new QMessageBox;
    box->setIcon(req.type == kAlertStopAlert      ? QMessageBox::Critical
                 : req.type == kAlertCautionAlert ? QMessageBox::Warning
                 : req.type == kAlertNoteAlert    ? QMessageBox::Information
                                                  : QMessageBox::NoIcon);
    box->setText(req.message);
    box->setInformativeText(req.explanation);
    for (qsizetype i = 0; i < req.buttons.size(); ++i) {
        auto role = i == 0   ? QMessageBox::AcceptRole
                    : i == 1 ? QMessageBox::RejectRole
                             : QMessageBox::DestructiveRole;
        buttons->push_back(box->addButton(req.buttons[i], role));
    }
    if (defaultHit >= 1 && defaultHit <= DialogItemIndex(buttons->size()))
        box->setDefaultButton((*buttons)[std::size_t(defaultHit - 1)]);
    if (buttons->size() > 1) box->setEscapeButton((*buttons)[1]);
    return box;
}

DialogItemIndex HitOf(const QMessageBox& box, const std::vector<QPushButton*>& buttons,
                      DialogItemIndex fallback) {
    for (std::size_t i = 0; i < buttons.size(); ++i)
        if (box.clickedButton() == buttons[i]) return DialogItemIndex(i + 1);
    return fallback;
}

} // namespace

OSStatus RunStandardAlert(DialogRef alert, void*, DialogItemIndex* outItemHit) {
    if (!alert) return paramErr;
    std::unique_ptr<OpaqueDialogRef> owned(alert);
    DialogItemIndex hit = alert->defaultButton;
    const plat::AlertRequest& req = alert->request;
    if (gResponder) {
        hit = gResponder(req);
    } else if (Headless()) {
        std::fprintf(stderr, "Alert: %s %s [%s]\n", qPrintable(req.message),
                     qPrintable(req.explanation), qPrintable(req.buttons.value(hit - 1)));
    } else {
        std::vector<QPushButton*> buttons;
        std::unique_ptr<QMessageBox> box(NewAlertBox(req, hit, &buttons));
        box->exec();
        hit = HitOf(*box, buttons, hit);
    }
    if (outItemHit) *outItemHit = hit;
    return noErr;
}

OSStatus ShowStandardAlertModeless(DialogRef alert, std::function<void(DialogItemIndex)> done) {
    if (!alert) return paramErr;
    std::unique_ptr<OpaqueDialogRef> owned(alert);
    const DialogItemIndex fallback = alert->defaultButton;
    const plat::AlertRequest& req = alert->request;
    if (gResponder || Headless()) {
        DialogItemIndex hit = fallback;
        RunStandardAlert(owned.release(), nullptr, &hit);
        if (done) done(hit);
        return noErr;
    }
    auto buttons = std::make_shared<std::vector<QPushButton*>>();
    QMessageBox* box = NewAlertBox(req, fallback, buttons.get());
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, buttons, fallback, done = std::move(done)](int) {
                         if (done) done(HitOf(*box, *buttons, fallback));
                     });
    box->show();
    return noErr;
}

void SysBeep(short duration) {
    if (gBeepObserver)
        gBeepObserver(duration);
    else
        QApplication::beep();
}

void NSBeep() {
    SysBeep(1);
}

OSStatus ShowSheetWindow(WindowRef sheet, WindowRef parentWindow) {
    if (!sheet || !parentWindow) return paramErr;
    if (sheet->parentWidget() != parentWindow) {
        const bool wasVisible = sheet->isVisible();
        sheet->setParent(parentWindow, Qt::Sheet | Qt::Dialog);
        if (wasVisible) sheet->hide();
    }
    sheet->setWindowModality(Qt::WindowModal);
    sheet->show();
    sheet->raise();
    sheet->activateWindow();
    return noErr;
}

OSStatus HideSheetWindow(WindowRef sheet) {
    if (!sheet) return paramErr;
    sheet->hide();
    return noErr;
}

OSStatus TransitionWindow(WindowRef window, WindowTransitionEffect effect,
                          WindowTransitionAction action, const void*) {
    if (!window) return paramErr;
    if (effect != kWindowFadeTransitionEffect) return paramErr;
    const bool hide = action == kWindowHideTransitionAction;
    if (!hide && action != kWindowShowTransitionAction) return paramErr;
    if (Headless()) {
        // Nothing to see fade: no opacity without a display.
        window->setVisible(!hide);
        return noErr;
    }
    if (!hide) {
        window->setWindowOpacity(0.0);
        window->show();
    }
    QPropertyAnimation fade(window, "windowOpacity");
    fade.setDuration(300);
    fade.setStartValue(hide ? 1.0 : 0.0);
    fade.setEndValue(hide ? 0.0 : 1.0);
    QEventLoop loop;
    QObject::connect(&fade, &QPropertyAnimation::finished, &loop, &QEventLoop::quit);
    fade.start();
    loop.exec();
    if (hide) {
        window->hide();
        window->setWindowOpacity(1.0);
    }
    return noErr;
}

namespace plat {

void SetAlertResponder(AlertResponder responder) {
    gResponder = std::move(responder);
}

void SetBeepObserver(std::function<void(short)> observer) {
    gBeepObserver = std::move(observer);
}

} // namespace plat
