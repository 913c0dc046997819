#include "alarms/alarm_settings.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>
#include <QVariant>
#include <optional>

#include "station/station_settings.h"

namespace terval {
namespace {

const QString kSound = QStringLiteral("alarms/sound");
const QString kVolume = QStringLiteral("alarms/volume");

// QSettings reads "sound=false" as a string; toBool() would take any word but "false" and "0" as
// on, and so a typo would quietly pass. These are the words people write in ini files.
std::optional<bool> switchValue(const QString& text) {
    const QString t = text.trimmed().toLower();
    if (t == u"true" || t == u"1" || t == u"yes" || t == u"on") {
        return true;
    }
    if (t == u"false" || t == u"0" || t == u"no" || t == u"off") {
        return false;
    }
    return std::nullopt;
}

// The value as written: QSettings splits "volume=1,5" into a list.
QString writtenText(const QVariant& value) {
    return value.typeId() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                    : value.toString();
}

}  // namespace

AlarmSettingsLoad loadAlarmSettings(const QDir& folder) {
    AlarmSettingsLoad load;
    const QString path = folder.absoluteFilePath(kSettingsFileName);
    if (!QFileInfo::exists(path)) {
        return load;
    }
    QSettings ini(path, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        return load;
    }
    QStringList errors;
    if (ini.contains(kSound)) {
        const QString text = writtenText(ini.value(kSound));
        if (const std::optional<bool> on = switchValue(text)) {
            load.settings.enabled = *on;
        } else {
            // An alarm station that cannot tell whether to sound sounds.
            errors << QStringLiteral("sound=%1 не true или false; звук аварийных сигналов включён")
                          .arg(text);
        }
    }
    if (ini.contains(kVolume)) {
        const QString text = writtenText(ini.value(kVolume));
        bool ok = false;
        const int percent = text.trimmed().toInt(&ok);
        if (!ok || percent < 0 || percent > 100) {
            errors << QStringLiteral("volume=%1 не число от 0 до 100; громкость %2")
                          .arg(text)
                          .arg(load.settings.volumePercent);
        } else {
            load.settings.volumePercent = percent;
        }
    }
    if (!errors.isEmpty()) {
        load.error = QStringLiteral("В файле %1, раздел [alarms]: %2.")
                         .arg(kSettingsFileName, errors.join(QStringLiteral("; ")));
    }
    return load;
}

}  // namespace terval
