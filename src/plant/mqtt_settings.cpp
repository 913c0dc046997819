#include "plant/mqtt_settings.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include "station/station_settings.h"

namespace terval {
namespace {

// A password file longer than this is not a password file.
constexpr qint64 kLongestPassword = 4096;

// A topic level may not be empty nor hold the separators and wildcards of MQTT topics.
bool isTopicLevel(const QString& s) {
    return !s.isEmpty() && !s.contains(QRegularExpression(QStringLiteral("[/+#\\x00-\\x1f]")));
}

// "10.0.0.5:1883", "broker.plant:8883", "broker" (port left as it was), "[::1]:1883".
bool parseHostPort(const QString& text, QString& host, int& port) {
    QString h = text.trimmed();
    QString p;
    if (h.startsWith(QLatin1Char('['))) {
        const qsizetype close = h.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return false;
        }
        p = h.mid(close + 1);
        h = h.mid(1, close - 1);
        if (!p.isEmpty() && !p.startsWith(QLatin1Char(':'))) {
            return false;
        }
        p = p.mid(1);
    } else if (h.count(QLatin1Char(':')) == 1) {
        p = h.section(QLatin1Char(':'), 1);
        h = h.section(QLatin1Char(':'), 0, 0);
    }
    if (h.isEmpty() || h.contains(QLatin1Char(' '))) {
        return false;
    }
    if (!p.isEmpty() || text.trimmed().endsWith(QLatin1Char(':'))) {
        bool ok = false;
        const int n = p.toInt(&ok);
        if (!ok || n < 1 || n > 65535) {
            return false;
        }
        port = n;
    }
    host = h;
    return true;
}

}  // namespace

MqttSettingsLoad loadMqttSettings(const QDir& folder, const MqttCommandLine& commandLine,
                                  const QString& hostName) {
    MqttSectionRules rules;
    rules.fileName = kSettingsFileName;
    rules.hostName = hostName;
    rules.errorLead = QStringLiteral("Публикация в MQTT выключена: ");
    return loadMqttSection(folder, rules, commandLine);
}

MqttSettingsLoad loadMqttSection(const QDir& folder, const MqttSectionRules& rules,
                                 const MqttCommandLine& commandLine) {
    const QString& fileName = rules.fileName;
    const QString& hostName = rules.hostName;
    MqttSettingsLoad load;
    MqttSettings s;
    const auto fail = [&load, &rules](const QString& why) {
        load.settings.reset();
        load.error = rules.errorLead + why;
        return load;
    };

    const QString path = folder.absoluteFilePath(fileName);
    QString iniHost;
    if (QFileInfo::exists(path)) {
        QSettings ini(path, QSettings::IniFormat);
        if (ini.status() != QSettings::NoError) {
            if (commandLine.hostPort.isEmpty()) {
                return load;  // the station's own settings report the file itself
            }
            return fail(QStringLiteral("файл %1 не прочитан.").arg(fileName));
        }
        ini.beginGroup(QStringLiteral("mqtt"));
        iniHost = ini.value(QStringLiteral("host")).toString().trimmed();
        if (ini.contains(QStringLiteral("port"))) {
            bool ok = false;
            s.port = ini.value(QStringLiteral("port")).toInt(&ok);
            if (!ok || s.port < 1 || s.port > 65535) {
                return fail(QStringLiteral("в файле %1 port=%2 не номер порта от 1 до 65535.")
                                .arg(fileName, ini.value(QStringLiteral("port")).toString()));
            }
        }
        s.clientId = ini.value(QStringLiteral("clientId")).toString().trimmed();
        s.prefix = ini.value(QStringLiteral("prefix"), s.prefix).toString().trimmed();
        s.station = ini.value(QStringLiteral("station")).toString().trimmed();
        s.user = ini.value(QStringLiteral("user")).toString();
        s.passwordFile = ini.value(QStringLiteral("passwordFile")).toString().trimmed();
        s.caFile = ini.value(QStringLiteral("caFile")).toString().trimmed();
        if (ini.contains(QStringLiteral("qos"))) {
            bool ok = false;
            s.qos = ini.value(QStringLiteral("qos")).toInt(&ok);
            if (!ok || s.qos < 0 || s.qos > 2) {
                return fail(QStringLiteral("в файле %1 qos=%2 не 0, 1 или 2.")
                                .arg(fileName, ini.value(QStringLiteral("qos")).toString()));
            }
        }
    }

    // The command line wins over the file.
    if (!commandLine.hostPort.isEmpty()) {
        if (!parseHostPort(commandLine.hostPort, s.host, s.port)) {
            return fail(
                QStringLiteral("«%1» не адрес брокера вида УЗЕЛ:ПОРТ.").arg(commandLine.hostPort));
        }
    } else if (!iniHost.isEmpty()) {
        if (!parseHostPort(iniHost, s.host, s.port)) {
            return fail(QStringLiteral("в файле %1 host=%2 не имя или адрес брокера.")
                            .arg(fileName, iniHost));
        }
    } else {
        return load;  // publishing is off: nothing to say
    }
    if (!commandLine.prefix.isEmpty()) {
        s.prefix = commandLine.prefix;
    }
    // The prefix may have levels of its own ("plant/hall1"); none of them empty or a wildcard.
    for (const QString& level : s.prefix.split(QLatin1Char('/'))) {
        if (!isTopicLevel(level)) {
            return fail(QStringLiteral("префикс тем «%1» не годится: уровни через «/», без "
                                       "пустых, без «+» и «#».")
                            .arg(s.prefix));
        }
    }
    if (rules.stationLevel) {
        if (s.station.isEmpty()) {
            s.station = hostName.trimmed();
        }
        if (!isTopicLevel(s.station)) {
            return fail(QStringLiteral("имя станции «%1» не годится для темы: задайте station в "
                                       "разделе [mqtt] файла %2.")
                            .arg(s.station, fileName));
        }
        if (s.clientId.isEmpty()) {
            s.clientId = QStringLiteral("terval-") + s.station;
        }
    } else {
        s.station.clear();
        if (s.clientId.isEmpty()) {
            s.clientId = rules.defaultClientId;
        }
    }
    if (s.clientId.toUtf8().size() > 65535) {
        return fail(QStringLiteral("clientId слишком длинный."));
    }
    if (!s.passwordFile.isEmpty()) {
        if (s.user.isEmpty()) {
            return fail(QStringLiteral("задан passwordFile, но не задан user."));
        }
        QFile file(QDir::isAbsolutePath(s.passwordFile) ? s.passwordFile
                                                        : folder.absoluteFilePath(s.passwordFile));
        if (!file.open(QIODevice::ReadOnly) || file.size() > kLongestPassword) {
            return fail(QStringLiteral("файл пароля %1 не прочитан.").arg(file.fileName()));
        }
        s.password = file.readAll();
        // The file's last line break is not part of the password.
        while (s.password.endsWith('\n') || s.password.endsWith('\r')) {
            s.password.chop(1);
        }
    }
    if (!s.caFile.isEmpty()) {
        const QString ca =
            QDir::isAbsolutePath(s.caFile) ? s.caFile : folder.absoluteFilePath(s.caFile);
        if (!QFileInfo(ca).isReadable()) {
            return fail(QStringLiteral("файл сертификата центра %1 не прочитан.").arg(ca));
        }
        s.caFile = ca;
    }
    load.settings = s;
    return load;
}

}  // namespace terval
