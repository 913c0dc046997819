#include "historian/historian_config.h"

#include <arpa/inet.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSettings>
#include <QUrl>

namespace terval {
namespace {

constexpr qint64 kLongestPassword = 4096;
constexpr int kLargestSpoolMb = 1024 * 1024;  // a terabyte
constexpr int kLongestRetentionMonths = 1200;
constexpr int kLongestConnectTimeout = 300;
constexpr int kMostConnections = 10000;

// Every message names the program, so that one line in the journal of systemd is enough.
const QString kLead = QStringLiteral("terval-plant: ");

bool validAddress(const QString& text) {
    const QByteArray a = text.toLatin1();
    unsigned char buffer[16];
    return inet_pton(AF_INET, a.constData(), buffer) == 1 ||
           inet_pton(AF_INET6, a.constData(), buffer) == 1;
}

// A host name or an address: letters, digits, dots, dashes, underscores, or an IPv6 address.
bool validHost(const QString& host) {
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9_.-]{1,253}$"));
    return name.match(host).hasMatch() || validAddress(host);
}

bool parsePort(const QString& text, int& port) {
    bool ok = false;
    const int n = text.trimmed().toInt(&ok);
    if (!ok || n < 1 || n > 65535) {
        return false;
    }
    port = n;
    return true;
}

// A whole number within [low, high] from the ini file, or the message naming the key.
bool readNumber(QSettings& ini, const QString& key, int low, int high, int& value, QString& error,
                const QString& fileName) {
    if (!ini.contains(key)) {
        return true;
    }
    const QString text = ini.value(key).toString().trimmed();
    bool ok = false;
    const int n = text.toInt(&ok);
    if (!ok || n < low || n > high) {
        error = QStringLiteral("в файле %1 %2/%3=%4 не число от %5 до %6.")
                    .arg(fileName, ini.group(), key, text)
                    .arg(low)
                    .arg(high);
        return false;
    }
    value = n;
    return true;
}

QString resolved(const QDir& folder, const QString& path) {
    return path.isEmpty() ? path : QDir::cleanPath(folder.absoluteFilePath(path));
}

// The password is the file's content without its last line break; the file must be small.
bool readPassword(const QString& path, QByteArray& password, QString& error) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("файл пароля %1 не прочитан.").arg(path);
        return false;
    }
    if (file.size() > kLongestPassword) {
        error = QStringLiteral("файл пароля %1 длиннее %2 байт: это не файл пароля.")
                    .arg(path)
                    .arg(kLongestPassword);
        return false;
    }
    password = file.readAll();
    while (password.endsWith('\n') || password.endsWith('\r')) {
        password.chop(1);
    }
    return true;
}

bool readableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

}  // namespace

PlantDefaults PlantDefaults::fromEnvironment() {
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    PlantDefaults d;
    d.workingFolder = QDir::currentPath();
    // systemd may list several folders separated by colons; ours is the first.
    d.configurationDirectory =
        env.value(QStringLiteral("CONFIGURATION_DIRECTORY")).section(QLatin1Char(':'), 0, 0);
    d.stateDirectory = env.value(QStringLiteral("STATE_DIRECTORY")).section(QLatin1Char(':'), 0, 0);
    return d;
}

