#pragma once

#include <QDir>
#include <QString>

namespace terval {

// The station names its ports COM1 to COM96 everywhere. On Linux COMn is the file COMn in the
// working folder when it exists (a link to /dev/ttyUSB0, say, or to one end of a pty pair),
// otherwise /dev/ttyS{n-1}. On Windows the name is the system's own.
QString serialDevicePath(const QString& comName, const QDir& folder);

}  // namespace terval
