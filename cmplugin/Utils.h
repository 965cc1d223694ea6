// Small helpers of the context-menu plug-in.
#pragma once

#include <QString>
#include <optional>

// The plug-in's identifier: its bundle's, its settings domain and the pane's.
inline constexpr char kLoftwiseCMIdentifier[] = "com.brisk-alder.LoftwiseCM";

// The current date and time in the user's locale, long date and long time
// (e.g. "Monday, December 7, 2026 6:56:45 AM CET"); nullopt when the locale
// gives no text.
std::optional<QString> CurrentDateString();
