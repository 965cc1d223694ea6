// The FTP listing parser: one line of a server's folder listing at a time,
// into a dictionary of the entry's type, mode, owner, group, size, date,
// name and link target. Understands Unix `ls -l` lines (GNU, BSD and the
// servers that imitate them), DOS/IIS lines, EPLF and MLSD/MLST lines.
//
// Also BSD's strmode, which glibc lacks, for showing a type and mode the
// way `ls -l` does.
#pragma once

#include "platform/MacTypes.h"
#include "platform/PropertyList.h"

#include <QDateTime>
#include <QString>
#include <optional>
#include <string_view>

// Keys of a parsed entry. Any of them may be absent.
extern const QString kCFFTPResourceType;  // integer: DT_* file type (dir 4, regular 8, link 10...)
extern const QString kCFFTPResourceMode;  // integer: permission bits 0..07777
extern const QString kCFFTPResourceOwner; // string
extern const QString kCFFTPResourceGroup; // string
extern const QString kCFFTPResourceSize;  // integer (64-bit); absent for device files
extern const QString kCFFTPResourceModDate; // date
extern const QString kCFFTPResourceName;    // string
extern const QString kCFFTPResourceLink;    // string: a symbolic link's target

// Parses the one line at the start of buffer. Returns the bytes consumed
// with the line end (LF, CR LF or a lone CR), 0 when the buffer holds no
// complete line yet, -1 for bad arguments (no buffer with a length, a
// negative length, no result pointer). *parsed is the entry for a line that
// describes one and nullopt for any other line (blank, "total", headers,
// junk), whose bytes are consumed all the same.
//
// A CR that ends the buffer counts as a line end; when the LF of a CR LF
// arrives with the next read, it parses as a blank line and adds nothing.
// The allocator is ignored.
CFIndex CFFTPCreateParsedResourceListing(void* allocator, const UInt8* buffer, CFIndex bufferLength,
                                         std::optional<PlistDictionary>* parsed);

// Writes the `ls -l` text of a mode: a type letter (- d l c b p s w, ? for
// others), nine permission letters with s/S and t/T for the special bits,
// and a space (where BSD shows '+' for ACLs), then a terminator: 12 bytes.
// mode holds the type in its S_IFMT bits, i.e. DT_* type × 4096 + permissions.
void strmode(int mode, char* p);

namespace plat {

// One listing line without its line end. Unix dates that carry a time and
// no year are placed in the year that makes them the latest such date not
// more than six months after now.
std::optional<PlistDictionary> ParseFTPListingLine(std::string_view line, const QDateTime& now);

} // namespace plat
