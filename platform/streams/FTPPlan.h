// What a transfer is asked to do (the stream's properties) and what curl is
// told to do for it, worked out and checked before anything is sent.
#pragma once

#include "platform/PropertyList.h"
#include "platform/Streams.h"

#include <QByteArray>
#include <QUrl>
#include <optional>
#include <string>

namespace plat::streams {

struct FTPOptions {
    std::optional<QString> user, password;
    std::optional<PlistDictionary> proxy;
    bool passive = true;
    bool persistent = true;
};

// Sets the option a stream property names; false for an unknown key or a
// value of the wrong kind.
bool SetFTPOption(FTPOptions& o, const QString& key, const PlistValue& value);

// Everything curl is told about one transfer, worked out (and checked)
// before anything is sent.
struct FTPPlan {
    std::string url;  // what curl dials, fully percent-encoded
    std::string user; // empty: anonymous
    std::string password;
    std::string proxy; // for curl: "" (none) or scheme://host:port
    bool httpTunnel = false;
    std::string key; // connection reuse key
};

// The plan for url; none, with error set to the Loftwise code that says why,
// when it cannot be carried out.
std::optional<FTPPlan> PlanTransfer(const QUrl& url, const FTPOptions& o, bool upload,
                                    CFStreamError* error);

} // namespace plat::streams
