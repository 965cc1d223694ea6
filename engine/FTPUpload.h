// Transfers: upload of one file and listing of the server folder.
#pragma once

// Starts a listing of the server folder into the log, on a worker thread.
void LogDirectoryListing();
