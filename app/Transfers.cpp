#include "app/Transfers.h"

#include "app/AppHost.h"
#include "app/AppLog.h"
#include "app/ConnectionSettings.h"
#include "app/Shell.h"
#include "platform/SystemLog.h"
#include "toolkit/Utilities.h"

#include <chrono>
#include <thread>

namespace {

// The upload being sent, for a second Quit; main thread only.
Upload* gUploadInFlight = nullptr;
bool gStopAtOnce = false;

} // namespace

std::optional<Destination> CurrentDestination(bool forListing) {
    // Read on the main thread, where the fields live; the worker gets a copy.
    const ConnectionSnapshot settings = TakeConnectionSnapshot();
    if (!settings.host) {
        LogEntry("No host.", true);
        return std::nullopt;
    }
    const auto folder = GetFolderPath(true);
    if (!folder) {
        LogEntry("No FTP server folder.", true);
        return std::nullopt;
    }
    if (!settings.username) {
        LogEntry("No username.", true);
        return std::nullopt;
    }
    if (!settings.password) {
        LogEntry("No password.", true);
        return std::nullopt;
    }
    Destination d;
    QString text = "ftp://" + *settings.host + *folder;
    if (forListing && !text.endsWith('/')) text += '/';
    d.folderURL = QUrl(text, QUrl::StrictMode);
    d.user = *settings.username;
    d.password = *settings.password;
    // A password the keychain could not give is never sent as an empty one.
    if (settings.trouble)
        d.trouble = *settings.trouble;
    else if (settings.host->trimmed().isEmpty())
        d.trouble = LocalizedString(QStringLiteral("No server is set for this copy yet."));
    return d;
}

TransferOutcome UploadFile(const FSRef* file, const QByteArray& remoteName) {
    const QString name = FSGetName(file).value_or(QString());
    print_message(
        plat::FillFormat(LocalizedString(QStringLiteral("Initializing FTP Upload: %@")), {name}),
        1);
    UploadRequest request;
    const auto destination = CurrentDestination();
    if (!destination) {
        TransferOutcome o;
        o.kind = TransferOutcome::Kind::Refused;
        return o;
    }
    request.destination = *destination;
    request.remoteName = remoteName;
    const auto path = plat::PathBytesOfRef(*file);
    LogLine(QStringLiteral("Uploading ") + QString::fromUtf8(path.value_or(std::string())));
    int previous = 0;
    request.whileWaiting = [&](Upload& upload) {
        gUploadInFlight = &upload;
        if (gStopAtOnce) upload.stop();
        // A 0-byte file has no percentage to show.
        if (upload.size() > 0) {
            const UInt64 written = upload.bytesSent();
            const int percent = WholePercent(written, upload.size());
            if (percent != previous) {
                print_message(
                    plat::FillFormat(
                        LocalizedString(QStringLiteral("File: %@ (%@%% complete, %d of %d bytes)")),
                        {name, QString::number(percent), QString::number(written),
                         QString::number(upload.size())}),
                    1);
                previous = percent;
            }
        }
        YieldToEventLoop(5);
    };
    TransferOutcome outcome = FTPUpload(file, request);
    gUploadInFlight = nullptr;
    LogEntry("Done.", true);
    return outcome;
}

void StopUploadInFlight() {
    gStopAtOnce = true;
    if (!gUploadInFlight) return;
    // Briefly, so that the log can name what it left on the server.
    for (int i = 0; i < 200 && !gUploadInFlight->finished(); ++i) {
        gUploadInFlight->stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void LogDirectoryListing() {
    const auto destination = CurrentDestination(true);
    if (!destination) return;
    ::LogDirectoryListing(*destination, [] { OpenConsole(); });
}

void ReportErrorAlert(const QString& text, bool offerSettings) {
    ShowStopAlertModeless(LocalizedString(QStringLiteral("An error occurred:")), text,
                          offerSettings ? LocalizedString(QStringLiteral("Settings\u2026"))
                                        : QString(),
                          [] { HandlePreferencesCommand(); });
}
