// Transfers: one file uploaded to a server folder, and the listing of that
// folder into the log. A transfer is an object its caller owns; its worker
// runs the stream callbacks on its own run loop, and it ends with an
// outcome that says what happened and why.
#pragma once

#include "platform/Files.h"
#include "platform/Streams.h"

#include <QStringList>
#include <QUrl>
#include <atomic>
#include <functional>
#include <optional>

constexpr CFIndex kMyBufferSize = 32768;

// The events every transfer's stream reports to its callback.
constexpr CFOptionFlags kMyStreamEvents =
    kCFStreamEventOpenCompleted | kCFStreamEventHasBytesAvailable | kCFStreamEventCanAcceptBytes |
    kCFStreamEventErrorOccurred | kCFStreamEventEndEncountered;

// Where transfers go: the server folder as an ftp URL (host, port and path
// as it goes to the server, no credentials) and the account. An empty user
// name logs in without credentials.
struct Destination {
    QUrl folderURL;
    QString user;
    QString password;
    // Why it may not be used, in the user's words (a setting missing, a
    // password the keychain would not give); empty when it may.
    QString trouble;

    // "host/folder" as a user knows the destination, for alerts.
    QString Describe() const;
};

// What became of one transfer.
struct TransferOutcome {
    enum class Kind {
        Sent,          // the server confirmed the whole file (or listing)
        Refused,       // refused before connecting: a setting missing or malformed
        FileFailed,    // the local file: gone, unreadable, not a regular file, changed
        LoginRefused,  // the server refused the user name or password
        FolderRefused, // the server refused the folder
        ConnectFailed, // no connection to the server
        Rejected,      // the server refused this file (its name, the space for it)
        CutOff,        // the transfer broke off after it had started
        Stopped,       // the user stopped it
    };
    Kind kind = Kind::Sent;
    UInt64 bytes = 0; // sent; when it broke off, what had left for the server
    qint64 milliseconds = 0;
    QString reason;      // in words a user can act on; empty when sent
    QString serverReply; // the server's own reply line, when it explains the failure

    bool sent() const { return kind == Kind::Sent; }
    // Every later file to the same destination would meet the same failure.
    bool endsPass() const;
    // Data reached the server before the end: an incomplete file may be there.
    bool partialOnServer() const;
    // The reason with the server's reply.
    QString Explanation() const;
};

// How a stream error reads as an outcome: connected tells whether the
// server had taken the login and folder, bytes what had left for it.
TransferOutcome OutcomeOfStreamError(const CFStreamError& error, bool connected, UInt64 bytes,
                                     const QString& serverReply);

// The whole percentage sent is of size, truncated as the window and the log
// show it; 0 for an empty file.
int WholePercent(UInt64 sent, UInt64 size);

// The line that names an incomplete file left on the server.
QString PartialFileText(const QString& remoteName, UInt64 bytes, UInt64 size);

class Upload;

// One per transfer: the streams, the proxy settings, the counters and the
// transfer buffer.
struct MyStreamInfo {
    CFWriteStreamRef writeStream = nullptr; // none in a listing
    CFReadStreamRef readStream = nullptr;   // the local file, or the listing
    std::optional<PlistDictionary> proxyDict;
    UInt64 bytesWritten = 0;       // accepted by the FTP stream so far
    SInt32 pendingByteCount = 0;   // bytes at the start of buffer not yet consumed
    bool skippingLongLine = false; // listing: inside a line longer than buffer
    bool connected = false;        // open completed: the server took login and folder
    Upload* upload = nullptr;      // the upload it belongs to; none in a listing
    // A listing's: what runs before each entry line, and its outcome.
    const std::function<void()>* beforeEntry = nullptr;
    TransferOutcome* listingOutcome = nullptr;
    UInt8 buffer[kMyBufferSize];
};

void MySetupStreamInfo(MyStreamInfo** info, CFReadStreamRef readStream,
                       CFWriteStreamRef writeStream);
void MyCleanupStreamInfo(MyStreamInfo* info);
void MyCFStreamSetUsernamePassword(CFTypeRef stream, const std::optional<QString>& user,
                                   const std::optional<QString>& password);
void MyCFStreamSetFTPProxy(CFTypeRef stream, MyStreamInfo* info);

// One file on its way to a destination. run() is the worker; every other
// member may be called from any thread.
class Upload {
public:
    // localPath: the file's path bytes as on disk; remoteName: the name on
    // the server, empty for the file's own.
    Upload(Destination destination, std::string localPath, QByteArray remoteName = {},
           UInt64 size = 0);
    Upload(const Upload&) = delete;
    Upload& operator=(const Upload&) = delete;

