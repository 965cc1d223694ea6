// URL loading: an asynchronous HTTP connection that hands its data to a
// delegate, and an asynchronous download into a file. Both run on the
// thread that made them (the main thread), and every callback arrives there
// from its event loop, never from inside the call that started the transfer.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>
#include <memory>

using NSTimeInterval = double; // seconds

enum NSURLRequestCachePolicy {
    NSURLRequestUseProtocolCachePolicy = 0,
    NSURLRequestReloadIgnoringLocalCacheData = 1,
};

// The time-out is the longest the transfer may go without any progress
// (connecting, headers, data); LOFTWISE_URL_TIMEOUT_MS, when set, shortens
// every time-out to at most that many milliseconds (for tests).
struct NSURLRequest {
    QUrl URL;
    NSURLRequestCachePolicy cachePolicy = NSURLRequestUseProtocolCachePolicy;
    NSTimeInterval timeoutInterval = 60.0;

    static NSURLRequest requestWithURLCachePolicyTimeoutInterval(const QUrl& url,
                                                                 NSURLRequestCachePolicy policy,
                                                                 NSTimeInterval timeout) {
        return {url, policy, timeout};
    }
};

constexpr long long NSURLResponseUnknownLength = -1;

// What the server answered, once its headers have arrived.
class NSURLResponse {
public:
    NSURLResponse() = default;
    NSURLResponse(QUrl url, long long expectedLength, QString mimeType, QString suggestedFilename,
                  int statusCode)
        : m_url(std::move(url)), m_expectedLength(expectedLength), m_mimeType(std::move(mimeType)),
          m_suggestedFilename(std::move(suggestedFilename)), m_statusCode(statusCode) {}

    // The URL answered, after any redirection.
    QUrl URL() const { return m_url; }
    // The body's length from Content-Length; NSURLResponseUnknownLength without one.
    long long expectedContentLength() const { return m_expectedLength; }
    QString MIMEType() const { return m_mimeType; }
    // A plain file name (no folders, not hidden): Content-Disposition's
    // filename* or filename, else the URL's last path component, else "Unknown".
    QString suggestedFilename() const { return m_suggestedFilename; }
    // The HTTP status (200, 404 ...).
    int statusCode() const { return m_statusCode; }

private:
    QUrl m_url;
    long long m_expectedLength = NSURLResponseUnknownLength;
    QString m_mimeType;
    QString m_suggestedFilename;
    int m_statusCode = 0;
};

// Error codes of the URL loading domain.
constexpr long NSURLErrorUnknown = -1;
constexpr long NSURLErrorCancelled = -999;
constexpr long NSURLErrorBadURL = -1000;
constexpr long NSURLErrorTimedOut = -1001;
constexpr long NSURLErrorUnsupportedURL = -1002;
constexpr long NSURLErrorCannotFindHost = -1003;
constexpr long NSURLErrorCannotConnectToHost = -1004;
constexpr long NSURLErrorNetworkConnectionLost = -1005;
constexpr long NSURLErrorBadServerResponse = -1011;
constexpr long NSURLErrorCannotCreateFile = -3000;
constexpr long NSURLErrorCannotWriteToFile = -3003;

struct NSError {
    QString domain = QStringLiteral("NSURLErrorDomain");
    long code = NSURLErrorUnknown;
    // One sentence in English, e.g. "The request timed out."
    QString description;
    // The userInfo entry NSErrorFailingURLStringKey: the URL that failed.
    QString failingURLString;

    QString localizedDescription() const { return description; }
};

class NSURLConnection;
class NSURLDownload;

// Callbacks of a connection, in this order: the response (redirections are
// followed and not reported), pieces of data, then exactly one of finished
// or failed. A cancelled connection
// calls nothing more. An HTTP error status is a response like any other:
// its body arrives as data.
class NSURLConnectionDelegate {
public:
    virtual ~NSURLConnectionDelegate() = default;
    virtual void connectionDidReceiveResponse(NSURLConnection*, const NSURLResponse&) {}
    virtual void connectionDidReceiveData(NSURLConnection*, const QByteArray&) {}
    virtual void connectionDidFailWithError(NSURLConnection*, const NSError&) {}
    virtual void connectionDidFinishLoading(NSURLConnection*) {}
};

// The owner calls release() when done with it; it may do so from inside a
// callback. The delegate must outlive the connection or release it first.
class NSURLConnection : public QObject {
    Q_OBJECT
public:
    // initWithRequest:delegate: starts loading at once; null when the
    // request cannot be made (no URL, not http or https, no delegate).
    static NSURLConnection* connectionWithRequestDelegate(const NSURLRequest& request,
                                                          NSURLConnectionDelegate* delegate);
    ~NSURLConnection() override;

    // Stops loading; the delegate hears nothing more.
    void cancel();
    // Cancels and frees the connection (once control is back in the event loop).
    void release();

private:
    NSURLConnection(const NSURLRequest& request, NSURLConnectionDelegate* delegate);
    struct Private;
    std::unique_ptr<Private> d;
};

// Callbacks of a download, in this order:
//   decideDestinationWithSuggestedFilename (the delegate calls
//     setDestinationAllowOverwrite from inside it),
//   didCreateDestination with the path the file will have,
//   didReceiveResponse,
//   didReceiveDataOfLength for each piece written,
// then exactly one of didFinish or didFailWithError. An HTTP error status
// (400 and above) is a failure and creates nothing. The file is written
// under a hidden temporary name beside the destination and renamed to it
// only when complete, so a failed or cancelled download leaves nothing
// under the destination's name.
class NSURLDownloadDelegate {
public:
    virtual ~NSURLDownloadDelegate() = default;
    virtual void downloadDecideDestinationWithSuggestedFilename(NSURLDownload*, const QString&) {}
    virtual void downloadDidCreateDestination(NSURLDownload*, const QString&) {}
    virtual void downloadDidReceiveResponse(NSURLDownload*, const NSURLResponse&) {}
    virtual void downloadDidReceiveDataOfLength(NSURLDownload*, unsigned long long) {}
    virtual void downloadDidFinish(NSURLDownload*) {}
    virtual void downloadDidFailWithError(NSURLDownload*, const NSError&) {}
};

class NSURLDownload : public QObject {
    Q_OBJECT
public:
    // initWithRequest:delegate: starts at once; null when the request
    // cannot be made (no URL, not http or https, no delegate).
    static NSURLDownload* downloadWithRequestDelegate(const NSURLRequest& request,
                                                      NSURLDownloadDelegate* delegate);
    ~NSURLDownload() override;

    // Where the file goes. Without overwriting, a name that is taken gets
    // a free one beside it: "Loftwise.dmg" becomes "Loftwise-1.dmg", then
    // "Loftwise-2.dmg" ... (also when the name is taken by the time the
    // download completes). A missing folder is created. With no
    // destination after decideDestination..., the download fails.
    void setDestinationAllowOverwrite(const QString& path, bool allowOverwrite);
    // The path decided so far (the final one once created); empty before.
    QString destination() const;

    // Stops the download and removes its partial file; the delegate hears
    // nothing more.
    void cancel();
    // Cancels and frees the download (once control is back in the event loop).
    void release();

private:
    NSURLDownload(const NSURLRequest& request, NSURLDownloadDelegate* delegate);
    struct Private;
    std::unique_ptr<Private> d;
};
