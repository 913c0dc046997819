#include "plantweb/plant_history.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>
#include <array>

namespace terval {

namespace {

// The conditions a filter adds, each with its value bound, never spliced into the text.
struct Where {
    QString text;
    QVariantList values;
    void add(const QString& condition, const QVariant& value) {
        text += (text.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ")) + condition;
        values.append(value);
    }
};

Where filterWhere(const PlantHistory::Filter& filter, const QString& timeColumn,
                  const QString& alias, bool withRelay = true) {
    Where where;
    where.add(alias + timeColumn + QStringLiteral(" >= ?"), filter.from.toUTC());
    where.add(alias + timeColumn + QStringLiteral(" < ?"), filter.to.toUTC());
    if (filter.stationId) {
        where.add(alias + QStringLiteral("station_id = ?"), *filter.stationId);
    }
    if (withRelay && filter.relayId) {
        where.add(alias + QStringLiteral("relay_id = ?"), *filter.relayId);
    }
    return where;
}

QJsonValue intValue(const QVariant& value) {
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toLongLong());
}

QJsonValue textValue(const QVariant& value) {
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toString());
}

QJsonValue boolValue(const QVariant& value) {
    return value.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(value.toBool());
}

}  // namespace

PlantHistory::PlantHistory(DatabaseSettings settings, QString connectionName, QTimeZone zone)
    : settings_(std::move(settings)),
      connectionName_(std::move(connectionName)),
      zone_(std::move(zone)) {}

PlantHistory::~PlantHistory() {
    {
        QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
        if (db.isValid()) {
            db.close();
        }
    }
    QSqlDatabase::removeDatabase(connectionName_);
}

bool PlantHistory::ensureOpen(QString* error) {
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    if (!db.isValid()) {
        db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName_);
        db.setHostName(settings_.host);
        db.setPort(settings_.port);
        db.setDatabaseName(settings_.name);
        db.setUserName(settings_.user);
        db.setPassword(QString::fromUtf8(settings_.password));
        db.setConnectOptions(QStringLiteral("connect_timeout=%1;application_name=terval-plant-web")
                                 .arg(qMax(1, settings_.connectTimeoutSeconds)));
    }
    if (db.isOpen()) {
        return true;
    }
    // Opening waits up to the connect timeout on the program's main thread: while the database is
    // away it is tried again only every kRetrySeconds, the requests between answered at once.
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (failedAt_.isValid() && failedAt_.secsTo(now) < kRetrySeconds) {
        *error = failure_;
        return false;
    }
    if (!db.open()) {
        failedAt_ = now;
        failure_ = QStringLiteral("Архив %1 недоступен: %2")
                       .arg(settings_.url(), db.lastError().text().trimmed());
        *error = failure_;
        return false;
    }
    failedAt_ = {};
    // Read-only on the database's side as well: nothing this connection runs can write.
    QSqlQuery readOnly(db);
    readOnly.exec(QStringLiteral(
        "SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY; SET statement_timeout = 5000"));
    return true;
}

bool PlantHistory::run(QSqlQuery& query, QString* error) {
    if (query.exec()) {
        return true;
    }
    *error =
        QStringLiteral("Архив не ответил на запрос: %1").arg(query.lastError().text().trimmed());
    // A lost connection is opened again at the next request.
    QSqlDatabase db = QSqlDatabase::database(connectionName_, false);
    if (db.isValid() && query.lastError().type() == QSqlError::ConnectionError) {
        db.close();
    }
    return false;
}

// One page of a list, newest first: the statement with its values bound, then the page's size
// and offset.
std::optional<QSqlQuery> PlantHistory::page(const QString& statement, const QVariantList& values,
                                            const Filter& filter, QString* error) {
    error->clear();
    if (!ensureOpen(error)) {
        return std::nullopt;
    }
    QSqlQuery query(QSqlDatabase::database(connectionName_, false));
    query.setForwardOnly(true);
    query.prepare(statement + QStringLiteral(" LIMIT ? OFFSET ?"));
    for (const QVariant& value : values) {
        query.addBindValue(value);
    }
    query.addBindValue(filter.limit);
    query.addBindValue(filter.offset);
    if (!run(query, error)) {
        return std::nullopt;
    }
    return query;
}

