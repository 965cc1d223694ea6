// Transfers: upload of one file to the destination's server folder, and the
// listing of that folder into the log. Each runs on a worker thread of its
// own whose run loop carries the stream callbacks.
#pragma once

#include "platform/Files.h"
#include "platform/Streams.h"

#include <QStringList>
#include <QUrl>
#include <atomic>
#include <optional>

#if !defined(LOFTWISE_PLUGIN_BUILD)
#include "toolkit/CString256.h"
#endif

constexpr CFIndex kMyBufferSize = 32768;

// The events every transfer's stream reports to its callback.
constexpr CFOptionFlags kMyStreamEvents =
    kCFStreamEventOpenCompleted | kCFStreamEventHasBytesAvailable | kCFStreamEventCanAcceptBytes |
    kCFStreamEventErrorOccurred | kCFStreamEventEndEncountered;

// One per transfer: the streams, the proxy settings, the counters and the
// transfer buffer.
struct MyStreamInfo {
    CFWriteStreamRef writeStream = nullptr; // none in a listing
    CFReadStreamRef readStream = nullptr;   // the local file, or the listing
    std::optional<PlistDictionary> proxyDict;
    SInt32 lastPercent = 0;        // plug-in build: last percentage logged
    UInt64 bytesWritten = 0;       // accepted by the FTP stream so far
    SInt32 pendingByteCount = 0;   // bytes at the start of buffer not yet consumed
    bool skippingLongLine = false; // listing: inside a line longer than buffer
    UInt8 buffer[kMyBufferSize];
};

void MySetupStreamInfo(MyStreamInfo** info, CFReadStreamRef readStream,
                       CFWriteStreamRef writeStream);
void MyCleanupStreamInfo(MyStreamInfo* info);
void MyCFStreamSetUsernamePassword(CFTypeRef stream, const std::optional<QString>& user,
                                   const std::optional<QString>& password);
void MyCFStreamSetFTPProxy(CFTypeRef stream, MyStreamInfo* info);

#if defined(LOFTWISE_PLUGIN_BUILD)
// Size of the file being sent; 0 after a size or name failure.
extern UInt64 gFileSize;
// The path of the file being sent, for the worker (UTF-8, terminated).
constexpr std::size_t kRunDataSize = 512;
extern char gRunData[kRunDataSize];
// The destination of the upload in progress; replaced by each FTPUpload.
extern QUrl gDestination;
// The folder path of gDestination as written in the URL; "/" when it has none.
QString GetFolderPath();

// Uploads file to an ftp:// destination carrying host, user, password and
// folder (and port); waits for the worker. 0 when it ran, -1 when the file's
// size or name cannot be read or its path does not fit gRunData, or the
// thread library's error.
int FTPUpload(const FSRef* file, const QUrl& destination);
// Lists the folder of destination into the log on a detached worker, which
// keeps its own copy of destination.
void LogDirectoryListing(const QUrl& destination);
#else
// Shared with the main thread (application build). The worker sets
// gUploadDone last, with release ordering; the main thread reads the other
// results only after it has seen it.
extern std::atomic<bool> gUploadDone;
extern std::atomic<bool> gHadError;
extern CString256 gTheError;
extern std::atomic<UInt64> gTotalBytesWritten;

// Uploads one file; returns true when the transfer failed (the failure has
// been shown), false for success and for a skipped invisible file.
bool FTPUpload(const FSRef* file);
// The same, stored on the server as remoteName (when not empty) instead of
// the file's own name.
bool FTPUpload(const FSRef* file, const QByteArray& remoteName);
// Shows the last failure in a stop alert.
void ReportErrorAlert();
// Starts a listing of the server folder into the log, on a worker thread.
void LogDirectoryListing();
#endif

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

// How the upload set-up went; each failure but NotConfigured (no streams or
// no record) has been logged, and nothing is left open.
enum class MyUploadStart { Started, NotConfigured, ReadOpenFailed, ClientFailed, WriteOpenFailed };
// Sets up the upload of the local fileURL to uploadURL: opens the file,
// installs callback with a new record as its context, schedules the FTP
// stream on this thread's run loop with the credentials and proxy settings,
// and opens it. On Started the caller runs the run loop until the callback
// finishes the transfer. On ReadOpenFailed or WriteOpenFailed *openFailure
// (when given) gets the words for why, when there are any.
MyUploadStart MyStartUpload(const QUrl& fileURL, const QUrl& uploadURL,
                            const std::optional<QString>& user,
                            const std::optional<QString>& password,
                            CFWriteStreamClientCallBack callback,
                            std::optional<QString>* openFailure = nullptr);

// The words for a failed open or read of the local file (not a regular file,
// changed while sent ...), when there are better ones than the generic text.
std::optional<QString> ReadFailureText(CFReadStreamRef stream);

// Sets up a listing stream on folderURL and runs this thread's run loop
// until the callback finishes it; set-up failures are logged.
void MyRunListing(const QUrl& folderURL, const std::optional<QString>& user,
                  const std::optional<QString>& password, CFReadStreamClientCallBack callback);

// Writes one parsed listing entry to the log.
using MyListingEntryWriter = void (*)(const PlistDictionary& entry);
// The listing callback's work, common to both builds: logs the stream's
// events, parses every complete line read and hands each entry to
// writeEntry, keeps an incomplete line for the next read, and finishes the
// listing (record destroyed, run loop stopped) at its end or on a failure.
void MyHandleListingEvent(CFReadStreamRef stream, CFStreamEventType event, MyStreamInfo* info,
                          MyListingEntryWriter writeEntry);

// Fills "%@" and "%d" (also "%ld", "%lld") placeholders of a localised
// format in order.
QString FillFormat(const QString& format, const QStringList& values);

// The more helpful text for a stream error, when there is one.
std::optional<QString> HelpfulErrorText(const CFStreamError& error, bool withServerTexts);

// One listing entry as the log shows it (without the final line end).
QByteArray ListingEntryLine(const PlistDictionary& entry);

// The checks made before anything is sent: the failure text for a host,
// user name, password or folder with a control character, or for an address
// that is not a usable ftp URL; nullopt when the destination may be used.
std::optional<QString> RefuseDestination(const QUrl& folderURL, const std::optional<QString>& user,
                                         const std::optional<QString>& password);

// The upload address: the last component of a path's bytes appended to the
// folder's path, percent-encoded byte for byte, so a name that is not UTF-8
// reaches the server as it is on disk.
QUrl AppendFileName(const QUrl& folder, std::string_view path);
