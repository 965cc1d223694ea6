// Read and write streams: local files, and FTP transfers over libcurl.
//
// A stream is scheduled on a thread's run loop and sends its client the
// events below from that loop only, never from inside a transfer in progress.
// An FTP stream that is not scheduled works synchronously instead: read and
// write block until they can do something.
//
// File read stream: regular files only (a link is followed); anything else
// is refused at open. A file whose size or modification time changed while
// it was read fails at its end (kLoftwiseStreamErrorFileChanged) instead of
// ending, so a copy of it is never taken for complete.
//
// FTP write stream: STOR of the URL's last path component (decoded) in the
// URL's folder. Writes go to a buffer of a few hundred KiB; a write may take
// fewer bytes than offered and takes none (returns 0) while the buffer is
// full. A zero-length write ends the data: the stream then finishes the
// transfer and reports end-encountered only after the server has confirmed
// it, or error-occurred with the server's reply code.
//
// FTP read stream: a URL ending in "/" delivers the LIST output of that
// folder (with LF line ends: listings travel in ASCII mode), any other URL
// the file (RETR). Paths are relative to the account's login folder, as in
// ftp URLs; servers that lock an account into its home make them absolute.
//
// Errors: FTP domain with the server's reply code (530, 550, 552, 421 ...),
// POSIX domain with an errno (ECONNREFUSED, ETIMEDOUT, ECONNRESET ...), NetDB
// for a host name that does not resolve, Loftwise for the rest (a URL that
// is not a usable ftp URL; CR, LF or NUL in host, user name, password or
// path, refused before anything is sent). A transfer that makes no progress
// for 60 s (LOFTWISE_FTP_STALL_SECONDS) fails with ETIMEDOUT.
//
// Consecutive transfers to the same host, port, user name and password
// (and proxy) reuse the logged-in control connection, across threads; one
// the server has closed meanwhile is replaced, once, without the caller
// noticing. Between transfers a connection waits in a pool of at most four
// (the oldest goes when a fifth comes); one idle for more than 100 s is
// closed when the next transfer looks for one. With persistent connections
// off a transfer logs in anew and closes its connection when done.
//
// LOFTWISE_FTP_DEBUG (any value) prints each conversation (password
// masked) and each change of a transfer's state ("Opening -> Open") on
// standard error.
#pragma once

#include "platform/CFBase.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"

#include <QString>
#include <QUrl>
#include <optional>

using CFStreamEventType = CFOptionFlags;

enum : CFStreamEventType {
    kCFStreamEventNone = 0,
    kCFStreamEventOpenCompleted = 1,
    kCFStreamEventHasBytesAvailable = 2,
    kCFStreamEventCanAcceptBytes = 4,
    kCFStreamEventErrorOccurred = 8,
    kCFStreamEventEndEncountered = 16,
};

using CFStreamStatus = CFIndex;
enum : CFStreamStatus {
    kCFStreamStatusNotOpen = 0,
    kCFStreamStatusOpening = 1,
    kCFStreamStatusOpen = 2,
    kCFStreamStatusReading = 3,
    kCFStreamStatusWriting = 4,
    kCFStreamStatusAtEnd = 5,
    kCFStreamStatusClosed = 6,
    kCFStreamStatusError = 7,
};

struct CFStreamError {
    CFIndex domain;
    SInt32 error;
};

enum : CFIndex {
    kCFStreamErrorDomainCustom = -1,
    kCFStreamErrorDomainPOSIX = 1,
    kCFStreamErrorDomainFTP = 6,
    kCFStreamErrorDomainNetDB = 12, // getaddrinfo codes (EAI_NONAME ...)
    kCFStreamErrorDomainLoftwise = 1000,
};

// Codes of kCFStreamErrorDomainLoftwise.
enum : SInt32 {
    kLoftwiseStreamErrorBadURL = 1, // not an ftp URL with a host (and a file name to store)
    kLoftwiseStreamErrorControlCharacter = 2, // CR, LF or NUL in host, user name, password or path
    kLoftwiseStreamErrorSetup = 3,            // the transfer could not be set up
    kLoftwiseStreamErrorNotRegularFile = 4,   // a local file that is a pipe, device or socket
    kLoftwiseStreamErrorFileChanged = 5,      // a local file whose size or date changed while read
    kLoftwiseStreamErrorCurlBase = 1000,      // + a libcurl result with no better code
};

class CFReadStream : public CFType {
protected:
    CFReadStream() = default;
};
class CFWriteStream : public CFType {
protected:
    CFWriteStream() = default;
};
using CFReadStreamRef = CFReadStream*;
using CFWriteStreamRef = CFWriteStream*;

using CFReadStreamClientCallBack = void (*)(CFReadStreamRef stream, CFStreamEventType type,
                                            void* clientCallBackInfo);
using CFWriteStreamClientCallBack = void (*)(CFWriteStreamRef stream, CFStreamEventType type,
                                             void* clientCallBackInfo);

// Of the context only info is passed on; retain and release, when given,
// are called when the client is set and replaced.
struct CFStreamClientContext {
    CFIndex version;
    void* info;
    const void* (*retain)(const void* info);
    void (*release)(const void* info);
    const void* (*copyDescription)(const void* info);
};

