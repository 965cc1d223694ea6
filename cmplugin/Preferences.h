// Readers of the plug-in's switches in its settings domain
// (com.brisk-alder.LoftwiseCM), which the settings pane writes. Each one
// synchronises the domain first, so what the pane saved last counts, and
// reads on when the key is absent or not a Boolean. Nothing is cached.
#pragma once

#include "platform/MacTypes.h"

Boolean ShowPreferences();           // "ShowPreferences": the "Preferences..." item
Boolean ShowHelp();                  // "ShowHelp": the "Help..." item
Boolean ShowGroupNames();            // "ShowGroupNames": group names as section headers
Boolean OpenConsoleLog();            // "OpenConsoleLog": open the log when an upload starts
Boolean ShouldLogDirectoryListing(); // "DisplayDirectoryListing": list the folder after an upload
Boolean ShouldZipCompressFolders();  // "ZipCompressFolders"