QJsonValue PlantHistory::timeValue(const QVariant& value) const {
    if (value.isNull()) {
        return QJsonValue(QJsonValue::Null);
    }
    QDateTime at = value.toDateTime();
    return at.toTimeZone(zone_).toString(Qt::ISODateWithMs);
}

std::optional<int> PlantHistory::stationId(const QString& prefix, const QString& name,
                                           QString* error) {
    error->clear();
    if (!ensureOpen(error)) {
        return std::nullopt;
    }
    QSqlQuery query(QSqlDatabase::database(connectionName_, false));
    query.prepare(QStringLiteral("SELECT id FROM terval.stations WHERE prefix = ? AND name = ?"));
    query.addBindValue(prefix);
    query.addBindValue(name);
    if (!run(query, error) || !query.next()) {
        return std::nullopt;
    }
    return query.value(0).toInt();
}

std::optional<PlantHistory::Relay> PlantHistory::relay(int stationId, int address, QString* error) {
    error->clear();
    if (!ensureOpen(error)) {
        return std::nullopt;
    }
    QSqlQuery query(QSqlDatabase::database(connectionName_, false));
    query.prepare(QStringLiteral(
        "SELECT id, tile, serial, generator, breaker, state, insulation_kohm, control_kohm, "
        "signal_kohm, trip_kohm, last_answer, removed_at FROM terval.relays "
        "WHERE station_id = ? AND address = ?"));
    query.addBindValue(stationId);
    query.addBindValue(address);
    if (!run(query, error) || !query.next()) {
        return std::nullopt;
    }
    Relay relay;
    relay.id = query.value(0).toInt();
    relay.stationId = stationId;
    relay.address = address;
    relay.row.insert(QStringLiteral("address"), address);
    relay.row.insert(QStringLiteral("relay"), intValue(query.value(1)));
    relay.row.insert(QStringLiteral("serial"), intValue(query.value(2)));
    relay.row.insert(QStringLiteral("generator"), textValue(query.value(3)));
    relay.row.insert(QStringLiteral("breaker"), textValue(query.value(4)));
    relay.row.insert(QStringLiteral("state"), textValue(query.value(5)));
    relay.row.insert(QStringLiteral("insulation_kohm"), intValue(query.value(6)));
    relay.row.insert(QStringLiteral("control_kohm"), intValue(query.value(7)));
    relay.row.insert(QStringLiteral("signal_kohm"), intValue(query.value(8)));
    relay.row.insert(QStringLiteral("trip_kohm"), intValue(query.value(9)));
    relay.row.insert(QStringLiteral("last_answer"), timeValue(query.value(10)));
    relay.row.insert(QStringLiteral("removed_at"), timeValue(query.value(11)));
    return relay;
}

std::optional<QJsonArray> PlantHistory::events(const Filter& filter, QString* error) {
    const Where where = filterWhere(filter, QStringLiteral("detected_at"), QStringLiteral("e."));
    std::optional<QSqlQuery> found = page(
        QStringLiteral(
            "SELECT s.prefix || '/' || s.name, r.address, e.record, e.detected_at, e.event_time, "
            "e.sign_code, e.sign_text, e.alarm_line, e.tile, e.serial, e.generator, e.breaker, "
            "e.replayed FROM terval.events e JOIN terval.stations s ON s.id = e.station_id "
            "JOIN terval.relays r ON r.id = e.relay_id") +
            where.text + QStringLiteral(" ORDER BY e.detected_at DESC, e.record DESC"),
        where.values, filter, error);
    if (!found) {
        return std::nullopt;
    }
    QSqlQuery& query = *found;
    QJsonArray rows;
    while (query.next()) {
        QJsonObject row;
        row.insert(QStringLiteral("station"), query.value(0).toString());
        row.insert(QStringLiteral("address"), query.value(1).toInt());
        row.insert(QStringLiteral("record"), intValue(query.value(2)));
        row.insert(QStringLiteral("detected_at"), timeValue(query.value(3)));
        // The relay's own clock has no zone: shown as it was read.
        const QVariant eventTime = query.value(4);
        row.insert(QStringLiteral("event_time"), eventTime.isNull()
                                                     ? QJsonValue(QJsonValue::Null)
                                                     : QJsonValue(eventTime.toDateTime().toString(
                                                           QStringLiteral("yyyy-MM-ddTHH:mm:ss"))));
        row.insert(QStringLiteral("sign_code"), intValue(query.value(5)));
        row.insert(QStringLiteral("sign_text"), textValue(query.value(6)));
        row.insert(QStringLiteral("alarm_line"), textValue(query.value(7)));
        row.insert(QStringLiteral("relay"), intValue(query.value(8)));
        row.insert(QStringLiteral("serial"), intValue(query.value(9)));
        row.insert(QStringLiteral("generator"), textValue(query.value(10)));
        row.insert(QStringLiteral("breaker"), textValue(query.value(11)));
        row.insert(QStringLiteral("replayed"), boolValue(query.value(12)));
        rows.append(row);
    }
    return rows;
}

