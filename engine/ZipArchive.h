// Folder archiving: a folder becomes one zip archive of its contents in a
// private temporary place, to be uploaded as an ordinary file.
#pragma once

#include "platform/Files.h"

// Zips folder's contents into <temporary items>/Loftwise/<new UUID>/<name>.zip
// by running `ditto -c -k -X folder archive` and waiting for it to exit (the
// droplet keeps its window drawn meanwhile and shows "Zip archiving: <name>").
// True, with *archive naming the archive, when ditto exits with status 0;
// false on any failure, which is logged with the folder's name and the
// reason (and, in the droplet, shown in the error alert). On failure the
// UUID folder (0700) is removed with whatever the archiver left in it.
//
// The archiver is $LOFTWISE_DITTO when set, else /usr/bin/ditto, else the
// ditto program that travels with this code (next to the shared object or
// the executable that holds it).
bool ZipArchive(const FSRef* folder, FSRef* archive);

// Removes an archive ZipArchive made, and its UUID folder, once its upload has
// ended however it ended: archives must not pile up in the temporary folder
// (the context-menu host seldom quits). Anything else is left alone.
void DiscardArchive(const FSRef* archive);
