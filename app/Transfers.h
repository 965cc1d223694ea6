// The droplet's transfers: the destination from the settings sheet, one file
// sent while the window shows its progress, and the folder listed into the
// log.
#pragma once

#include "engine/FTPUpload.h"

#include <optional>

// The destination the settings give; nullopt, with a log line ("No host."
// ...), when a setting cannot be read at all.
std::optional<Destination> CurrentDestination(bool forListing = false);

// Sends one file of a pass under remoteName (empty: its own name), showing
// its progress on the main line and keeping the window alive; Stop and a
// second Quit end it. Shows nothing on failure: the pass reports.
TransferOutcome UploadFile(const FSRef* file, const QByteArray& remoteName);

// Starts a listing of the server folder into the log, on a worker thread.
void LogDirectoryListing();

// Beeps and shows a stop alert "An error occurred:" with text, which blocks
// nothing; with offerSettings a second button opens the settings sheet.
void ReportErrorAlert(const QString& text, bool offerSettings = false);

// Ends the upload in flight at once (a second Quit), its partial file logged.
void StopUploadInFlight();
