#include "cmplugin/PluginTransfers.h"

#include "cmplugin/LocalizedStrings.h"
#include "cmplugin/PluginLog.h"
#include "cmplugin/Preferences.h"
#include "cmplugin/Utils.h"
#include "platform/SystemLog.h"

namespace {

QString DateText() {
    return CurrentDateString().value_or(QString());
}

} // namespace

Destination ItemDestination(const QUrl& url) {
    Destination d;
    const QString host = url.host(QUrl::FullyEncoded);
    QString text = QStringLiteral("ftp://") + (host.contains(':') ? '[' + host + ']' : host);
    // The port is kept: a server on another port than 21 is otherwise
    // unreachable (and would be sent the credentials meant for it).
    if (url.port() >= 0) text += ':' + QString::number(url.port());
    const QString folder = url.path(QUrl::FullyEncoded);
    text += folder.isEmpty() ? QStringLiteral("/") : folder;
    d.folderURL = QUrl(text, QUrl::StrictMode);
    d.user = url.userName(QUrl::FullyDecoded);
    d.password = url.password(QUrl::FullyDecoded);
    const QString where = d.Describe();
    if (host.isEmpty())
        d.trouble = LocalizedString("The destination has no server; nothing was sent.");
    else if (d.user.isEmpty())
        d.trouble = plat::FillFormat(LocalizedString("The destination %@ has no user name; "
                                                     "nothing was sent."),
                                     {where});
    else if (d.password.isEmpty())
        d.trouble = plat::FillFormat(LocalizedString("The destination %@ has no password; nothing "
                                                     "was sent. Add it to the item's address in "
                                                     "Loftwise Settings."),
                                     {where});
    return d;
}

TransferOutcome UploadItem(const FSRef* file, const Destination& destination) {
    QString name;
    if (!file || FSGetCatalogInfo(file, kFSCatInfoNone, nullptr, &name, nullptr, nullptr) != noErr)
        name.clear();
    if (OpenConsoleLog()) OpenConsole(QStringLiteral("LoftwiseCM.log"));
    LogEntryFormat(LocalizedString("%@\nUploading File: %@"), {DateText(), name});
    LogLine(LocalizedString("Starting upload..."));

    UploadRequest request;
    request.destination = destination;
    // The whole percentage, each time it changes.
    auto lastPercent = std::make_shared<int>(0);
    request.progress = [lastPercent](UInt64 sent, UInt64 size) {
        if (size == 0) return; // an empty file has no percentage
        const int percent = WholePercent(sent, size);
        if (percent == *lastPercent) return;
        *lastPercent = percent;
        LogLine(QString::number(percent) + LocalizedString("% complete"));
    };
    const TransferOutcome outcome = FTPUpload(file, request);
    if (outcome.sent() && ShouldLogDirectoryListing()) {
        LogEntryFormat(LocalizedString("%@\nDirectory Listing: %@"),
                       {DateText(), destination.folderURL.toString()});
        LogDirectoryListing(destination);
    }
    return outcome;
}
