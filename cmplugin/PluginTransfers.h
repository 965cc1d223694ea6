// The plug-in's transfers: the destination a menu item's ftp URL names, one
// file sent with its steps in the log, and the folder listed after it.
#pragma once

#include "engine/FTPUpload.h"

// Host (and port), account and folder of an item URL, the folder path as
// written (escapes kept; "/" when it has none). What is missing for an
// upload is its trouble.
Destination ItemDestination(const QUrl& url);

// Sends one file to destination: the date and name line first (the log
// opened in the viewer when the settings say so), its percentages, and
// after a success the folder's listing when the settings ask for it.
TransferOutcome UploadItem(const FSRef* file, const Destination& destination);
