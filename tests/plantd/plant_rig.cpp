#include "plantd/plant_rig.h"

#include <signal.h>

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "support/wait_until.h"

namespace terval::testing {
namespace {

using namespace std::chrono_literals;

QProcessEnvironment serviceEnvironment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("CONFIGURATION_DIRECTORY"));
    env.remove(QStringLiteral("STATE_DIRECTORY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QString());
    return env;
}

bool writeFile(const QString& path, const QByteArray& content) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(content) == content.size();
}

}  // namespace

ServiceProcess::~ServiceProcess() {
    if (running()) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

bool ServiceProcess::start(const QString& program, const QStringList& arguments,
                           const QString& folder, const QString& logPath) {
    logPath_ = logPath;
    process_.setProcessEnvironment(serviceEnvironment());
    process_.setWorkingDirectory(folder);
    process_.setStandardOutputFile(QProcess::nullDevice());
    process_.setStandardErrorFile(logPath, QIODevice::Append);
    process_.start(program, arguments);
    return process_.waitForStarted(5000);
}

int ServiceProcess::stop(int timeoutMs) {
    if (!running()) {
        return process_.exitCode();
    }
    ::kill(static_cast<pid_t>(process_.processId()), SIGTERM);
    if (!process_.waitForFinished(timeoutMs * timeScale())) {
        process_.kill();
        process_.waitForFinished(5000);
        return -1;
    }
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

QString ServiceProcess::log() const {
    QFile file(logPath_);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool PlantStation::start(int relays, int brokerPort, QString* why) {
    if (!sim_.start({QStringLiteral("--tcp"), QStringLiteral("127.0.0.1:0"),
                     QStringLiteral("--relays"), QStringLiteral("1-%1").arg(relays)})) {
        *why = QStringLiteral("relay-sim: ") + sim_.errors();
        return false;
    }
    const QString folder = dir_.path();
    if (QProcess::execute(
            QStringLiteral(STATION_FOLDER),
            {folder, QStringLiteral("--relays"), QString::number(relays), QStringLiteral("--tcp"),
             QStringLiteral("127.0.0.1:%1").arg(sim_.tcpPort())}) != 0 ||
        !writeFile(folder + QStringLiteral("/terval.ini"),
                   "[mqtt]\nstation=" + name_.toUtf8() + "\nqos=1\n")) {
        *why = QStringLiteral("the folder of %1 was not made").arg(name_);
        return false;
    }
    return restart(brokerPort, why);
}

bool PlantStation::restart(int brokerPort, QString* why) {
    if (!program_.start(QStringLiteral(TERVAL_PROGRAM),
                        {QStringLiteral("--headless"), QStringLiteral("--mqtt"),
                         QStringLiteral("127.0.0.1:%1").arg(brokerPort)},
                        dir_.path(), dir_.path() + QStringLiteral("/station.log"))) {
        *why = QStringLiteral("%1 did not start").arg(name_);
        return false;
    }
    return true;
}

std::set<long long> PlantStation::journalEvents() const {
    std::set<long long> out;
    const QString connection = QStringLiteral("journal-of-") + name_;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(dir_.path() + QStringLiteral("/journal.db"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        if (db.open()) {
            // Kind 1: a protection event; its id is the record number the station publishes.
            QSqlQuery query(QStringLiteral("SELECT id FROM entries WHERE kind = 1"), db);
            while (query.next()) {
                out.insert(query.value(0).toLongLong());
            }
        }
    }
    QSqlDatabase::removeDatabase(connection);
    return out;
}

bool PlantProgram::start(const MosquittoBroker& broker, PostgresCluster& db, QString* why) {
    const QString folder = dir_.path();
    if (!QFileInfo::exists(folder + QStringLiteral("/terval-plant.ini")) &&
        !writeFile(folder + QStringLiteral("/terval-plant.ini"),
                   "[spool]\nfolder=spool\nlimitMB=64\n[database]\nconnectTimeout=3\n")) {
        *why = QStringLiteral("terval-plant.ini was not written");
        return false;
    }
    if (!process_.start(
            QStringLiteral(TERVAL_PLANT_PROGRAM),
            {QStringLiteral("--mqtt"), QStringLiteral("127.0.0.1:%1").arg(broker.port()),
             QStringLiteral("--mqtt-prefix"), QStringLiteral("terval"), QStringLiteral("--db"),
             db.url(), QStringLiteral("--db-password-file"), db.passwordFile()},
            folder, folder + QStringLiteral("/plant.log"))) {
        *why = QStringLiteral("terval-plant did not start");
        return false;
    }
    return true;
}

qint64 PlantProgram::spoolBytes() const {
    qint64 total = 0;
    const QDir spool(dir_.path() + QStringLiteral("/spool"));
    for (const QFileInfo& file : spool.entryInfoList({QStringLiteral("*.bin")}, QDir::Files)) {
        total += file.size();
    }
    return total;
}

PlantRig::PlantRig() : broker(MosquittoBroker::Options{{}, {}, false, true}) {}

bool PlantRig::start(int count, QString* why) {
    if (!broker.start()) {
        *why = broker.errors();
        return false;
    }
    if (!db.start()) {
        *why = db.errors();
        return false;
    }
    if (!watcher.start(broker, "terval/#")) {
        *why = watcher.errors();
        return false;
    }
    if (!plant.start(broker, db, why)) {
        return false;
    }
    for (int n = 1; n <= count; ++n) {
        stations.push_back(std::make_unique<PlantStation>(QStringLiteral("st%1").arg(n)));
        if (!stations.back()->start(3, broker.port(), why)) {
            return false;
        }
    }
    const bool online = waitUntil(
        [&] {
            return number(QStringLiteral("SELECT count(*) FROM terval.stations WHERE online")) ==
                   count;
        },
        30s, 200ms);
    if (!online) {
        *why = QStringLiteral("the stations are not online in the database");
        return false;
    }
    return true;
}

QString PlantRig::sql(const QString& query) {
    const std::optional<QString> rows = db.psql(query);
    return rows ? *rows : QStringLiteral("psql failed: ") + db.errors();
}

long long PlantRig::number(const QString& query) {
    const std::optional<QString> rows = db.psql(query);
    bool ok = false;
    const long long n = rows ? rows->trimmed().toLongLong(&ok) : 0;
    return ok ? n : -1;
}

std::string PlantRig::diagnostics() {
    std::string s = "--- terval-plant\n" + plant.log().toStdString();
    for (const auto& station : stations) {
        s += "--- " + station->name().toStdString() + " (last lines)\n" +
             station->log().right(3000).toStdString();
    }
    s += "--- broker (last lines)\n" + broker.log().right(3000).toStdString();
    s += "--- postgres (last lines)\n" + db.log().right(3000).toStdString();
    return s;
}

}  // namespace terval::testing
