// libcurl results as stream errors.
#pragma once

#include "platform/Streams.h"

#include <curl/curl.h>

namespace plat::streams {

// rc with the last FTP reply and the socket's errno, as the (domain, code)
// a client reads: the server's reply code where it names the cause, else
// an errno, else kLoftwiseStreamErrorCurlBase + rc.
CFStreamError MapCurlResult(CURLcode rc, long reply, long osErrno);

} // namespace plat::streams
