#include "link/port_names.h"

#include <QFileInfo>

#include "devices/connection_config.h"

namespace terval {

QString serialDevicePath(const QString& comName, const QDir& folder) {
    const QString name = normalizePortName(comName);
#ifdef Q_OS_WIN
    Q_UNUSED(folder);
    return name;
#else
    const QString local = folder.absoluteFilePath(name);
    if (QFileInfo::exists(local)) {
        return local;
    }
    return QStringLiteral("/dev/ttyS%1").arg(portNumberOf(name) - 1);
#endif
}

}  // namespace terval