bool parseDatabaseUrl(const QString& url, DatabaseSettings& database, QString* error) {
    const auto fail = [&](const QString& why) {
        if (error != nullptr) {
            *error = QStringLiteral(
                         "«%1» не адрес базы вида postgresql://ПОЛЬЗОВАТЕЛЬ@УЗЕЛ:ПОРТ/"
                         "БАЗА: %2")
                         .arg(url, why);
        }
        return false;
    };
    QString rest = url.trimmed();
    if (rest.startsWith(QStringLiteral("postgresql://"))) {
        rest = rest.mid(13);
    } else if (rest.startsWith(QStringLiteral("postgres://"))) {
        rest = rest.mid(11);
    } else {
        return fail(QStringLiteral("нужна схема postgresql://."));
    }
    if (rest.contains(QLatin1Char('?')) || rest.contains(QLatin1Char('#'))) {
        return fail(QStringLiteral("параметры после «?» не принимаются."));
    }
    const qsizetype at = rest.lastIndexOf(QLatin1Char('@'));
    if (at <= 0) {
        return fail(QStringLiteral("не указан пользователь."));
    }
    const QString user = QUrl::fromPercentEncoding(rest.left(at).toUtf8());
    if (user.contains(QLatin1Char(':'))) {
        // A password on the command line is shown by ps to everyone on the computer.
        return fail(
            QStringLiteral("пароль в адресе не принимается, задайте его файлом "
                           "(--db-password-file или passwordFile в [database])."));
    }
    rest = rest.mid(at + 1);
    const qsizetype slash = rest.indexOf(QLatin1Char('/'));
    if (slash < 0 || slash == rest.size() - 1) {
        return fail(QStringLiteral("не указана база."));
    }
    const QString name = QUrl::fromPercentEncoding(rest.mid(slash + 1).toUtf8());
    if (name.contains(QLatin1Char('/'))) {
        return fail(QStringLiteral("имя базы не может содержать «/»."));
    }
    QString hostPort = rest.left(slash);
    QString host = hostPort;
    int port = 5432;
    if (hostPort.startsWith(QLatin1Char('['))) {
        const qsizetype close = hostPort.indexOf(QLatin1Char(']'));
        if (close < 0) {
            return fail(QStringLiteral("нет «]» после адреса IPv6."));
        }
        host = hostPort.mid(1, close - 1);
        const QString after = hostPort.mid(close + 1);
        if (!after.isEmpty() &&
            (!after.startsWith(QLatin1Char(':')) || !parsePort(after.mid(1), port))) {
            return fail(QStringLiteral("порт не число от 1 до 65535."));
        }
        if (!validAddress(host)) {
            return fail(QStringLiteral("«%1» не адрес IPv6.").arg(host));
        }
    } else {
        const qsizetype colon = hostPort.indexOf(QLatin1Char(':'));
        if (colon >= 0) {
            host = hostPort.left(colon);
            if (!parsePort(hostPort.mid(colon + 1), port)) {
                return fail(QStringLiteral("порт не число от 1 до 65535."));
            }
        }
        if (host.isEmpty()) {
            return fail(QStringLiteral("не указан узел."));
        }
        if (!validHost(host)) {
            return fail(QStringLiteral("«%1» не имя или адрес узла.").arg(host));
        }
    }
    if (user.trimmed().isEmpty() || user.contains(QLatin1Char(' '))) {
        return fail(QStringLiteral("не указан пользователь."));
    }
    database.host = host;
    database.port = port;
    database.user = user;
    database.name = name;
    return true;
}

bool parseHttpOption(const QString& text, WebSettings& web, QString* error) {
    const QString t = text.trimmed();
    QString address = web.address;
    QString portText = t;
    const qsizetype colon = t.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        address = t.left(colon);
        portText = t.mid(colon + 1);
        if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']'))) {
            address = address.mid(1, address.size() - 2);
        }
    }
    int port = 0;
    if (!parsePort(portText, port)) {
        if (error != nullptr) {
            *error = QStringLiteral(
                         "«%1» не порт веб-просмотра вида [АДРЕС:]ПОРТ (порт от 1 до "
                         "65535).")
                         .arg(text);
        }
        return false;
    }
    if (!validAddress(address)) {
        if (error != nullptr) {
            *error = QStringLiteral("«%1» не адрес IP для веб-просмотра.").arg(address);
        }
        return false;
    }
    web.enabled = true;
    web.address = address;
    web.port = port;
    return true;
}