    // Sets up the streams and runs this thread's run loop until the
    // transfer ends; what happened. An incomplete file it leaves on the
    // server is named in the log.
    TransferOutcome run();
    // Ends the transfer soon with Stopped; may be called again.
    void stop();
    bool stopRequested() const { return m_stop.load(); }
    // run() has returned.
    bool finished() const { return m_finished.load(); }

    UInt64 bytesSent() const { return m_sent.load(); }
    UInt64 size() const { return m_size; }
    const Destination& destination() const { return m_destination; }
    // The name on the server, as its bytes.
    QByteArray remoteName() const;

    // Called on the worker after each write, with the bytes sent so far.
    std::function<void(UInt64 sent)> progress;

private:
    friend void MyUploadCallBack(CFWriteStreamRef, CFStreamEventType, void*);
    void finish(TransferOutcome outcome);
    TransferOutcome send();

    Destination m_destination;
    std::string m_localPath;
    QByteArray m_remoteName;
    UInt64 m_size;
    std::atomic<UInt64> m_sent{0};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_finished{false};
    std::atomic<CFRunLoopRef> m_loop{nullptr};
    MyStreamInfo* m_info = nullptr; // while the streams are open
    std::optional<TransferOutcome> m_outcome;
};

// What the caller of FTPUpload chooses besides the file.
struct UploadRequest {
    Destination destination;
    QByteArray remoteName; // the name on the server; empty for the file's own
    // On the worker after each write: the bytes sent so far and the size.
    std::function<void(UInt64 sent, UInt64 size)> progress;
    // On the calling thread, over and over while the worker runs; it waits a
    // little each time (the droplet keeps its window alive and may stop the
    // upload). Without it the caller simply waits.
    std::function<void(Upload&)> whileWaiting;
};

// Sends one file: reads its size, runs the upload on a worker thread and
// waits for it. What happened, also when nothing could be sent.
TransferOutcome FTPUpload(const FSRef* file, const UploadRequest& request);

void MyUploadCallBack(CFWriteStreamRef stream, CFStreamEventType event, void* info);
void MyDirectoryListingCallBack(CFReadStreamRef stream, CFStreamEventType event, void* info);

// Moves bytes from the file to the write stream while it accepts them,
// keeping what it did not take for the next round; afterWrite (may be null)
// sees each successful write. False when reading the file failed.
bool MySendAvailableBytes(CFWriteStreamRef stream, MyStreamInfo* info,
                          void (*afterWrite)(MyStreamInfo* info, CFIndex written));

// Ends a transfer from its callback: the record is destroyed and this
// thread's run loop stopped.
void MyFinishTransfer(MyStreamInfo* info);

// The words for a failed open or read of the local file (not a regular file,
// changed while sent ...), when there are better ones than the generic text.
std::optional<QString> ReadFailureText(CFReadStreamRef stream);

// Lists the destination's folder into the log, one line per entry, on this
// thread; beforeEntry (may be null) runs before each entry is written.
TransferOutcome ListFolder(const Destination& destination,
                           const std::function<void()>& beforeEntry = {});
// The same on a background worker of its own, which keeps its own copy of
// the destination; a host waits for it before it ends.
void LogDirectoryListing(const Destination& destination, std::function<void()> beforeEntry = {});

// The listing callback's work: logs the stream's events, parses every
// complete line read and writes each entry's line to the log, keeps an
// incomplete line for the next read, and finishes the listing at its end or
// on a failure.
void MyHandleListingEvent(CFReadStreamRef stream, CFStreamEventType event, MyStreamInfo* info);

// The more helpful text for a stream error, when there is one.
std::optional<QString> HelpfulErrorText(const CFStreamError& error);

// One listing entry as the log shows it (without the final line end).
QByteArray ListingEntryLine(const PlistDictionary& entry);

// The checks made before anything is sent: the destination's trouble, a
// host, user name, password or folder with a control character, or an
// address that is not a usable ftp URL; nullopt when it may be used.
std::optional<QString> RefuseDestination(const Destination& destination);

// The upload address: the name's bytes appended to the folder's path,
// percent-encoded byte for byte, so a name that is not UTF-8 reaches the
// server as it is on disk.
QUrl AppendFileName(const QUrl& folder, std::string_view name);
