// Opening an item's http or file URL with the user's default handler.
#pragma once

// Opens the URL given as terminated Mac Roman text; text that is not an
// absolute URL opens nothing. Nothing is reported.
void LaunchURL(const char* urlText);
