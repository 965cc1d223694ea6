#include "platform/streams/StreamErrors.h"

#include "platform/Bundle.h"

#include <QString>
#include <cerrno>
#include <cstring>
#include <netdb.h>

namespace plat::streams {

namespace {

int ConnectionErrno(long osErrno) {
    // A peer that went away while we were sending reads best as a reset.
    if (osErrno == 0 || osErrno == EPIPE) return ECONNRESET;
    return int(osErrno);
}

} // namespace

CFStreamError MapCurlResult(CURLcode rc, long reply, long osErrno) {
    auto posix = [](int e) { return CFStreamError{kCFStreamErrorDomainPOSIX, SInt32(e)}; };
    // "Service not available, closing control connection": whatever failed
    // after it, the server's word is the cause.
    if (reply == 421) return CFStreamError{kCFStreamErrorDomainFTP, 421};
    switch (rc) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return CFStreamError{kCFStreamErrorDomainNetDB, EAI_NONAME};
    case CURLE_COULDNT_CONNECT:
        return posix(osErrno ? int(osErrno) : ECONNREFUSED);
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_FTP_ACCEPT_TIMEOUT:
        return posix(ETIMEDOUT);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
        return posix(ConnectionErrno(osErrno));
    case CURLE_ABORTED_BY_CALLBACK:
        return posix(ECONNABORTED);
    case CURLE_OUT_OF_MEMORY:
        return posix(ENOMEM);
    default:
        break;
    }
    if (reply >= 400) return CFStreamError{kCFStreamErrorDomainFTP, SInt32(reply)};
    return CFStreamError{kCFStreamErrorDomainLoftwise,
                         SInt32(kLoftwiseStreamErrorCurlBase) + SInt32(rc)};
}

} // namespace plat::streams

namespace plat {

// The one wording of each error; the engine's alerts and logs use it too.
QString StreamErrorText(const CFStreamError& error) {
    switch (error.domain) {
    case kCFStreamErrorDomainPOSIX:
        return QString::fromLocal8Bit(strerror(error.error));
    case kCFStreamErrorDomainNetDB:
        return PlatformText("The server's name could not be found (%1)")
            .arg(QString::fromLocal8Bit(gai_strerror(error.error)));
    case kCFStreamErrorDomainFTP: {
        QString what;
        switch (error.error) {
        case 421:
            what = PlatformText("service not available");
            break;
        case 425:
            what = PlatformText("cannot open data connection");
            break;
        case 426:
            what = PlatformText("transfer aborted");
            break;
        case 450:
        case 550:
            what = PlatformText("file or folder unavailable");
            break;
        case 451:
            what = PlatformText("local error on the server");
            break;
        case 452:
            what = PlatformText("insufficient storage space");
            break;
        case 530:
            what = PlatformText("not logged in");
            break;
        case 552:
            what = PlatformText("storage allocation exceeded");
            break;
        case 553:
            what = PlatformText("file name not allowed");
            break;
        default:
            break;
        }
        return what.isEmpty()
                   ? PlatformText("The FTP server replied %1").arg(error.error)
                   : PlatformText("The FTP server replied %1 (%2)").arg(error.error).arg(what);
    }
    case kCFStreamErrorDomainLoftwise:
        switch (error.error) {
        case kLoftwiseStreamErrorBadURL:
            return PlatformText("The FTP address is not valid; check the host and folder.");
        case kLoftwiseStreamErrorControlCharacter:
            return PlatformText("The host, user name, password, folder or file name contains a "
                                "line break or NUL character; nothing was sent.");
        case kLoftwiseStreamErrorSetup:
            return PlatformText("The transfer could not be set up");
        case kLoftwiseStreamErrorNotRegularFile:
            return PlatformText("The item is not a regular file (a pipe, device or socket) "
                                "and was not sent.");
        case kLoftwiseStreamErrorFileChanged:
            return PlatformText("The file changed while it was being sent; the copy on the "
                                "server may be incomplete.");
        default:
            if (error.error >= kLoftwiseStreamErrorCurlBase)
                return QString::fromUtf8(
                    curl_easy_strerror(CURLcode(error.error - kLoftwiseStreamErrorCurlBase)));
            break;
        }
        break;
    default:
        break;
    }
    return PlatformText("Error %1 in domain %2").arg(error.error).arg(error.domain);
}

} // namespace plat
