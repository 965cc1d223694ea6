// What the windows show, as text and as an image: for the demo on machines
// without a display, and for tests.
#pragma once

#include <QString>

namespace plat {

// Every visible window: title, texts, buttons, fields and progress bars.
QString DescribeWindows();
// The first visible top-level window as a PNG file.
bool SaveWindowImage(const QString& path);
// With LOFTWISE_SNAPSHOT=FILE set, prints DescribeWindows() and saves the
// image shortly after the event loop starts.
void ScheduleSnapshotFromEnvironment();

} // namespace plat