HistorianConfigLoad loadHistorianConfig(const PlantCommandLine& commandLine,
                                        const PlantDefaults& defaults) {
    HistorianConfigLoad load;
    const auto fail = [&load](const QString& why) {
        load.settings.reset();
        load.error = kLead + why;
        return load;
    };
    const QDir working(defaults.workingFolder);

    // The file: --config, else terval-plant.ini where systemd keeps the service's configuration,
    // else in the working folder. Only one named on the command line must exist.
    QString path;
    if (!commandLine.config.isEmpty()) {
        path = resolved(working, commandLine.config);
        if (!QFileInfo(path).isFile()) {
            return fail(QStringLiteral("файл настроек %1 не найден.").arg(path));
        }
    } else {
        const QString dir = defaults.configurationDirectory.isEmpty()
                                ? defaults.workingFolder
                                : defaults.configurationDirectory;
        path = QDir(dir).absoluteFilePath(kPlantSettingsFileName);
        if (!QFileInfo(path).isFile()) {
            path.clear();
        }
    }
    if (!path.isEmpty() && !QFileInfo(path).isReadable()) {
        return fail(QStringLiteral("файл настроек %1 не читается.").arg(path));
    }
    load.configFile = path;
    const QFileInfo pathInfo(path);
    const QDir iniFolder = path.isEmpty() ? working : pathInfo.absoluteDir();
    const QString fileName = path.isEmpty() ? kPlantSettingsFileName : pathInfo.fileName();

    HistorianSettings s;
    QString error;

    std::optional<QSettings> ini;
    if (!path.isEmpty()) {
        ini.emplace(path, QSettings::IniFormat);
        if (ini->status() != QSettings::NoError) {
            return fail(QStringLiteral("файл настроек %1 не прочитан: ошибка формата.").arg(path));
        }
    }

    // [mqtt]: the station's keys and checks.
    MqttSectionRules rules;
    rules.fileName = fileName;
    rules.stationLevel = false;
    rules.defaultClientId = QStringLiteral("terval-plant");
    rules.errorLead = QStringLiteral("брокер MQTT: ");
    // The plant's broker may be named on the command line alone, with no file at all.
    const QDir mqttFolder = path.isEmpty() ? QDir(QStringLiteral("/nonexistent")) : iniFolder;
    const MqttSettingsLoad mqtt = loadMqttSection(
        mqttFolder, rules, MqttCommandLine{commandLine.mqtt, commandLine.mqttPrefix});
    if (!mqtt.settings) {
        if (!mqtt.error.isEmpty()) {
            return fail(mqtt.error);
        }
        return fail(QStringLiteral("не задан брокер MQTT: --mqtt УЗЕЛ:ПОРТ или host в разделе "
                                   "[mqtt] файла %1.")
                        .arg(fileName));
    }
    s.broker = *mqtt.settings;

    // [database]
    DatabaseSettings& db = s.database;
    if (ini) {
        ini->beginGroup(QStringLiteral("database"));
        db.host = ini->value(QStringLiteral("host")).toString().trimmed();
        if (!readNumber(*ini, QStringLiteral("port"), 1, 65535, db.port, error, fileName) ||
            !readNumber(*ini, QStringLiteral("connectTimeout"), 1, kLongestConnectTimeout,
                        db.connectTimeoutSeconds, error, fileName)) {
            return fail(error);
        }
        db.user = ini->value(QStringLiteral("user")).toString().trimmed();
        db.name = ini->value(QStringLiteral("name")).toString().trimmed();
        db.passwordFile =
            resolved(iniFolder, ini->value(QStringLiteral("passwordFile")).toString().trimmed());
        ini->endGroup();
        if (!db.host.isEmpty() && !validHost(db.host)) {
            return fail(QStringLiteral("в файле %1 database/host=%2 не имя или адрес узла.")
                            .arg(fileName, db.host));
        }
    }
    if (!commandLine.db.isEmpty() && !parseDatabaseUrl(commandLine.db, db, &error)) {
        return fail(error);
    }
    if (!commandLine.dbPasswordFile.isEmpty()) {
        db.passwordFile = resolved(working, commandLine.dbPasswordFile);
    }
    if (db.host.isEmpty() || db.user.isEmpty() || db.name.isEmpty()) {
        return fail(QStringLiteral("не задана база PostgreSQL: --db postgresql://ПОЛЬЗОВАТЕЛЬ@"
                                   "УЗЕЛ:ПОРТ/БАЗА или host, user и name в разделе [database] "
                                   "файла %1.")
                        .arg(fileName));
    }
    if (!db.passwordFile.isEmpty() && !readPassword(db.passwordFile, db.password, error)) {
        return fail(QStringLiteral("база PostgreSQL: ") + error);
    }

    // [spool]
    int limitMb = static_cast<int>(s.spoolLimitBytes >> 20);
    if (ini) {
        ini->beginGroup(QStringLiteral("spool"));
        s.spoolFolder =
            resolved(iniFolder, ini->value(QStringLiteral("folder")).toString().trimmed());
        if (!readNumber(*ini, QStringLiteral("limitMB"), 1, kLargestSpoolMb, limitMb, error,
                        fileName)) {
            return fail(error);
        }
        ini->endGroup();
    }
    s.spoolLimitBytes = qint64(limitMb) << 20;
    if (s.spoolFolder.isEmpty()) {
        s.spoolFolder =
            defaults.stateDirectory.isEmpty()
                ? iniFolder.absoluteFilePath(QStringLiteral("terval-plant-spool"))
                : QDir(defaults.stateDirectory).absoluteFilePath(QStringLiteral("spool"));
    }
    const QFileInfo spoolInfo(s.spoolFolder);
    if (spoolInfo.exists() && !spoolInfo.isDir()) {
        return fail(QStringLiteral("папка очереди %1 — это файл, а не папка.").arg(s.spoolFolder));
    }

    // [retention]
    if (ini) {
        ini->beginGroup(QStringLiteral("retention"));
        if (!readNumber(*ini, QStringLiteral("months"), 0, kLongestRetentionMonths,
                        s.retentionMonths, error, fileName)) {
            return fail(error);
        }
        ini->endGroup();
    }

    // [http]
    WebSettings& web = s.web;
    if (ini) {
        ini->beginGroup(QStringLiteral("http"));
        const QString address = ini->value(QStringLiteral("address")).toString().trimmed();
        if (!address.isEmpty()) {
            if (!validAddress(address)) {
                return fail(QStringLiteral("в файле %1 http/address=%2 не адрес IP.")
                                .arg(fileName, address));
            }
            web.address = address;
        }
        if (ini->contains(QStringLiteral("port"))) {
            if (!readNumber(*ini, QStringLiteral("port"), 1, 65535, web.port, error, fileName)) {
                return fail(error);
            }
            web.enabled = true;
        }
        if (!readNumber(*ini, QStringLiteral("maxConnections"), 1, kMostConnections,
                        web.maxConnections, error, fileName)) {
            return fail(error);
        }
        web.certificateFile =
            resolved(iniFolder, ini->value(QStringLiteral("certificate")).toString().trimmed());
        web.keyFile = resolved(iniFolder, ini->value(QStringLiteral("key")).toString().trimmed());
        web.passwordFile =
            resolved(iniFolder, ini->value(QStringLiteral("passwordFile")).toString().trimmed());
        ini->endGroup();
    }
    if (!commandLine.http.isEmpty() && !parseHttpOption(commandLine.http, web, &error)) {
        return fail(error);
    }
    if (web.certificateFile.isEmpty() != web.keyFile.isEmpty()) {
        return fail(QStringLiteral("в файле %1 для HTTPS нужны оба ключа раздела [http]: "
                                   "certificate и key.")
                        .arg(fileName));
    }
    for (const QString& file : {web.certificateFile, web.keyFile, web.passwordFile}) {
        if (!file.isEmpty() && !readableFile(file)) {
            return fail(QStringLiteral("веб-просмотр: файл %1 не прочитан.").arg(file));
        }
    }

    load.settings = s;
    return load;
}

}  // namespace terval
