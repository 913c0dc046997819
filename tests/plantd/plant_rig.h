#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <array>
#include <memory>
#include <optional>
#include <set>

#include "e2e/relay_sim_process.h"
#include "support/mosquitto_broker.h"
#include "support/postgres_cluster.h"
#include "support/test_subscriber.h"

namespace terval::testing {

// A program of ours run as a service would be: no display, its log (standard error) in a file
// that outlives restarts, stopped by SIGTERM.
class ServiceProcess {
  public:
    ServiceProcess() = default;
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    bool start(const QString& program, const QStringList& arguments, const QString& folder,
               const QString& logPath);
    // SIGTERM and the exit code, or -1 when it had to be killed after `timeoutMs`.
    int stop(int timeoutMs = 20000);
    bool running() const { return process_.state() != QProcess::NotRunning; }
    QString log() const;
    qint64 pid() const { return process_.processId(); }

  private:
    QProcess process_;
    QString logPath_;
};

// One station as a plant runs it: relay-sim with `relays` relays on loopback TCP, a folder made by
// station-folder with [mqtt] station=<name>, and `terval --headless --mqtt` publishing to the
// broker. The station can be stopped and started again on the same folder (its journal stays).
class PlantStation {
  public:
    explicit PlantStation(QString name) : name_(std::move(name)) {}

    bool start(int relays, int brokerPort, QString* why);
    int stop() { return program_.stop(); }
    bool restart(int brokerPort, QString* why);
    RelaySimProcess& sim() { return sim_; }
    const QString& name() const { return name_; }
    QString log() const { return program_.log(); }
    // The record numbers of the protection events in the station's journal.db: what the plant
    // must end up with.
    std::set<long long> journalEvents() const;

  private:
    QString name_;
    QTemporaryDir dir_;
    RelaySimProcess sim_;
    ServiceProcess program_;
};

// terval-plant against `broker` and `db`, its spool in a folder of the rig.
class PlantProgram {
  public:
    bool start(const MosquittoBroker& broker, PostgresCluster& db, QString* why);
    int stop() { return process_.stop(); }
    bool running() const { return process_.running(); }
    QString log() const { return process_.log(); }
    // What waits in its spool folder on disk.
    qint64 spoolBytes() const;

  private:
    QTemporaryDir dir_;
    ServiceProcess process_;
};

// Everything one test of the plant needs: a broker that keeps sessions across a restart, a
// PostgreSQL, three stations on three simulators, terval-plant, and a subscriber that sees what
// the stations publish.
class PlantRig {
  public:
    PlantRig();

    // Starts the broker, the database, the plant program and `stations` stations (st1, st2, st3),
    // and waits until every station is online in the database. False with `why`.
    bool start(int stations, QString* why);

    MosquittoBroker broker;
    PostgresCluster db;
    PlantProgram plant;
    TestSubscriber watcher;
    std::vector<std::unique_ptr<PlantStation>> stations;

    // psql's rows, or "psql failed: ..." so that a failing test says why.
    QString sql(const QString& query);
    // One number from a query, -1 when there is none.
    long long number(const QString& query);
    // Everything a failing test should print: the logs of the plant, the database, the broker.
    std::string diagnostics();
};

}  // namespace terval::testing
