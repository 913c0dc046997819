#include "dcs/dcs_settings.h"

#include <QFileInfo>
#include <QSettings>

#include "station/station_settings.h"

namespace terval {
namespace {

bool parsePort(const QString& text, int& port) {
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    if (!ok || n < 1 || n > 65535) {
        return false;
    }
    port = n;
    return true;
}

// "1502", "127.0.0.1:1502".
bool parseAddressPort(const QString& text, QString& address, int& port) {
    const QString t = text.trimmed();
    const qsizetype colon = t.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        const QString a = t.left(colon).trimmed();
        if (!dcs::parseIpv4(a.toStdString())) {
            return false;
        }
        address = a;
    }
    return parsePort(t.mid(colon + 1), port);
}

}  // namespace

DcsServerSettingsLoad loadDcsServerSettings(const QDir& folder,
                                            const DcsServerCommandLine& commandLine) {
    DcsServerSettingsLoad load;
    DcsServerSettings s;
    const auto fail = [&load](const QString& why) {
        load.settings.reset();
        load.error = QStringLiteral("Modbus-сервер выключен: ") + why;
        return load;
    };
    const QString path = folder.absoluteFilePath(kSettingsFileName);
    bool on = false;
    if (QFileInfo::exists(path)) {
        QSettings ini(path, QSettings::IniFormat);
        if (ini.status() != QSettings::NoError) {
            if (commandLine.addressPort.isEmpty()) {
                return load;  // the station's own settings report the file itself
            }
            return fail(QStringLiteral("файл %1 не прочитан.").arg(kSettingsFileName));
        }
        ini.beginGroup(QStringLiteral("modbus-server"));
        // A list written with commas comes back from QSettings as a list: joined again.
        const auto text = [&ini](const char* key) {
            return ini.value(QLatin1String(key)).toStringList().join(QLatin1Char(',')).trimmed();
        };
        if (ini.contains(QStringLiteral("address"))) {
            s.address = text("address");
            if (!dcs::parseIpv4(s.address.toStdString())) {
                return fail(QStringLiteral("в файле %1 address=%2 не адрес IPv4 этого компьютера "
                                           "(0.0.0.0 — все его адреса).")
                                .arg(kSettingsFileName, s.address));
            }
        }
        if (ini.contains(QStringLiteral("port"))) {
            on = true;
            if (!parsePort(text("port"), s.port)) {
                return fail(QStringLiteral("в файле %1 port=%2 не номер порта от 1 до 65535.")
                                .arg(kSettingsFileName, text("port")));
            }
        }
        if (ini.contains(QStringLiteral("unit"))) {
            const QString unit = text("unit");
            bool ok = false;
            const int n = unit.toInt(&ok);
            if (unit.compare(QStringLiteral("any"), Qt::CaseInsensitive) != 0 && !unit.isEmpty()) {
                if (!ok || n < 0 || n > 255) {
                    return fail(QStringLiteral("в файле %1 unit=%2 не идентификатор от 0 до 255 "
                                               "и не any.")
                                    .arg(kSettingsFileName, unit));
                }
                s.unit = static_cast<uint8_t>(n);
            }
        }
        s.allowedText = text("allowedClients");
        for (const QString& part : s.allowedText.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            const auto network = dcs::parseClientNetwork(part.trimmed().toStdString());
            if (!network) {
                return fail(QStringLiteral("в файле %1 allowedClients: «%2» не сеть вида "
                                           "10.1.0.0/16 и не адрес IPv4.")
                                .arg(kSettingsFileName, part.trimmed()));
            }
            s.allowed.push_back(*network);
        }
        if (ini.contains(QStringLiteral("maxConnections"))) {
            bool ok = false;
            s.maxConnections = text("maxConnections").toInt(&ok);
            if (!ok || s.maxConnections < 1 || s.maxConnections > kMostDcsConnections) {
                return fail(QStringLiteral("в файле %1 maxConnections=%2 не число от 1 до %3.")
                                .arg(kSettingsFileName, text("maxConnections"))
                                .arg(kMostDcsConnections));
            }
        }
    }
    if (!commandLine.addressPort.isEmpty()) {
        on = true;
        if (!parseAddressPort(commandLine.addressPort, s.address, s.port)) {
            return fail(QStringLiteral("«%1» не порт или АДРЕС:ПОРТ (адрес IPv4, порт от 1 до "
                                       "65535).")
                            .arg(commandLine.addressPort));
        }
    }
    if (!on) {
        return load;
    }
    load.settings = s;
    return load;
}

}  // namespace terval
