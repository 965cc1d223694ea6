// The pane's localized texts. A text is looked up in the table
// "LocalizedStrings" of the program that hosts the pane first, then in the
// pane's own bundle, and is the key itself when neither has it. Each key is
// looked up once per process.
#pragma once

#include <QString>

// The result lives as long as the process; callers do not release it.
const QString& LocalizedString(const QString& key);
// A UTF-8 key; a null one gives the empty text.
const QString& LocalizedString(const char* key);
