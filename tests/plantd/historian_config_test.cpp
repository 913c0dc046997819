// terval-plant's settings: terval-plant.ini and the command line that wins over it, every value
// checked, in one table of good and bad cases.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <functional>

#include "historian/historian_config.h"

namespace terval {
namespace {

struct Case {
    const char* name;
    const char* ini;  // nullptr: no file at all
    PlantCommandLine commandLine;
    // Empty: must load, and `check` holds; otherwise the error must contain it.
    const char* error;
    std::function<void(const HistorianSettings&, const QString& folder)> check;
};

const char* kFullIni = R"([mqtt]
host=broker.plant.local:8883
prefix=plant/hall1
user=historian
passwordFile=mqtt-password
[database]
host=db.plant.local
port=5433
user=terval_plant
name=terval
passwordFile=/FOLDER/db-password
connectTimeout=9
[spool]
folder=spool-here
limitMB=64
[retention]
months=36
[http]
address=0.0.0.0
port=8080
maxConnections=12
)";

const QString kDbUrl = QStringLiteral("postgresql://terval_plant@127.0.0.1:5432/terval");

void writeFile(const QString& path, const QByteArray& content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(content);
}

std::vector<Case> cases() {
    using S = HistorianSettings;
    return {
        {"command line alone",
         nullptr,
         {QStringLiteral("127.0.0.1:1884"), QStringLiteral("plant"), kDbUrl, {}, {}, {}},
         "",
         [](const S& s, const QString& folder) {
             EXPECT_EQ(s.broker.host, QStringLiteral("127.0.0.1"));
             EXPECT_EQ(s.broker.port, 1884);
             EXPECT_EQ(s.broker.prefix, QStringLiteral("plant"));
             EXPECT_EQ(s.broker.clientId, QStringLiteral("terval-plant"));
             EXPECT_TRUE(s.broker.station.isEmpty());
             EXPECT_EQ(s.database.host, QStringLiteral("127.0.0.1"));
             EXPECT_EQ(s.database.port, 5432);
             EXPECT_EQ(s.database.user, QStringLiteral("terval_plant"));
             EXPECT_EQ(s.database.name, QStringLiteral("terval"));
             EXPECT_TRUE(s.database.password.isEmpty());
             EXPECT_EQ(s.database.url(), kDbUrl);
             EXPECT_EQ(s.spoolFolder, folder + QStringLiteral("/terval-plant-spool"));
             EXPECT_EQ(s.spoolLimitBytes, qint64(1) << 30);
             EXPECT_EQ(s.retentionMonths, 0);
             EXPECT_FALSE(s.web.enabled);
         }},
        {"every section of the file",
         kFullIni,
         {},
         "",
         [](const S& s, const QString& folder) {
             EXPECT_EQ(s.broker.brokerName(), QStringLiteral("broker.plant.local:8883"));
             EXPECT_EQ(s.broker.prefix, QStringLiteral("plant/hall1"));
             EXPECT_EQ(s.broker.user, QStringLiteral("historian"));
             EXPECT_EQ(s.broker.password, QByteArray("mqtt-secret"));
             EXPECT_EQ(s.database.host, QStringLiteral("db.plant.local"));
             EXPECT_EQ(s.database.port, 5433);
             EXPECT_EQ(s.database.password, QByteArray("db-secret"));
             EXPECT_EQ(s.database.connectTimeoutSeconds, 9);
             EXPECT_EQ(s.spoolFolder, folder + QStringLiteral("/spool-here"));
             EXPECT_EQ(s.spoolLimitBytes, qint64(64) << 20);
             EXPECT_EQ(s.retentionMonths, 36);
             EXPECT_TRUE(s.web.enabled);
             EXPECT_EQ(s.web.address, QStringLiteral("0.0.0.0"));
             EXPECT_EQ(s.web.port, 8080);
             EXPECT_EQ(s.web.maxConnections, 12);
         }},
        {"the command line wins over the file",
         kFullIni,
         {QStringLiteral("10.0.0.5:1883"),
          QStringLiteral("other"),
          QStringLiteral("postgres://reader@[::1]:6000/archive"),
          QStringLiteral("other-password"),
          QStringLiteral("9090"),
          {}},
         "",
         [](const S& s, const QString&) {
             EXPECT_EQ(s.broker.brokerName(), QStringLiteral("10.0.0.5:1883"));
             EXPECT_EQ(s.broker.prefix, QStringLiteral("other"));
             EXPECT_EQ(s.database.host, QStringLiteral("::1"));
             EXPECT_EQ(s.database.port, 6000);
             EXPECT_EQ(s.database.user, QStringLiteral("reader"));
             EXPECT_EQ(s.database.name, QStringLiteral("archive"));
             EXPECT_EQ(s.database.password, QByteArray("other"));
             // The port alone keeps the file's address.
             EXPECT_EQ(s.web.address, QStringLiteral("0.0.0.0"));
             EXPECT_EQ(s.web.port, 9090);
             EXPECT_EQ(s.database.connectTimeoutSeconds, 9);
         }},
        {"--http with an address",
         nullptr,
         {QStringLiteral("127.0.0.1"), {}, kDbUrl, {}, QStringLiteral("127.0.0.2:8443"), {}},
         "",
         [](const S& s, const QString&) {
             EXPECT_EQ(s.broker.port, 1883);
             EXPECT_EQ(s.broker.prefix, QStringLiteral("terval"));
             EXPECT_TRUE(s.web.enabled);
             EXPECT_EQ(s.web.address, QStringLiteral("127.0.0.2"));
             EXPECT_EQ(s.web.port, 8443);
         }},
        {"no broker", nullptr, {{}, {}, kDbUrl, {}, {}, {}}, "не задан брокер MQTT", {}},
        {"no database",
         nullptr,
         {QStringLiteral("127.0.0.1:1883"), {}, {}, {}, {}, {}},
         "не задана база PostgreSQL",
         {}},
        {"broker port out of range",
         nullptr,
         {QStringLiteral("127.0.0.1:70000"), {}, kDbUrl, {}, {}, {}},
         "не адрес брокера",
         {}},
        {"prefix with a wildcard",
         nullptr,
         {QStringLiteral("127.0.0.1"), QStringLiteral("plant/+"), kDbUrl, {}, {}, {}},
         "префикс тем «plant/+» не годится",
         {}},
        {"database url without the scheme",
         nullptr,
         {QStringLiteral("127.0.0.1"), {}, QStringLiteral("terval_plant@db/terval"), {}, {}, {}},
         "нужна схема postgresql://",
         {}},
        {"password in the database url",
         nullptr,
         {QStringLiteral("127.0.0.1"),
          {},
          QStringLiteral("postgresql://u:secret@db/terval"),
          {},
          {},
          {}},
         "пароль в адресе не принимается",
         {}},
        {"database url without a user",
         nullptr,
         {QStringLiteral("127.0.0.1"),
          {},
          QStringLiteral("postgresql://db:5432/terval"),
          {},
          {},
          {}},
         "не указан пользователь",
         {}},
        {"database url without a database",
         nullptr,
         {QStringLiteral("127.0.0.1"), {}, QStringLiteral("postgresql://u@db:5432/"), {}, {}, {}},
         "не указана база",
         {}},
        {"database port not a number",
         nullptr,
         {QStringLiteral("127.0.0.1"),
          {},
          QStringLiteral("postgresql://u@db:x/terval"),
          {},
          {},
          {}},
         "порт не число от 1 до 65535",
         {}},
        {"database url with parameters",
         nullptr,
         {QStringLiteral("127.0.0.1"),
          {},
          QStringLiteral("postgresql://u@db/terval?ssl=1"),
          {},
          {},
          {}},
         "параметры после «?»",
         {}},
        {"database password file missing",
         nullptr,
         {QStringLiteral("127.0.0.1"), {}, kDbUrl, QStringLiteral("no-such-file"), {}, {}},
         "файл пароля",
         {}},
        {"--config that does not exist",
         nullptr,
         {QStringLiteral("127.0.0.1"), {}, kDbUrl, {}, {}, QStringLiteral("missing.ini")},
         "файл настроек",
         {}},
        {"--http port out of range",
         nullptr,
         {QStringLiteral("127.0.0.1"), {}, kDbUrl, {}, QStringLiteral("0"), {}},
         "не порт веб-просмотра",
         {}},
        {"--http with a host name",
         nullptr,
         {QStringLiteral("127.0.0.1"), {}, kDbUrl, {}, QStringLiteral("web.local:80"), {}},
         "не адрес IP",
         {}},
        {"database port in the file",
         "[mqtt]\nhost=b\n[database]\nhost=d\nuser=u\nname=n\n"
         "port=0\n",
         {},
         "database/port=0 не число от 1 до 65535",
         {}},
        {"connect timeout in the file",
         "[mqtt]\nhost=b\n[database]\nhost=d\nuser=u\nname=n\n"
         "connectTimeout=abc\n",
         {},
         "database/connectTimeout=abc",
         {}},
        {"spool limit",
         "[mqtt]\nhost=b\n[spool]\nlimitMB=0\n",
         {{}, {}, kDbUrl, {}, {}, {}},
         "spool/limitMB=0",
         {}},
        {"spool folder is a file",
         "[mqtt]\nhost=b\n[spool]\nfolder=mqtt-password\n",
         {{}, {}, kDbUrl, {}, {}, {}},
         "это файл, а не папка",
         {}},
        {"retention",
         "[mqtt]\nhost=b\n[retention]\nmonths=-1\n",
         {{}, {}, kDbUrl, {}, {}, {}},
         "retention/months=-1",
         {}},
        {"certificate without a key",
         "[mqtt]\nhost=b\n[http]\nport=80\ncertificate=c.pem\n",
         {{}, {}, kDbUrl, {}, {}, {}},
         "certificate и key",
         {}},
        {"unreadable web password file",
         "[mqtt]\nhost=b\n[http]\nport=80\npasswordFile=none\n",
         {{}, {}, kDbUrl, {}, {}, {}},
         "веб-просмотр: файл",
         {}},
        {"mqtt password file without a user",
         "[mqtt]\nhost=b\npasswordFile=mqtt-password\n",
         {{}, {}, kDbUrl, {}, {}, {}},
         "задан passwordFile, но не задан user",
         {}},
        {"a database host with a space",
         "[mqtt]\nhost=b\n[database]\nhost=d b\nuser=u\nname=n\n",
         {},
         "database/host=d b",
         {}},
    };
}

TEST(HistorianConfig, GoodValuesAreReadAndEveryWrongOneIsNamed) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        QTemporaryDir dir;
        ASSERT_TRUE(dir.isValid());
        const QString folder = QDir(dir.path()).canonicalPath();
        writeFile(folder + "/mqtt-password", "mqtt-secret\n");
        writeFile(folder + "/db-password", "db-secret\r\n");
        writeFile(folder + "/other-password", "other");
        if (c.ini != nullptr) {
            writeFile(folder + "/terval-plant.ini",
                      QByteArray(c.ini).replace("/FOLDER", folder.toUtf8()));
        }
        PlantDefaults defaults;
        defaults.workingFolder = folder;
        const HistorianConfigLoad load = loadHistorianConfig(c.commandLine, defaults);
        if (QByteArray(c.error).isEmpty()) {
            ASSERT_TRUE(load.settings) << load.error.toStdString();
            EXPECT_TRUE(load.error.isEmpty());
            c.check(*load.settings, folder);
        } else {
            EXPECT_FALSE(load.settings);
            EXPECT_TRUE(load.error.startsWith(QStringLiteral("terval-plant: ")))
                << load.error.toStdString();
            EXPECT_TRUE(load.error.contains(QString::fromUtf8(c.error)))
                << load.error.toStdString();
        }
    }
}