std::optional<QJsonArray> PlantHistory::alarmChanges(const Filter& filter, QString* error) {
    const Where where = filterWhere(filter, QStringLiteral("changed_at"), QStringLiteral("a."));
    std::optional<QSqlQuery> found =
        page(QStringLiteral(
                 "SELECT s.prefix || '/' || s.name, r.address, a.alarm_id, a.kind, a.priority, "
                 "a.state, a.change, a.text, a.raised_at, a.returned_at, a.acknowledged_at, "
                 "a.changed_at FROM terval.alarm_changes a JOIN terval.stations s ON s.id = "
                 "a.station_id LEFT JOIN terval.relays r ON r.id = a.relay_id") +
                 where.text + QStringLiteral(" ORDER BY a.changed_at DESC"),
             where.values, filter, error);
    if (!found) {
        return std::nullopt;
    }
    QSqlQuery& query = *found;
    QJsonArray rows;
    while (query.next()) {
        QJsonObject row;
        row.insert(QStringLiteral("station"), query.value(0).toString());
        row.insert(QStringLiteral("address"), intValue(query.value(1)));
        row.insert(QStringLiteral("id"), query.value(2).toString());
        row.insert(QStringLiteral("kind"), query.value(3).toString());
        row.insert(QStringLiteral("priority"), query.value(4).toString());
        row.insert(QStringLiteral("state"), query.value(5).toString());
        row.insert(QStringLiteral("change"), textValue(query.value(6)));
        row.insert(QStringLiteral("text"), textValue(query.value(7)));
        row.insert(QStringLiteral("raised_at"), timeValue(query.value(8)));
        row.insert(QStringLiteral("returned_at"), timeValue(query.value(9)));
        row.insert(QStringLiteral("acknowledged_at"), timeValue(query.value(10)));
        row.insert(QStringLiteral("changed_at"), timeValue(query.value(11)));
        rows.append(row);
    }
    return rows;
}

qint64 PlantHistory::bucketSeconds(qint64 spanSeconds) {
    static constexpr std::array<qint64, 9> ladder = {60,    300,      900,       1800, 3600,
                                                     10800, 6 * 3600, 12 * 3600, 86400};
    for (const qint64 seconds : ladder) {
        if (spanSeconds / seconds <= kMaxBuckets) {
            return seconds;
        }
    }
    // Beyond the ladder (a span of years): as many days as keep the buckets within the limit.
    const qint64 days = (spanSeconds / 86400 + kMaxBuckets - 1) / kMaxBuckets;
    return days * 86400;
}

