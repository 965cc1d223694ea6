// The one Qt Designer loader behind every nib: widgets of classes registered
// with plat::RegisterNibClass are made by their factories.
#pragma once

#include "platform/ui/PreferencePane.h"

#include <QString>

class QWidget;

namespace plat::nib {

// Loads a .ui file; texts pass through translate when it is given. Null,
// with the reason in *error, when the file is missing or not a form.
QWidget* LoadUiFile(const QString& path, const NibTranslator& translate = {},
                    QString* error = nullptr);

} // namespace plat::nib