// The service's folders come from systemd: the ini in CONFIGURATION_DIRECTORY, the spool in
// STATE_DIRECTORY; a relative --config is the working folder's.
TEST(HistorianConfig, TheServiceFindsItsFoldersWhereSystemdPutsThem) {
    QTemporaryDir etc;
    QTemporaryDir state;
    QTemporaryDir work;
    writeFile(etc.path() + "/terval-plant.ini",
              "[mqtt]\nhost=127.0.0.1:1999\n[database]\nhost=h\nuser=u\nname=n\n");
    PlantDefaults defaults;
    defaults.workingFolder = work.path();
    defaults.configurationDirectory = etc.path();
    defaults.stateDirectory = state.path();
    HistorianConfigLoad load = loadHistorianConfig({}, defaults);
    ASSERT_TRUE(load.settings) << load.error.toStdString();
    EXPECT_EQ(load.configFile, etc.path() + "/terval-plant.ini");
    EXPECT_EQ(load.settings->broker.port, 1999);
    EXPECT_EQ(load.settings->spoolFolder, state.path() + "/spool");

    writeFile(work.path() + "/other.ini",
              "[mqtt]\nhost=127.0.0.1:2000\n[database]\nhost=h\nuser=u\nname=n\n");
    PlantCommandLine commandLine;
    commandLine.config = QStringLiteral("other.ini");
    load = loadHistorianConfig(commandLine, defaults);
    ASSERT_TRUE(load.settings) << load.error.toStdString();
    EXPECT_EQ(load.settings->broker.port, 2000);
}

}  // namespace
}  // namespace terval