std::optional<QJsonObject> PlantHistory::samples(int relayId, const QDateTime& from,
                                                 const QDateTime& to, QString* error) {
    error->clear();
    if (!ensureOpen(error)) {
        return std::nullopt;
    }
    const qint64 span = from.secsTo(to);
    QSqlQuery query(QSqlDatabase::database(connectionName_, false));
    query.setForwardOnly(true);
    QJsonObject result;
    QJsonArray points;
    if (span <= kRawSpanSeconds) {
        query.prepare(QStringLiteral(
            "SELECT (extract(epoch FROM at) * 1000)::bigint, insulation_kohm, control_kohm "
            "FROM terval.samples WHERE relay_id = ? AND at >= ? AND at < ? ORDER BY at LIMIT ?"));
        query.addBindValue(relayId);
        query.addBindValue(from.toUTC());
        query.addBindValue(to.toUTC());
        query.addBindValue(kMaxRawPoints);
        if (!run(query, error)) {
            return std::nullopt;
        }
        while (query.next()) {
            points.append(QJsonArray{query.value(0).toLongLong(), intValue(query.value(1)),
                                     intValue(query.value(2))});
        }
        result.insert(QStringLiteral("mode"), QStringLiteral("raw"));
    } else {
        const qint64 bucket = bucketSeconds(span);
        // Buckets start on whole multiples of their length from the epoch, so that the same
        // period asked again gives the same points.
        // Grouped on the timestamp itself and turned into epoch milliseconds only per bucket:
        // extract() and avg() of integers are numeric in PostgreSQL, which a year of readings
        // would pay for half a million times.
        query.prepare(QStringLiteral(
            "SELECT (extract(epoch FROM bucket) * 1000)::bigint, low, mean, high FROM ("
            "SELECT date_bin(make_interval(secs => ?), at, TIMESTAMPTZ '1970-01-01 00:00:00+00') "
            "AS bucket, min(insulation_kohm) AS low, avg(insulation_kohm::float8) AS mean, "
            "max(insulation_kohm) AS high FROM terval.samples "
            "WHERE relay_id = ? AND at >= ? AND at < ? GROUP BY 1) AS buckets ORDER BY 1"));
        query.addBindValue(double(bucket));
        query.addBindValue(relayId);
        query.addBindValue(from.toUTC());
        query.addBindValue(to.toUTC());
        if (!run(query, error)) {
            return std::nullopt;
        }
        while (query.next()) {
            const QVariant mean = query.value(2);
            points.append(QJsonArray{query.value(0).toLongLong(), intValue(query.value(1)),
                                     mean.isNull()
                                         ? QJsonValue(QJsonValue::Null)
                                         : QJsonValue(qRound(mean.toDouble() * 10) / 10.0),
                                     intValue(query.value(3))});
        }
        result.insert(QStringLiteral("mode"), QStringLiteral("aggregate"));
        result.insert(QStringLiteral("bucket_seconds"), bucket);
    }
    result.insert(QStringLiteral("points"), points);
    return result;
}

std::optional<QJsonArray> PlantHistory::linkHistory(const Filter& filter, QString* error) {
    const Where links = filterWhere(filter, QStringLiteral("changed_at"), QString(), false);
    const Where connections = filterWhere(filter, QStringLiteral("changed_at"), QString(), false);
    std::optional<QSqlQuery> found =
        page(QStringLiteral("SELECT changed_at, 'link', state, status_text, type, link "
                            "FROM terval.link_changes") +
                 links.text +
                 QStringLiteral(" UNION ALL SELECT changed_at, 'connection', status, reason, "
                                "NULL, NULL FROM terval.connection_changes") +
                 connections.text + QStringLiteral(" ORDER BY 1 DESC"),
             links.values + connections.values, filter, error);
    if (!found) {
        return std::nullopt;
    }
    QSqlQuery& query = *found;
    QJsonArray rows;
    while (query.next()) {
        QJsonObject row;
        row.insert(QStringLiteral("changed_at"), timeValue(query.value(0)));
        row.insert(QStringLiteral("what"), query.value(1).toString());
        row.insert(QStringLiteral("state"), textValue(query.value(2)));
        row.insert(QStringLiteral("text"), textValue(query.value(3)));
        row.insert(QStringLiteral("type"), textValue(query.value(4)));
        row.insert(QStringLiteral("link"), textValue(query.value(5)));
        rows.append(row);
    }
    return rows;
}

}  // namespace terval
