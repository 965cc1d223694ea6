// Folder archiving: a folder becomes one zip archive of its contents in a
// private temporary place, to be uploaded as an ordinary file.
#pragma once

#include "platform/Files.h"

#include <QString>
#include <functional>

// What a caller sees of archiving, each part optional.
struct ZipArchiveCaller {
    std::function<void(const QString& folderName)> starting; // before the archiver runs
    std::function<void()> whileWaiting; // called while it runs (a window keeps drawing)
    QString failure;                    // set on failure: the text the log got
};

// Zips folder's contents into <temporary items>/Loftwise/<new UUID>/<name>.zip
// by running `ditto -c -k -X folder archive` and waiting for it to exit.
// True, with *archive naming the archive, when ditto exits with status 0;
// false on any failure, which is logged with the folder's name and the
// reason (and handed to the caller in caller->failure). On failure the
// UUID folder (0700) is removed with whatever the archiver left in it.
//
// The archiver is $LOFTWISE_DITTO when set, else /usr/bin/ditto, else the
// ditto program that travels with this code (next to the shared object or
// the executable that holds it).
bool ZipArchive(const FSRef* folder, FSRef* archive, ZipArchiveCaller* caller = nullptr);

// Removes an archive ZipArchive made, and its UUID folder, once its upload has
// ended however it ended: archives must not pile up in the temporary folder
// (the context-menu host seldom quits). Anything else is left alone.
void DiscardArchive(const FSRef* archive);
