#include "cmplugin/LaunchURL.h"

#include "platform/LaunchServices.h"
#include "platform/TextEncoding.h"

#include <QUrl>

void LaunchURL(const char* urlText) {
    if (!urlText) return;
    const QUrl url(plat::MacRomanToQString(urlText), QUrl::StrictMode);
    if (!url.isValid() || url.isRelative()) return;
    if (LSInit(kLSInitializeDefaults) == noErr) LSOpenCFURLRef(url, nullptr);
    LSTerm();
}
