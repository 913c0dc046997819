#include "app/station_settings.h"

#include <QFileInfo>
#include <QSettings>

#include "devices/error_text.h"

namespace terval {
namespace {

const QString kConnectAtStart = QStringLiteral("link/connectAtStart");

}  // namespace

SettingsLoad loadStationSettings(const QDir& folder) {
    SettingsLoad load;
    const QString path = folder.absoluteFilePath(kSettingsFileName);
    if (!QFileInfo::exists(path)) {
        return load;
    }
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        load.error = QStringLiteral("Не удалось прочитать файл %1: %2.")
                         .arg(kSettingsFileName,
                              ini.status() == QSettings::FormatError
                                  ? QStringLiteral("файл повреждён")
                                  : QStringLiteral("нет права на чтение, или файл занят"));
        return load;
    }
    load.settings.connectAtStart = ini.value(kConnectAtStart, false).toBool();
    return load;
}

FileError saveStationSettings(const QDir& folder, const StationSettings& settings) {
    const QString path = folder.absoluteFilePath(kSettingsFileName);
    QSettings ini(path, QSettings::IniFormat);
    ini.setValue(kConnectAtStart, settings.connectAtStart);
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        return QStringLiteral("Не удалось записать файл %1: %2.")
            .arg(kSettingsFileName, fileErrorText(QFileDevice::WriteError, path));
    }
    return std::nullopt;
}

}  // namespace terval
