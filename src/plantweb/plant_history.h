#pragma once

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QSqlQuery>
#include <QString>
#include <QTimeZone>
#include <optional>

#include "historian/historian_settings.h"

class QSqlQuery;

namespace terval {

// The web view's reading of the plant historian's database: stations and relays by their names on
// the broker, events and alarm moves by station, relay and period, a relay's insulation over a
// period and a station's link and connection history. It only reads, on a connection of its own,
// every value bound to a prepared statement. A database that is away gives an error (in Russian)
// for that request and is tried again at the next one.
class PlantHistory {
  public:
    struct Filter {
        std::optional<int> stationId;
        std::optional<int> relayId;
        QDateTime from;  // inclusive
        QDateTime to;    // exclusive
        int limit = 200;
        int offset = 0;
    };
    struct Relay {
        int id = 0;
        int stationId = 0;
        int address = 0;
        QJsonObject row;  // its names, last state and setpoints, as the pages take them
    };
    // Spans up to this many seconds come as the readings themselves, longer ones as per-bucket
    // minimum, mean and maximum, so that a year is drawn from about a thousand points.
    static constexpr qint64 kRawSpanSeconds = 2 * 86400;
    static constexpr int kMaxBuckets = 1500;
    static constexpr int kMaxRawPoints = 20000;

    // `connectionName` keeps its connection apart from any other in the program (the historian
    // writes through its own).
    PlantHistory(DatabaseSettings settings, QString connectionName,
                 QTimeZone zone = QTimeZone::systemTimeZone());
    ~PlantHistory();
    PlantHistory(const PlantHistory&) = delete;
    PlantHistory& operator=(const PlantHistory&) = delete;

    // Each gives nothing when the database could not answer, with `error` saying why; a station or
    // relay it does not know is an empty optional with `error` left empty.
    std::optional<int> stationId(const QString& prefix, const QString& name, QString* error);
    std::optional<Relay> relay(int stationId, int address, QString* error);
    std::optional<QJsonArray> events(const Filter& filter, QString* error);
    std::optional<QJsonArray> alarmChanges(const Filter& filter, QString* error);
    // {"mode":"raw","points":[[time, insulation, control], ...]} or {"mode":"aggregate",
    // "bucket_seconds":N,"points":[[time, min, mean, max], ...]}, times in ms since the epoch.
    std::optional<QJsonObject> samples(int relayId, const QDateTime& from, const QDateTime& to,
                                       QString* error);
    // The station's link changes and its going online and offline, newest first.
    std::optional<QJsonArray> linkHistory(const Filter& filter, QString* error);

    // The bucket an aggregate of `seconds` uses: the shortest of a fixed ladder (5 min ... 1 day)
    // that keeps the buckets within kMaxBuckets.
    static qint64 bucketSeconds(qint64 spanSeconds);

  private:
    bool ensureOpen(QString* error);
    bool run(QSqlQuery& query, QString* error);
    std::optional<QSqlQuery> page(const QString& statement, const QVariantList& values,
                                  const Filter& filter, QString* error);
    QJsonValue timeValue(const QVariant& value) const;

    static constexpr qint64 kRetrySeconds = 15;

    DatabaseSettings settings_;
    QString connectionName_;
    QDateTime failedAt_;  // the last failed opening, invalid after a good one
    QString failure_;
    QTimeZone zone_;
};

}  // namespace terval
