// Open Documents from outside the process. Files named on the command line
// at launch arrive as one Open Documents event; a second launch of the same
// bundle forwards its files to the running instance over a local socket
// (named from the bundle's identity in $XDG_RUNTIME_DIR) and exits.
#pragma once

#include <QByteArrayList>
#include <QString>
#include <QStringList>

namespace plat {

enum class LaunchRole {
    Primary,   // this process serves the bundle; launch files are queued
    Forwarded, // another instance took the files: exit with status 0
};

// Call once the application object exists and before the event loop runs.
// Relative paths are taken from the current directory. Paths are the file
// system's bytes (as in argv), so names that are not UTF-8 arrive whole.
LaunchRole StartAppleEventDelivery(const QByteArrayList& files);
LaunchRole StartAppleEventDelivery(const QStringList& files);

// Stops taking files from later launches, before the process ends on its
// own: a later launch then finds no instance, or no answer, and opens its
// files itself. Files already taken stay queued as events.
void StopAppleEventDelivery();

// Queues an Open Documents event for these paths (alias items, in order);
// paths that name nothing are left out with a line on standard error.
// Returns the number of items queued.
int PostOpenDocuments(const QByteArrayList& paths);
int PostOpenDocuments(const QStringList& paths);

// The local socket this process listens on (or would).
QString InstanceSocketPath();

} // namespace plat