// Property keys (values: user name and password strings; the proxy
// dictionary of SCDynamicStoreCopyProxies; Booleans).
extern const QString kCFStreamPropertyFTPUserName;
extern const QString kCFStreamPropertyFTPPassword;
extern const QString kCFStreamPropertyFTPProxy;
extern const QString kCFStreamPropertyFTPUsePassiveMode;              // default true
extern const QString kCFStreamPropertyFTPAttemptPersistentConnection; // default true
// Read only (CopyProperty), on FTP streams: the server's last reply line, a
// string, empty before any; and the payload bytes that have left for the
// server, an integer (after a failure: at most what the server holds).
extern const QString kLoftwiseStreamPropertyFTPLastReply;
extern const QString kLoftwiseStreamPropertyFTPBytesSent;

CFTypeID CFReadStreamGetTypeID();
CFTypeID CFWriteStreamGetTypeID();

// nullptr when the URL is empty or of another scheme (file / ftp).
CFReadStreamRef CFReadStreamCreateWithFile(const QUrl& fileURL);
// Replaces the file whole when closed without an error (a temporary file
// beside it is renamed over it, keeping its mode; a new file gets 0600); a
// failed write leaves the old file as it was.
CFWriteStreamRef CFWriteStreamCreateWithFile(const QUrl& fileURL);
CFReadStreamRef CFReadStreamCreateWithFTPURL(const QUrl& ftpURL);
CFWriteStreamRef CFWriteStreamCreateWithFTPURL(const QUrl& ftpURL);

Boolean CFReadStreamOpen(CFReadStreamRef stream);
void CFReadStreamClose(CFReadStreamRef stream);
// Bytes read; 0 at the end; -1 on error (see CFReadStreamGetError).
CFIndex CFReadStreamRead(CFReadStreamRef stream, UInt8* buffer, CFIndex bufferLength);
Boolean CFReadStreamHasBytesAvailable(CFReadStreamRef stream);
CFStreamStatus CFReadStreamGetStatus(CFReadStreamRef stream);
CFStreamError CFReadStreamGetError(CFReadStreamRef stream);
Boolean CFReadStreamSetClient(CFReadStreamRef stream, CFOptionFlags streamEvents,
                              CFReadStreamClientCallBack clientCB,
                              CFStreamClientContext* clientContext);
void CFReadStreamScheduleWithRunLoop(CFReadStreamRef stream, CFRunLoopRef runLoop,
                                     const QString& runLoopMode);
void CFReadStreamUnscheduleFromRunLoop(CFReadStreamRef stream, CFRunLoopRef runLoop,
                                       const QString& runLoopMode);
// Before open only; false for an unknown key or a value of the wrong kind.
Boolean CFReadStreamSetProperty(CFReadStreamRef stream, const QString& propertyName,
                                const PlistValue& propertyValue);

// The value of a read-only property; nullopt for an unknown key or stream.
std::optional<PlistValue> CFReadStreamCopyProperty(CFReadStreamRef stream,
                                                   const QString& propertyName);
std::optional<PlistValue> CFWriteStreamCopyProperty(CFWriteStreamRef stream,
                                                    const QString& propertyName);

Boolean CFWriteStreamOpen(CFWriteStreamRef stream);
void CFWriteStreamClose(CFWriteStreamRef stream);
// Bytes taken (maybe fewer than offered, 0 when none can be taken now);
// -1 on error. A zero-length write ends the data.
CFIndex CFWriteStreamWrite(CFWriteStreamRef stream, const UInt8* buffer, CFIndex bufferLength);
Boolean CFWriteStreamCanAcceptBytes(CFWriteStreamRef stream);
CFStreamStatus CFWriteStreamGetStatus(CFWriteStreamRef stream);
CFStreamError CFWriteStreamGetError(CFWriteStreamRef stream);
Boolean CFWriteStreamSetClient(CFWriteStreamRef stream, CFOptionFlags streamEvents,
                               CFWriteStreamClientCallBack clientCB,
                               CFStreamClientContext* clientContext);
void CFWriteStreamScheduleWithRunLoop(CFWriteStreamRef stream, CFRunLoopRef runLoop,
                                      const QString& runLoopMode);
void CFWriteStreamUnscheduleFromRunLoop(CFWriteStreamRef stream, CFRunLoopRef runLoop,
                                        const QString& runLoopMode);
Boolean CFWriteStreamSetProperty(CFWriteStreamRef stream, const QString& propertyName,
                                 const PlistValue& propertyValue);

namespace plat {

// Words for a stream error, for logs and alerts ("Connection refused",
// "The server replied 550" ...).
QString StreamErrorText(const CFStreamError& error);

// True when text holds CR, LF or NUL, which must never reach a command line.
bool HasControlCharacter(const QString& text);

// Closes the control connections waiting in the pool, each with QUIT, before
// it returns (tests, shutdown). Transfers still running keep theirs and
// give them to the pool as usual when they finish.
void FTPCloseIdleConnections();

} // namespace plat
