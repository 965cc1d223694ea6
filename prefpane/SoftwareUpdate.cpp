// The pane's software update: asks the maker's web site for the newest
// version and downloads its Debian package to the Desktop. Both transfers are
// asynchronous; their callbacks arrive on the main thread.
#include "prefpane/LoftwisePrefPane.h"

#include "prefpane/PaneStrings.h"

#include "platform/Bundle.h"
#include "platform/Files.h"
#include "platform/SystemLog.h"
#include "platform/ui/Dialogs.h"

#include <QDir>
#include <QLabel>
#include <QProgressBar>
#include <QRegularExpression>
#include <cmath>
#include <limits>

namespace {

const QString kVersionDocumentPath = QStringLiteral("/ProductVersions.plist");
// The package for this system, beside the version document.
const QString kDiskImagePath = QStringLiteral("/Loftwise/Loftwise.deb");
constexpr NSTimeInterval kVersionTimeout = 10.0;
constexpr NSTimeInterval kDiskImageTimeout = 20.0;

// A document on the maker's web site; an invalid URL when there is none.
QUrl MakerURL(CFBundleRef bundle, const QString& path) {
    const std::optional<QString> site = plat::MakerWebSite(bundle);
    return site ? QUrl(*site + path, QUrl::StrictMode) : QUrl();
}

QString Localized(const char* key, const QStringList& arguments = {}) {
    return plat::FillFormat(LocalizedString(key), arguments);
}

// The user's Desktop folder: the XDG one, else ~/Desktop.
QString DesktopFolder() {
    if (const std::optional<QString> folder = plat::FolderPath(kDesktopFolderType)) return *folder;
    return QDir::homePath() + QStringLiteral("/Desktop");
}

// A path as a shell command line takes it: quoted unless plainly safe.
QString ShellQuoted(const QString& path) {
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./+-]+$"));
    if (plain.match(path).hasMatch()) return path;
    QString quoted = path;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

void LoftwisePrefPane::checkVersion(QObject*) {
    // The controls stay enabled while a check runs; a second click leaves it be.
    if (m_softwareUpdateCheckInProgress) return;
    m_softwareUpdateCheckInProgress = true;
    if (m_softwareUpdateField)
        m_softwareUpdateField->setText(Localized("Checking for a software update..."));

    const NSURLRequest request = NSURLRequest::requestWithURLCachePolicyTimeoutInterval(
        MakerURL(bundle(), kVersionDocumentPath), NSURLRequestReloadIgnoringLocalCacheData,
        kVersionTimeout);
    m_connection = NSURLConnection::connectionWithRequestDelegate(request, this);
    if (!m_connection) {
        if (m_softwareUpdateField)
            m_softwareUpdateField->setText(
                Localized("Loftwise could not check for a software update at this time."));
        m_softwareUpdateCheckInProgress = false;
        return;
    }
    m_receivedData = QByteArray();
    if (m_progressIndicator) m_progressIndicator->show();
}

void LoftwisePrefPane::connectionDidReceiveResponse(NSURLConnection*, const NSURLResponse&) {
    // A redirected or restarted answer starts the document over.
    if (m_receivedData) m_receivedData->clear();
}

void LoftwisePrefPane::connectionDidReceiveData(NSURLConnection*, const QByteArray& data) {
    if (m_receivedData) m_receivedData->append(data);
}

void LoftwisePrefPane::connectionDidFailWithError(NSURLConnection*, const NSError& error) {
    stopUpdateCheck();
    if (m_softwareUpdateField)
        m_softwareUpdateField->setText(
            Localized("Connection failed with error: %@ %@",
                      {error.localizedDescription(), error.failingURLString}));
}

void LoftwisePrefPane::connectionDidFinishLoading(NSURLConnection*) {
    m_softwareUpdateCheckInProgress = false;
    if (m_softwareUpdateField)
        m_softwareUpdateField->setText(Localized("Loaded the version information..."));
    const std::optional<QString> current = getCurrentVersionString();
    if (m_softwareUpdateField) {
        if (!current)
            m_softwareUpdateField->setText(
                Localized("The current version information could not be read."));
        else if (m_ourVersionNumber < m_currentVersionNumber)
            m_softwareUpdateField->setText(Localized("An update is available for Loftwise."));
        else
            m_softwareUpdateField->setText(Localized("Your software is up to date."));
    }
    if (current && m_currentVersionField) m_currentVersionField->setText(*current);
    stopUpdateCheck();
}

std::optional<QString> LoftwisePrefPane::getCurrentVersionString() {
    if (!m_receivedData) return std::nullopt;
    const std::optional<PlistValue> root = plat::PlistFromBytes(*m_receivedData);
    const PlistValue* product =
        root && root->asDictionary() ? root->find(QStringLiteral("Loftwise")) : nullptr;
    if (!product || !product->asDictionary()) return std::nullopt;

    // A number that does not fit 32 bits exactly is not a version.
    const PlistValue* number = product->find(QStringLiteral("CurrentVersion"));
    std::optional<SInt32> version;
    if (const int64_t* i = number ? number->asInteger() : nullptr) {
        if (*i >= std::numeric_limits<SInt32>::min() && *i <= std::numeric_limits<SInt32>::max())
            version = SInt32(*i);
    } else if (const double* r = number ? number->asReal() : nullptr) {
        if (std::trunc(*r) == *r && *r >= std::numeric_limits<SInt32>::min() &&
            *r <= std::numeric_limits<SInt32>::max())
            version = SInt32(*r);
    }
    if (!version) return std::nullopt;
    m_currentVersionNumber = *version;

    const PlistValue* text = product->find(QStringLiteral("CurrentVersionString"));
    const QString* s = text ? text->asString() : nullptr;
    if (!s) return std::nullopt;
    return *s;
}

void LoftwisePrefPane::clickSoftwareDownloadButton(QObject*) {
    // One image at a time; a second click leaves the running download be.
    if (m_softwareDownloadInProgress) return;
    m_softwareDownloadInProgress = true;
    m_urlResponse.reset();
    m_downloadDestination.clear();
    if (m_downloadProgressIndicator) {
        m_downloadProgressIndicator->setValue(0);
        m_downloadProgressIndicator->show();
    }
    const NSURLRequest request = NSURLRequest::requestWithURLCachePolicyTimeoutInterval(
        MakerURL(bundle(), kDiskImagePath), NSURLRequestReloadIgnoringLocalCacheData,
        kDiskImageTimeout);
    m_download = NSURLDownload::downloadWithRequestDelegate(request, this);
    if (!m_download) {
        NSBeep();
        NSLog(Localized("The download could not start."));
        m_softwareDownloadInProgress = false;
    }
}

void LoftwisePrefPane::downloadDecideDestinationWithSuggestedFilename(NSURLDownload* download,
                                                                      const QString& filename) {
    download->setDestinationAllowOverwrite(DesktopFolder() + QLatin1Char('/') + filename, false);
}

void LoftwisePrefPane::downloadDidCreateDestination(NSURLDownload*, const QString& path) {
    m_downloadDestination = path;
    NSLog(Localized("Final file destination: %@", {path}));
}

void LoftwisePrefPane::downloadDidReceiveResponse(NSURLDownload*, const NSURLResponse& response) {
    m_urlResponse = response;
    m_bytesReceived = 0;
}

void LoftwisePrefPane::downloadDidReceiveDataOfLength(NSURLDownload*, unsigned long long length) {
    m_bytesReceived += SInt64(length);
    const long long expected =
        m_urlResponse ? m_urlResponse->expectedContentLength() : NSURLResponseUnknownLength;
    if (expected <= 0) {
        NSLog(Localized("Bytes received - %d", {QString::number(m_bytesReceived)}));
        return;
    }
    const float percent = float(m_bytesReceived) / float(expected) * 100.0f;
    NSLog(Localized("Percent complete - %f", {QString::asprintf("%f", double(percent))}));
    if (m_downloadProgressIndicator) m_downloadProgressIndicator->setValue(int(percent));
}

void LoftwisePrefPane::downloadDidFinish(NSURLDownload*) {
    stopDownload();
    NSLog(Localized("The download has completed"));
    // The user is told where the package is and how it is installed, as
    // plain text (the server names the file) they can select and copy.
    if (m_softwareUpdateField && !m_downloadDestination.isEmpty()) {
        m_softwareUpdateField->setTextFormat(Qt::PlainText);
        m_softwareUpdateField->setTextInteractionFlags(Qt::TextSelectableByMouse);
        m_softwareUpdateField->setText(
            Localized("The update was saved as %@. To install it, run: sudo apt install %@",
                      {m_downloadDestination, ShellQuoted(m_downloadDestination)}));
    }
}

void LoftwisePrefPane::downloadDidFailWithError(NSURLDownload*, const NSError& error) {
    stopDownload();
    NSLog(Localized("Download failed! Error - %@ %@",
                    {error.localizedDescription(), error.failingURLString}));
}

// Releases the check's connection and buffer, whether it ran or not.
void LoftwisePrefPane::stopUpdateCheck() {
    if (m_connection) m_connection->release();
    m_connection = nullptr;
    m_receivedData.reset();
    m_softwareUpdateCheckInProgress = false;
    if (m_progressIndicator) m_progressIndicator->hide();
}

// Releases the download and its response; the indicator keeps its value.
void LoftwisePrefPane::stopDownload() {
    if (m_download) m_download->release();
    m_download = nullptr;
    m_urlResponse.reset();
    m_softwareDownloadInProgress = false;
}
