#include "historian/historian.h"

#include <QAtomicInteger>
#include <QCryptographicHash>
#include <QDataStream>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QIODevice>
#include <QRegularExpression>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtEndian>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "historian/historian_spool.h"
#include "historian/plant_message_parse.h"

namespace terval {
namespace {

using Kind = ParsedMessage::Kind;

// A few hundred messages a transaction: large enough that a burst of every station's retained
// states is a handful of commits, small enough that one failing batch costs little to redo.
constexpr int kBatch = 400;
constexpr qint64 kRetryMs = 3000;
// How long one tick may spend writing back the spool, so that the thread's other work goes on.
constexpr qint64 kTickBudgetMs = 1000;
constexpr qint64 kDropLogMs = 60 * 1000;
constexpr qint64 kMaintenanceMs = 24 * 3600 * 1000;
constexpr int kMaxLoggedTopics = 1000;

const char* const kPartitioned[] = {"events", "alarm_changes", "link_changes", "connection_changes",
                                    "samples"};

// One thing to write, in the order it came: a broker's message, or the plant program's own
// connection to the broker lost or back.
struct Item {
    enum Type : quint8 { Message = 1, Broker = 2 };
    Type type = Message;
    PlantMessage message;
    bool connected = false;
    QString reason;
    QDateTime at;
};

QByteArray encode(const Item& item) {
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_0);
    out << quint8(item.type);
    if (item.type == Item::Message) {
        out << item.message.topic << item.message.payload << item.message.retained
            << item.message.receivedAt;
    } else {
        out << item.connected << item.reason << item.at;
    }
    return bytes;
}

std::optional<Item> decode(const QByteArray& bytes) {
    QDataStream in(bytes);
    in.setVersion(QDataStream::Qt_6_0);
    quint8 type = 0;
    in >> type;
    Item item;
    if (type == Item::Message) {
        in >> item.message.topic >> item.message.payload >> item.message.retained >>
            item.message.receivedAt;
    } else if (type == Item::Broker) {
        item.type = Item::Broker;
        in >> item.connected >> item.reason >> item.at;
    } else {
        return std::nullopt;
    }
    if (in.status() != QDataStream::Ok) {
        return std::nullopt;
    }
    return item;
}

// Times go to PostgreSQL as UTC text cast in the statement, so that no driver's idea of a zone
// comes between the station's clock and the column.
QVariant timeValue(const QDateTime& t) {
    if (!t.isValid()) {
        return QVariant(QMetaType::fromType<QString>());
    }
    return t.toUTC().toString(Qt::ISODateWithMs);
}

QVariant intValue(const std::optional<int>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType::fromType<int>());
}
QVariant longValue(const std::optional<qint64>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType::fromType<qint64>());
}
QVariant textValue(const QString& v) {
    return v.isNull() ? QVariant(QMetaType::fromType<QString>()) : QVariant(v);
}
QVariant boolValue(const std::optional<bool>& v) {
    return v ? QVariant(*v) : QVariant(QMetaType::fromType<bool>());
}
std::optional<int> optInt(const QVariant& v) {
    return v.isNull() ? std::nullopt : std::optional<int>(v.toInt());
}
std::optional<qint64> optLong(const QVariant& v) {
    return v.isNull() ? std::nullopt : std::optional<qint64>(v.toLongLong());
}

QString monthSuffix(const QDate& month) {
    return QStringLiteral("_y%1m%2")
        .arg(month.year(), 4, 10, QLatin1Char('0'))
        .arg(month.month(), 2, 10, QLatin1Char('0'));
}

QDate monthOf(const QDateTime& t) {
    const QDate d = t.toUTC().date();
    return QDate(d.year(), d.month(), 1);
}

QList<qint64> parseBigintArray(const QVariant& v) {
    QList<qint64> out;
    QString text = v.toString();
    text.remove(QLatin1Char('{')).remove(QLatin1Char('}'));
    for (const QString& part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        out.append(part.trimmed().toLongLong());
    }
    return out;
}

QString numbersText(const QList<qint64>& numbers) {
    QStringList parts;
    for (const qint64 n : numbers) {
        parts.append(QString::number(n));
    }
    return parts.join(QStringLiteral(", "));
}

QString arrayLiteral(const QList<qint64>& numbers) {
    QStringList parts;
    for (const qint64 n : numbers) {
        parts.append(QString::number(n));
    }
    return QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
}

// An event from a station that does not number its journal records is keyed by what makes it
// itself: the relay's address, the time the station found it and its sign code. The key is folded
// into a negative number in the same (station, record) primary key of station_records, so that a
// second delivery is refused there as a numbered one is, and it can never meet a real record
// number, which is always positive. Gaps are looked for among the real numbers only.
qint64 unnumberedEventKey(const ParsedMessage& m, const QDateTime& detectedAt) {
    const QByteArray key = QByteArray::number(m.address) + '|' +
                           QByteArray::number(detectedAt.toMSecsSinceEpoch()) + '|' +
                           QByteArray::number(m.signCode.value_or(-1));
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha1);
    const quint64 bits = qFromBigEndian<quint64>(hash.constData()) & 0x3FFFFFFFFFFFFFFFull;
    return -qint64(bits) - 1;
}

QAtomicInteger<quint64> instanceCounter;

}  // namespace

struct Historian::Impl {
    struct StationRow {
        int id = 0;
        std::optional<bool> online;
        QString linkType, linkName, linkState, linkStatusText;
        bool linkKnown = false;
    };
    struct RelayRow {
        int id = 0;
        std::optional<int> tile, serial;
        QString generator, breaker, state;
        std::optional<int> insulation, control, signal, trip;
        QDateTime lastAnswer;
        std::optional<qint64> good, bad;
        QDateTime lastSeen;
        bool removed = false;
    };
    struct AlarmMove {
        qint64 changedAtMs = 0;
        QString state, change;
        bool operator==(const AlarmMove&) const = default;
    };
    // Counted and logged only once the batch they belong to is committed.
    struct Staged {
        uint64_t stored = 0, duplicates = 0, ignored = 0, gaps = 0;
        QStringList logs;
        QSet<QString> loggedTopics;
    };
    enum class Outcome { Written, DatabaseAway };

    HistorianSettings settings;
    Log log;
    QString connection;
    HistorianSpool spool;
    std::deque<Item> queue;
    Stats stats;
    bool started = false;
    bool stopped = false;
    bool dbUp = false;
    bool closePending = false;
    QElapsedTimer sinceAttempt;
    QString lastDatabaseProblem;
    QElapsedTimer sinceMaintenance;
    QElapsedTimer sinceDropLog;
    uint64_t droppedSinceLog = 0;
    QSet<QString> partitions;  // "samples_y2026m12"
    QHash<QString, StationRow> stations;
    std::map<std::pair<int, int>, RelayRow> relays;
    std::map<std::pair<int, QString>, AlarmMove> alarmMoves;
    QSet<QString> loggedTopics;
    QSet<QString> numberTakenLogged;  // stations whose record numbers began again, said once
    Staged staged;
    // A station's last_seen, moved once a batch rather than once a message.
    QHash<int, QDateTime> seenAt;
    std::map<QString, QSqlQuery> statements;

    Impl(HistorianSettings s, Log l)
        : settings(std::move(s)),
          log(l ? std::move(l) : Log([](const QString&) {})),
          connection(
              QStringLiteral("terval-historian-%1").arg(instanceCounter.fetchAndAddRelaxed(1))),
          spool(settings.spoolFolder, log) {}

    QSqlDatabase db() const { return QSqlDatabase::database(connection, false); }
    QString dbName() const { return settings.database.url(); }

    // ---- the database ----------------------------------------------------------------------

    void databaseProblem(const QString& what) {
        const bool wasUp = dbUp;
        dbUp = false;
        // Closed by settle(), once no caller up the stack holds the connection any more.
        closePending = true;
        clearCaches();
        if (wasUp || what != lastDatabaseProblem) {
            log(QStringLiteral("База данных %1 недоступна: %2; сообщения ждут в очереди на диске")
                    .arg(dbName(), what));
        }
        lastDatabaseProblem = what;
    }

    // `lost`: the connection is gone. Its prepared statements are then let go only after the
    // driver itself, which they would otherwise each try to deallocate on the dead connection,
    // with a warning apiece; the connection is made anew at the next attempt.
    void closeDatabase(bool lost = false) {
        std::map<QString, QSqlQuery> old;
        old.swap(statements);
        if (!lost) {
            old.clear();
        }
        if (QSqlDatabase::contains(connection)) {
            {
                QSqlDatabase d = db();
                d.close();
            }
            if (lost) {
                QSqlDatabase::removeDatabase(connection);
            }
        }
        old.clear();
        clearCaches();
    }

    void settle() {
        if (closePending) {
            closePending = false;
            closeDatabase(true);
        }
    }

    void clearCaches() {
        seenAt.clear();
        stations.clear();
        relays.clear();
        alarmMoves.clear();
    }

    bool exec(QSqlQuery& q, QString* error) {
        if (q.exec()) {
            return true;
        }
        *error = q.lastError().text();
        return false;
    }

    bool execText(const QString& sql, QString* error) {
        QSqlQuery q(db());
        if (q.exec(sql)) {
            return true;
        }
        *error = q.lastError().text();
        return false;
    }

    bool connectDatabase() {
        settle();
        sinceAttempt.start();
        if (!QSqlDatabase::isDriverAvailable(QStringLiteral("QPSQL"))) {
            databaseProblem(QStringLiteral("нет драйвера Qt SQL QPSQL (пакет libqt6sql6-psql)"));
            return false;
        }
        QSqlDatabase d = QSqlDatabase::contains(connection)
                             ? db()
                             : QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connection);
        DatabaseSettings& s = settings.database;
        // Read again at every attempt, so that a password changed in its file (or a file that
        // appeared after the start) is taken at the next connection without a restart.
        if (!s.passwordFile.isEmpty()) {
            QFile file(s.passwordFile);
            if (file.open(QIODevice::ReadOnly)) {
                s.password = file.readAll().trimmed();
            }
        }
        d.setHostName(s.host);
        d.setPort(s.port);
        d.setDatabaseName(s.name);
        d.setUserName(s.user);
        d.setPassword(QString::fromUtf8(s.password));
        // Keepalives and a TCP user timeout, so that a database host gone from the network is
        // noticed in seconds rather than when the kernel gives up on the connection.
        d.setConnectOptions(QStringLiteral("connect_timeout=%1;application_name=terval-plant;"
                                           "keepalives=1;keepalives_idle=10;keepalives_interval=5;"
                                           "keepalives_count=3;tcp_user_timeout=%2")
                                .arg(qMax(2, s.connectTimeoutSeconds))
                                .arg(qMax(2, s.connectTimeoutSeconds) * 1000 + 10000));
        if (!d.open()) {
            databaseProblem(d.lastError().text().trimmed());
            return false;
        }
        QString error;
        if (!migrate(&error) || !prepareStatements(&error) || !loadPartitions(&error) ||
            !maintain(&error)) {
            databaseProblem(error);
            return false;
        }
        dbUp = true;
        lastDatabaseProblem.clear();
        log(QStringLiteral("База данных %1: подключено").arg(dbName()));
        return true;
    }

    // Runs every schema file beyond the database's version, each in a transaction of its own
    // under an advisory lock, so that two historians started together do not both migrate.
    bool migrate(QString* error) {
        const QStringList files =
            QDir(QStringLiteral(":/terval/historian/schema"))
                .entryList({QStringLiteral("*.sql")}, QDir::Files, QDir::Name);
        int known = 0;
        for (const QString& f : files) {
            known = qMax(known, f.section(QLatin1Char('_'), 0, 0).toInt());
        }
        for (;;) {
            QSqlDatabase d = db();
            if (!d.transaction()) {
                *error = d.lastError().text();
                return false;
            }
            QSqlQuery q(d);
            int current = 0;
            bool ok =
                q.exec(QStringLiteral("SELECT pg_advisory_xact_lock(7261339001)")) &&
                q.exec(QStringLiteral("SELECT to_regclass('terval.schema_version') IS NOT NULL")) &&
                q.next();
            if (ok && q.value(0).toBool()) {
                ok = q.exec(QStringLiteral(
                         "SELECT coalesce(max(version), 0) FROM terval.schema_version")) &&
                     q.next();
                current = ok ? q.value(0).toInt() : 0;
            }
            if (!ok) {
                *error = q.lastError().text();
                rollback(d);
                return false;
            }
            if (current > known) {
                rollback(d);
                *error = QStringLiteral(
                             "версия схемы %1 новее, чем знает эта программа (%2): запись "
                             "не начата, обновите terval-plant")
                             .arg(current)
                             .arg(known);
                return false;
            }
            QString next;
            for (const QString& f : files) {
                if (f.section(QLatin1Char('_'), 0, 0).toInt() == current + 1) {
                    next = f;
                }
            }
            if (next.isEmpty()) {
                rollback(d);
                return true;
            }
            QFile file(QStringLiteral(":/terval/historian/schema/") + next);
            if (!file.open(QIODevice::ReadOnly)) {
                rollback(d);
                *error = QStringLiteral("нет файла схемы %1").arg(next);
                return false;
            }
            // The schema files are plain DDL: no function bodies, no semicolons in strings, so
            // a statement ends at each semicolon once the comments are gone.
            QString sql;
            for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
                const qsizetype comment = line.indexOf(QLatin1String("--"));
                sql += (comment >= 0 ? line.left(comment) : line) + QLatin1Char('\n');
            }
            // The historian's role may own the schema without the right to create schemas in
            // the database (the package's role script makes it): PostgreSQL checks that right
            // even when the schema is there, so a schema that exists is not asked for again.
            QSqlQuery exists(d);
            const bool schemaThere =
                exists.exec(QStringLiteral("SELECT to_regnamespace('terval') IS NOT NULL")) &&
                exists.next() && exists.value(0).toBool();
            for (const QString& statement : sql.split(QLatin1Char(';'))) {
                if (statement.trimmed().isEmpty() ||
                    (schemaThere && statement.simplified().startsWith(
                                        QLatin1String("CREATE SCHEMA IF NOT EXISTS")))) {
                    continue;
                }
                if (!q.exec(statement)) {
                    *error =
                        QStringLiteral("схема %1 не применена: %2").arg(next, q.lastError().text());
                    rollback(d);
                    return false;
                }
            }
            q.prepare(QStringLiteral("INSERT INTO terval.schema_version (version) VALUES (?)"));
            q.addBindValue(current + 1);
            if (!q.exec() || !d.commit()) {
                *error = q.lastError().text();
                rollback(d);
                return false;
            }
            log(QStringLiteral("База данных %1: схема обновлена до версии %2")
                    .arg(dbName())
                    .arg(current + 1));
        }
    }

    bool prepareStatements(QString* error) {
        static const std::pair<const char*, const char*> sql[] = {
            {"stationUpsert",
             "INSERT INTO terval.stations (prefix, name, first_seen, last_seen) VALUES (?, ?, "
             "CAST(? AS timestamptz), CAST(? AS timestamptz)) ON CONFLICT (prefix, name) DO UPDATE "
             "SET last_seen = GREATEST(terval.stations.last_seen, EXCLUDED.last_seen) RETURNING "
             "id, online, link_type, link_name, link_state, link_status_text, link_changed_at IS "
             "NOT NULL"},
            {"stationSeen",
             "UPDATE terval.stations SET last_seen = GREATEST(last_seen, CAST(? AS timestamptz)) "
             "WHERE id = ?"},
            {"stationStatus",
             "UPDATE terval.stations SET online = ?, status_changed_at = CAST(? AS timestamptz) "
             "WHERE id = ?"},
            {"stationLink",
             "UPDATE terval.stations SET link_type = ?, link_name = ?, link_state = ?, "
             "link_status_text = ?, link_changed_at = CAST(? AS timestamptz) WHERE id = ?"},
            {"relaySelect",
             "SELECT id, tile, serial, generator, breaker, state, insulation_kohm, control_kohm, "
             "signal_kohm, trip_kohm, last_answer, good_answers, bad_answers, last_seen, "
             "removed_at IS NOT NULL FROM terval.relays WHERE station_id = ? AND address = ?"},
            {"relayInsert",
             "INSERT INTO terval.relays (station_id, address, tile, serial, generator, breaker, "
             "state, insulation_kohm, control_kohm, signal_kohm, trip_kohm, last_answer, "
             "good_answers, bad_answers, first_seen, last_seen) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
             "?, ?, CAST(? AS timestamptz), ?, ?, CAST(? AS timestamptz), CAST(? AS timestamptz)) "
             "RETURNING id"},
            {"relayUpdate",
             "UPDATE terval.relays SET tile = ?, serial = ?, generator = ?, breaker = ?, state = "
             "?, insulation_kohm = ?, control_kohm = ?, signal_kohm = ?, trip_kohm = ?, "
             "last_answer = CAST(? AS timestamptz), good_answers = ?, bad_answers = ?, last_seen = "
             "GREATEST(last_seen, CAST(? AS timestamptz)), removed_at = NULL WHERE id = ?"},
            {"relayRemoved",
             "UPDATE terval.relays SET removed_at = CAST(? AS timestamptz) WHERE id = ? AND "
             "removed_at IS NULL"},
            {"relayName",
             "INSERT INTO terval.relay_names (relay_id, changed_at, tile, serial, generator, "
             "breaker) VALUES (?, CAST(? AS timestamptz), ?, ?, ?, ?)"},
            {"sample",
             "INSERT INTO terval.samples (relay_id, at, insulation_kohm, control_kohm) VALUES (?, "
             "CAST(? AS timestamptz), ?, ?) ON CONFLICT DO NOTHING"},
            {"record",
             "INSERT INTO terval.station_records (station_id, record, kind) VALUES (?, ?, ?) ON "
             "CONFLICT DO NOTHING"},
            {"event",
             "INSERT INTO terval.events (station_id, relay_id, record, detected_at, event_time, "
             "sign_code, sign_text, alarm_line, tile, serial, generator, breaker, replayed, "
             "received_at) VALUES (?, ?, ?, CAST(? AS timestamptz), CAST(? AS timestamp), ?, ?, ?, "
             "?, ?, ?, ?, ?, CAST(? AS timestamptz))"},
            {"alarm",
             "INSERT INTO terval.alarm_changes (station_id, relay_id, record, alarm_id, kind, "
             "priority, state, change, shelved, suppressed, text, raised_at, returned_at, "
             "acknowledged_at, changed_at, received_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
             "CAST(? AS timestamptz), CAST(? AS timestamptz), CAST(? AS timestamptz), CAST(? AS "
             "timestamptz), CAST(? AS timestamptz))"},
            {"eventSame",
             "SELECT 1 FROM terval.events WHERE relay_id = ? AND record = ? AND detected_at "
             "BETWEEN CAST(? AS timestamptz) - interval '1 day' AND CAST(? AS timestamptz) + "
             "interval '1 day' LIMIT 1"},
            {"alarmRecordSame",
             "SELECT 1 FROM terval.alarm_changes WHERE station_id = ? AND record = ? AND alarm_id "
             "= ? AND changed_at BETWEEN CAST(? AS timestamptz) - interval '1 day' AND CAST(? AS "
             "timestamptz) + interval '1 day' LIMIT 1"},
            {"alarmSame",
             "SELECT 1 FROM terval.alarm_changes WHERE station_id = ? AND alarm_id = ? AND "
             "changed_at = CAST(? AS timestamptz) AND state = ? AND change IS NOT DISTINCT FROM ? "
             "LIMIT 1"},
            {"link",
             "INSERT INTO terval.link_changes (station_id, changed_at, type, link, state, "
             "status_text) VALUES (?, CAST(? AS timestamptz), ?, ?, ?, ?)"},
            {"connection",
             "INSERT INTO terval.connection_changes (station_id, changed_at, status, reason) "
             "VALUES (?, CAST(? AS timestamptz), ?, ?)"},
            {"eventStored",
             "SELECT 1 FROM terval.station_records WHERE station_id = ? AND record = ? AND kind = "
             "'event'"},
            {"eventAtOrBelow",
             "SELECT max(record) FROM terval.station_records WHERE station_id = ? AND kind = "
             "'event' AND record > 0 AND record <= ?"},
            {"gapInsert",
             "INSERT INTO terval.gaps (station_id, after_record, before_record, missing, "
             "detected_at) VALUES (?, ?, ?, CAST(? AS bigint[]), CAST(? AS timestamptz))"},
            {"gapsMissing",
             "SELECT id, after_record, before_record, missing FROM terval.gaps WHERE station_id = "
             "? AND filled_at IS NULL AND CAST(? AS bigint) = ANY(missing)"},
            {"gapExtend",
             "UPDATE terval.gaps SET missing = array_append(missing, CAST(? AS bigint)) WHERE id = "
             "? AND NOT (CAST(? AS bigint) = ANY(missing))"},
            {"gapFill", "UPDATE terval.gaps SET filled_at = CAST(? AS timestamptz) WHERE id = ?"},
        };
        statements.clear();
        for (const auto& [name, text] : sql) {
            QSqlQuery q(db());
            if (!q.prepare(QString::fromLatin1(text))) {
                *error = q.lastError().text();
                return false;
            }
            statements.emplace(QString::fromLatin1(name), std::move(q));
        }
        return true;
    }

    QSqlQuery& st(const char* name) { return statements.at(QString::fromLatin1(name)); }

    bool loadPartitions(QString* error) {
        QSqlQuery q(db());
        if (!q.exec(QStringLiteral(
                "SELECT c.relname FROM pg_inherits i JOIN pg_class c ON c.oid = i.inhrelid "
                "JOIN pg_class p ON p.oid = i.inhparent JOIN pg_namespace n ON n.oid = "
                "p.relnamespace "
                "WHERE n.nspname = 'terval'"))) {
            *error = q.lastError().text();
            return false;
        }
        partitions.clear();
        while (q.next()) {
            partitions.insert(q.value(0).toString());
        }
        return true;
    }

    bool ensurePartition(const char* table, const QDate& month, QString* error) {
        const QString name = QLatin1String(table) + monthSuffix(month);
        if (partitions.contains(name)) {
            return true;
        }
        const QDate next = month.addMonths(1);
        const QString sql =
            QStringLiteral(
                "CREATE TABLE IF NOT EXISTS terval.%1 PARTITION OF terval.%2 FOR VALUES FROM "
                "('%3-%4-01 00:00:00+00') TO ('%5-%6-01 00:00:00+00')")
                .arg(name, QLatin1String(table))
                .arg(month.year(), 4, 10, QLatin1Char('0'))
                .arg(month.month(), 2, 10, QLatin1Char('0'))
                .arg(next.year(), 4, 10, QLatin1Char('0'))
                .arg(next.month(), 2, 10, QLatin1Char('0'));
        if (!execText(sql, error)) {
            return false;
        }
        partitions.insert(name);
        return true;
    }

    // This month's and next month's partitions made ahead, and those past the retention dropped
    // whole: at connecting and once a day.
    bool maintain(QString* error) {
        sinceMaintenance.start();
        const QDate thisMonth = monthOf(QDateTime::currentDateTimeUtc());
        for (const char* table : kPartitioned) {
            if (!ensurePartition(table, thisMonth, error) ||
                !ensurePartition(table, thisMonth.addMonths(1), error)) {
                return false;
            }
        }
        if (settings.retentionMonths <= 0) {
            return true;
        }
        // A partition goes when all of its month is older than the retention: every row younger
        // than retentionMonths months is kept.
        const QDateTime cutoff =
            QDateTime::currentDateTimeUtc().addMonths(-settings.retentionMonths);
        static const QRegularExpression name(QStringLiteral(
            R"(^(events|alarm_changes|link_changes|connection_changes|samples)_y(\d{4})m(\d{2})$)"));
        QStringList sorted(partitions.begin(), partitions.end());
        sorted.sort();
        for (const QString& p : sorted) {
            const auto m = name.match(p);
            if (!m.hasMatch()) {
                continue;
            }
            const QDate month(m.captured(2).toInt(), m.captured(3).toInt(), 1);
            if (!month.isValid() || QDateTime(month.addMonths(1), QTime(0, 0), Qt::UTC) > cutoff) {
                continue;
            }
            if (!execText(QStringLiteral("DROP TABLE IF EXISTS terval.%1").arg(p), error)) {
                return false;
            }
            partitions.remove(p);
            log(QStringLiteral("Хранение %1 мес.: удалена секция terval.%2")
                    .arg(settings.retentionMonths)
                    .arg(p));
        }
        return true;
    }

    // ---- writing -------------------------------------------------------------------------

    struct Work {
        const Item* item = nullptr;
        ParsedMessage parsed;
    };

    // The month partitions a batch's rows go to, made before its transaction.
    bool partitionsFor(const std::vector<Work>& work, QString* error) {
        QSet<QString> seen;
        const auto need = [&](const char* table, const QDateTime& t) {
            if (!t.isValid()) {
                return true;
            }
            const QDate month = monthOf(t);
            const QString key = QLatin1String(table) + monthSuffix(month);
            if (seen.contains(key)) {
                return true;
            }
            seen.insert(key);
            return ensurePartition(table, month, error);
        };
        for (const Work& w : work) {
            const ParsedMessage& m = w.parsed;
            const QDateTime received = w.item->message.receivedAt;
            bool ok = true;
            if (w.item->type == Item::Broker) {
                ok = need("connection_changes", w.item->at);
            } else if (m.kind == Kind::RelayState) {
                ok = need("samples", m.lastAnswer);
            } else if (m.kind == Kind::Event) {
                ok = need("events", m.detectedAt.isValid() ? m.detectedAt : received);
            } else if (m.kind == Kind::Alarm) {
                ok = need("alarm_changes", m.changedAt.isValid() ? m.changedAt : received);
            } else if (m.kind == Kind::Link) {
                ok = need("link_changes", received);
            } else if (m.kind == Kind::Status) {
                ok = need("connection_changes", received);
            }
            if (!ok) {
                return false;
            }
        }
        return true;
    }

    Outcome writeItems(const std::vector<const Item*>& items) {
        std::vector<Work> work;
        work.reserve(items.size());
        for (const Item* item : items) {
            Work w;
            w.item = item;
            if (item->type == Item::Message) {
                w.parsed = parsePlantMessage(item->message, settings.broker.prefix);
            }
            work.push_back(std::move(w));
        }
        QString error;
        if (!partitionsFor(work, &error)) {
            return databaseFailed(error);
        }
        staged = Staged();
        QSqlDatabase d = db();
        bool ok = d.transaction();
        for (size_t i = 0; ok && i < work.size(); ++i) {
            ok = apply(work[i], &error);
        }
        if (ok && flushSeen(&error) && d.commit()) {
            commitStaged();
            return Outcome::Written;
        }
        if (error.isEmpty()) {
            error = d.lastError().text();
        }
        rollback(d);
        clearCaches();
        if (!databaseAnswers()) {
            return databaseFailed(error);
        }
        // The database is there and refused something in the batch: write it again message by
        // message, each under a savepoint, so that one message it cannot take costs only itself.
        staged = Staged();
        if (!d.transaction()) {
            return databaseFailed(d.lastError().text());
        }
        QSqlQuery sp(d);
        for (Work& w : work) {
            if (!sp.exec(QStringLiteral("SAVEPOINT one"))) {
                rollback(d);
                return databaseFailed(sp.lastError().text());
            }
            QString why;
            const Staged before = staged;
            if (apply(w, &why)) {
                sp.exec(QStringLiteral("RELEASE SAVEPOINT one"));
                continue;
            }
            staged = before;
            if (!sp.exec(QStringLiteral("ROLLBACK TO SAVEPOINT one"))) {
                rollback(d);
                clearCaches();
                return databaseFailed(why);
            }
            clearCaches();
            staged.ignored += 1;
            staged.logs.append(QStringLiteral("Сообщение %1 не записано: %2")
                                   .arg(QString::fromUtf8(w.item->message.topic), why.trimmed()));
        }
        QString seenError;
        if (!flushSeen(&seenError) || !d.commit()) {
            const QString why = seenError.isEmpty() ? d.lastError().text() : seenError;
            rollback(d);
            clearCaches();
            return databaseFailed(why);
        }
        commitStaged();
        return Outcome::Written;
    }

    bool flushSeen(QString* error) {
        for (auto it = seenAt.cbegin(); it != seenAt.cend(); ++it) {
            QSqlQuery& q = st("stationSeen");
            q.addBindValue(timeValue(it.value()));
            q.addBindValue(it.key());
            if (!exec(q, error)) {
                return false;
            }
        }
        seenAt.clear();
        return true;
    }

    // A connection the driver has found dead is closed already, and says so if asked to roll back.
    static void rollback(QSqlDatabase& d) {
        if (d.isOpen()) {
            d.rollback();
        }
    }

    bool databaseAnswers() {
        if (!db().isOpen()) {
            return false;
        }
        QSqlQuery q(db());
        return q.exec(QStringLiteral("SELECT 1")) && q.next();
    }

    Outcome databaseFailed(const QString& error) {
        databaseProblem(error.trimmed());
        return Outcome::DatabaseAway;
    }

    void commitStaged() {
        stats.stored += staged.stored;
        stats.duplicates += staged.duplicates;
        stats.ignored += staged.ignored;
        stats.gaps += staged.gaps;
        for (const QString& line : staged.logs) {
            log(line);
        }
        loggedTopics.unite(staged.loggedTopics);
        staged = Staged();
    }

    bool apply(Work& w, QString* error) {
        const Item& item = *w.item;
        if (item.type == Item::Broker) {
            QSqlQuery& q = st("connection");
            q.addBindValue(QVariant(QMetaType::fromType<int>()));
            q.addBindValue(timeValue(item.at));
            q.addBindValue(item.connected ? QStringLiteral("broker_back")
                                          : QStringLiteral("broker_lost"));
            q.addBindValue(textValue(item.reason));
            if (!exec(q, error)) {
                return false;
            }
            staged.stored += 1;
            return true;
        }
        const ParsedMessage& m = w.parsed;
        const QDateTime at = item.message.receivedAt.isValid() ? item.message.receivedAt
                                                               : QDateTime::currentDateTimeUtc();
        switch (m.kind) {
            case Kind::Ignored: {
                staged.ignored += 1;
                const QString topic = QString::fromUtf8(item.message.topic);
                if (!loggedTopics.contains(topic) && !staged.loggedTopics.contains(topic) &&
                    loggedTopics.size() < kMaxLoggedTopics) {
                    staged.loggedTopics.insert(topic);
                    staged.logs.append(
                        QStringLiteral("Сообщение %1 пропущено: %2").arg(topic, m.error));
                }
                return true;
            }
            case Kind::Nothing:
                return true;
            default:
                break;
        }
        StationRow* station = stationFor(m.station, at, error);
        if (station == nullptr) {
            return false;
        }
        switch (m.kind) {
            case Kind::Status:
                return applyStatus(*station, m, at, error);
            case Kind::Link:
                return applyLink(*station, m, at, error);
            case Kind::RelayState:
                return applyState(*station, m, at, error);
            case Kind::RelayRemoved:
                return applyRemoved(*station, m, at, error);
            case Kind::Event:
                return applyEvent(*station, m, item.message, at, error);
            case Kind::Alarm:
                return applyAlarm(*station, m, at, error);
            case Kind::EventsDropped:
                staged.logs.append(QStringLiteral("Станция %1: передано, что %2 событий не дошли "
                                                  "до брокера (станция старой версии)")
                                       .arg(m.station)
                                       .arg(m.droppedEvents));
                return true;
            default:
                return true;
        }
    }

    StationRow* stationFor(const QString& name, const QDateTime& at, QString* error) {
        auto it = stations.find(name);
        if (it != stations.end()) {
            QDateTime& seen = seenAt[it->id];
            if (!seen.isValid() || seen < at) {
                seen = at;
            }
            return &*it;
        }
        QSqlQuery& q = st("stationUpsert");
        q.addBindValue(settings.broker.prefix);
        q.addBindValue(name);
        q.addBindValue(timeValue(at));
        q.addBindValue(timeValue(at));
        if (!exec(q, error)) {
            return nullptr;
        }
        if (!q.next()) {
            *error = QStringLiteral("станция %1 не записана").arg(name);
            return nullptr;
        }
        StationRow row;
        row.id = q.value(0).toInt();
        if (!q.value(1).isNull()) {
            row.online = q.value(1).toBool();
        }
        row.linkType = q.value(2).toString();
        row.linkName = q.value(3).toString();
        row.linkState = q.value(4).toString();
        row.linkStatusText = q.value(5).toString();
        row.linkKnown = q.value(6).toBool();
        q.finish();
        return &*stations.insert(name, row);
    }

    bool applyStatus(StationRow& station, const ParsedMessage& m, const QDateTime& at,
                     QString* error) {
        // Every (re)subscription brings the retained status again: only a change is a row.
        if (station.online == m.online) {
            return true;
        }
        QSqlQuery& u = st("stationStatus");
        u.addBindValue(m.online);
        u.addBindValue(timeValue(at));
        u.addBindValue(station.id);
        QSqlQuery& c = st("connection");
        c.addBindValue(station.id);
        c.addBindValue(timeValue(at));
        c.addBindValue(m.online ? QStringLiteral("online") : QStringLiteral("offline"));
        c.addBindValue(QVariant(QMetaType::fromType<QString>()));
        if (!exec(u, error) || !exec(c, error)) {
            return false;
        }
        station.online = m.online;
        staged.stored += 1;
        return true;
    }

    bool applyLink(StationRow& station, const ParsedMessage& m, const QDateTime& at,
                   QString* error) {
        if (station.linkKnown && station.linkType == m.linkType && station.linkName == m.linkName &&
            station.linkState == m.linkState && station.linkStatusText == m.linkStatusText) {
            return true;
        }
        QSqlQuery& u = st("stationLink");
        u.addBindValue(m.linkType);
        u.addBindValue(m.linkName);
        u.addBindValue(m.linkState);
        u.addBindValue(m.linkStatusText);
        u.addBindValue(timeValue(at));
        u.addBindValue(station.id);
        QSqlQuery& l = st("link");
        l.addBindValue(station.id);
        l.addBindValue(timeValue(at));
        l.addBindValue(m.linkType);
        l.addBindValue(m.linkName);
        l.addBindValue(m.linkState);
        l.addBindValue(m.linkStatusText);
        if (!exec(u, error) || !exec(l, error)) {
            return false;
        }
        station.linkKnown = true;
        station.linkType = m.linkType;
        station.linkName = m.linkName;
        station.linkState = m.linkState;
        station.linkStatusText = m.linkStatusText;
        staged.stored += 1;
        return true;
    }

    // The relay at this address of the station, from memory, the database, or made now from what
    // the message says of it (a relay's first message may be an event or an alarm).
    RelayRow* relayFor(const StationRow& station, const ParsedMessage& m, const QDateTime& at,
                       bool create, QString* error) {
        const auto key = std::make_pair(station.id, m.address);
        auto it = relays.find(key);
        if (it != relays.end()) {
            return &it->second;
        }
        QSqlQuery& s = st("relaySelect");
        s.addBindValue(station.id);
        s.addBindValue(m.address);
        if (!exec(s, error)) {
            return nullptr;
        }
        RelayRow row;
        if (s.next()) {
            row.id = s.value(0).toInt();
            row.tile = optInt(s.value(1));
            row.serial = optInt(s.value(2));
            row.generator = s.value(3).toString();
            row.breaker = s.value(4).toString();
            row.state = s.value(5).toString();
            row.insulation = optInt(s.value(6));
            row.control = optInt(s.value(7));
            row.signal = optInt(s.value(8));
            row.trip = optInt(s.value(9));
            row.lastAnswer = s.value(10).toDateTime();
            row.good = optLong(s.value(11));
            row.bad = optLong(s.value(12));
            row.lastSeen = s.value(13).toDateTime();
            row.removed = s.value(14).toBool();
            s.finish();
            return &relays.emplace(key, row).first->second;
        }
        s.finish();
        if (!create) {
            return nullptr;
        }
        QSqlQuery& q = st("relayInsert");
        q.addBindValue(station.id);
        q.addBindValue(m.address);
        q.addBindValue(intValue(m.tile));
        q.addBindValue(intValue(m.serial));
        q.addBindValue(textValue(m.generator));
        q.addBindValue(textValue(m.breaker));
        const bool isState = m.kind == Kind::RelayState;
        q.addBindValue(isState ? textValue(m.state) : QVariant(QMetaType::fromType<QString>()));
        q.addBindValue(intValue(isState ? m.insulationKohm : std::nullopt));
        q.addBindValue(intValue(isState ? m.controlKohm : std::nullopt));
        q.addBindValue(intValue(isState ? m.signalKohm : std::nullopt));
        q.addBindValue(intValue(isState ? m.tripKohm : std::nullopt));
        q.addBindValue(timeValue(isState ? m.lastAnswer : QDateTime()));
        q.addBindValue(longValue(isState ? m.goodAnswers : std::nullopt));
        q.addBindValue(longValue(isState ? m.badAnswers : std::nullopt));
        q.addBindValue(timeValue(at));
        q.addBindValue(timeValue(at));
        if (!exec(q, error) || !q.next()) {
            if (error->isEmpty()) {
                *error = QStringLiteral("реле не записано");
            }
            return nullptr;
        }
        row.id = q.value(0).toInt();
        q.finish();
        row.tile = m.tile;
        row.serial = m.serial;
        row.generator = m.generator;
        row.breaker = m.breaker;
        if (isState) {
            row.state = m.state;
            row.insulation = m.insulationKohm;
            row.control = m.controlKohm;
            row.signal = m.signalKohm;
            row.trip = m.tripKohm;
            row.lastAnswer = m.lastAnswer;
            row.good = m.goodAnswers;
            row.bad = m.badAnswers;
        }
        row.lastSeen = at;
        RelayRow* made = &relays.emplace(key, row).first->second;
        // Its names from its first sighting on.
        if (!insertRelayName(*made, at, error)) {
            return nullptr;
        }
        return made;
    }

    bool insertRelayName(const RelayRow& r, const QDateTime& at, QString* error) {
        QSqlQuery& n = st("relayName");
        n.addBindValue(r.id);
        n.addBindValue(timeValue(at));
        n.addBindValue(intValue(r.tile));
        n.addBindValue(intValue(r.serial));
        n.addBindValue(textValue(r.generator));
        n.addBindValue(textValue(r.breaker));
        return exec(n, error);
    }

    bool applyState(StationRow& station, const ParsedMessage& m, const QDateTime& at,
                    QString* error) {
        RelayRow* r = relayFor(station, m, at, true, error);
        if (r == nullptr) {
            return false;
        }
        const bool namesChanged = r->tile != m.tile || r->serial != m.serial ||
                                  r->generator != m.generator || r->breaker != m.breaker;
        const bool changed = namesChanged || r->removed || r->state != m.state ||
                             r->insulation != m.insulationKohm || r->control != m.controlKohm ||
                             r->signal != m.signalKohm || r->trip != m.tripKohm ||
                             r->lastAnswer != m.lastAnswer || r->good != m.goodAnswers ||
                             r->bad != m.badAnswers || !r->lastSeen.isValid() ||
                             r->lastSeen.secsTo(at) >= 60;
        if (changed) {
            QSqlQuery& u = st("relayUpdate");
            u.addBindValue(intValue(m.tile));
            u.addBindValue(intValue(m.serial));
            u.addBindValue(textValue(m.generator));
            u.addBindValue(textValue(m.breaker));
            u.addBindValue(textValue(m.state));
            u.addBindValue(intValue(m.insulationKohm));
            u.addBindValue(intValue(m.controlKohm));
            u.addBindValue(intValue(m.signalKohm));
            u.addBindValue(intValue(m.tripKohm));
            u.addBindValue(timeValue(m.lastAnswer));
            u.addBindValue(longValue(m.goodAnswers));
            u.addBindValue(longValue(m.badAnswers));
            u.addBindValue(timeValue(at));
            u.addBindValue(r->id);
            if (!exec(u, error)) {
                return false;
            }
            r->tile = m.tile;
            r->serial = m.serial;
            r->generator = m.generator;
            r->breaker = m.breaker;
            r->state = m.state;
            r->insulation = m.insulationKohm;
            r->control = m.controlKohm;
            r->signal = m.signalKohm;
            r->trip = m.tripKohm;
            r->lastAnswer = m.lastAnswer;
            r->good = m.goodAnswers;
            r->bad = m.badAnswers;
            r->removed = false;
            if (!r->lastSeen.isValid() || r->lastSeen < at) {
                r->lastSeen = at;
            }
            if (namesChanged && !insertRelayName(*r, at, error)) {
                return false;
            }
        }
        if (!m.lastAnswer.isValid() || (!m.insulationKohm && !m.controlKohm)) {
            return true;  // never read: nothing measured yet
        }
        QSqlQuery& s = st("sample");
        s.addBindValue(r->id);
        s.addBindValue(timeValue(m.lastAnswer));
        s.addBindValue(intValue(m.insulationKohm));
        s.addBindValue(intValue(m.controlKohm));
        if (!exec(s, error)) {
            return false;
        }
        staged.stored += uint64_t(qMax(0, s.numRowsAffected()));
        return true;
    }

    bool applyRemoved(StationRow& station, const ParsedMessage& m, const QDateTime& at,
                      QString* error) {
        RelayRow* r = relayFor(station, m, at, false, error);
        if (r == nullptr) {
            return error->isEmpty();  // never seen: nothing to mark
        }
        if (r->removed) {
            return true;
        }
        QSqlQuery& u = st("relayRemoved");
        u.addBindValue(timeValue(at));
        u.addBindValue(r->id);
        if (!exec(u, error)) {
            return false;
        }
        r->removed = true;
        return true;
    }

    // Whether (station, record) went in now; false with an empty error for one stored before.
    bool insertRecord(int stationId, qint64 record, const char* kind, bool* inserted,
                      QString* error) {
        QSqlQuery& q = st("record");
        q.addBindValue(stationId);
        q.addBindValue(record);
        q.addBindValue(QString::fromLatin1(kind));
        if (!exec(q, error)) {
            return false;
        }
        *inserted = q.numRowsAffected() > 0;
        return true;
    }

    bool applyEvent(StationRow& station, const ParsedMessage& m, const PlantMessage& message,
                    const QDateTime& at, QString* error) {
        RelayRow* r = relayFor(station, m, at, true, error);
        if (r == nullptr) {
            return false;
        }
        const QDateTime detectedAt = m.detectedAt.isValid() ? m.detectedAt : at;
        const qint64 record = m.record ? *m.record : unnumberedEventKey(m, detectedAt);
        bool inserted = false;
        if (!insertRecord(station.id, record, "event", &inserted, error)) {
            return false;
        }
        bool renumbered = false;
        if (!inserted && m.record) {
            // The number is taken: the same event again, or a station whose journal began anew
            // (a journal file lost and made again numbers from 1). The second is a real event:
            // kept under the key of an unnumbered one, never dropped as a duplicate.
            QSqlQuery& q = st("eventSame");
            q.addBindValue(r->id);
            q.addBindValue(record);
            q.addBindValue(timeValue(detectedAt));
            q.addBindValue(timeValue(detectedAt));
            if (!exec(q, error)) {
                return false;
            }
            const bool same = q.next();
            q.finish();
            if (!same) {
                renumbered = true;
                noteNumberTaken(m, record);
                if (!insertRecord(station.id, unnumberedEventKey(m, detectedAt), "event", &inserted,
                                  error)) {
                    return false;
                }
            }
        }
        if (!inserted) {
            staged.duplicates += 1;
            return true;
        }
        QSqlQuery& e = st("event");
        e.addBindValue(station.id);
        e.addBindValue(r->id);
        e.addBindValue(record);
        e.addBindValue(timeValue(detectedAt));
        e.addBindValue(m.eventTime.isEmpty() ? QVariant(QMetaType::fromType<QString>())
                                             : QVariant(m.eventTime));
        e.addBindValue(intValue(m.signCode));
        e.addBindValue(textValue(m.signText));
        e.addBindValue(textValue(m.alarmLine));
        e.addBindValue(intValue(m.tile));
        e.addBindValue(intValue(m.serial));
        e.addBindValue(textValue(m.generator));
        e.addBindValue(textValue(m.breaker));
        e.addBindValue(m.replayed);
        e.addBindValue(timeValue(message.receivedAt.isValid() ? message.receivedAt : at));
        if (!exec(e, error)) {
            return false;
        }
        staged.stored += 1;
        if (!m.record || renumbered) {
            return true;
        }
        return checkGaps(station, m, at, error);
    }

    bool eventStored(int stationId, qint64 record, bool* stored, QString* error) {
        QSqlQuery& q = st("eventStored");
        q.addBindValue(stationId);
        q.addBindValue(record);
        if (!exec(q, error)) {
            return false;
        }
        *stored = q.next();
        q.finish();
        return true;
    }

    // The highest event record of the station at or below `record`, when there is one.
    bool eventAtOrBelow(int stationId, qint64 record, std::optional<qint64>* found,
                        QString* error) {
        QSqlQuery& q = st("eventAtOrBelow");
        q.addBindValue(stationId);
        q.addBindValue(record);
        if (!exec(q, error)) {
            return false;
        }
        *found = q.next() && !q.value(0).isNull() ? std::optional<qint64>(q.value(0).toLongLong())
                                                  : std::nullopt;
        q.finish();
        return true;
    }

    // An event names the station's previous event: when that one is not here while the station
    // was followed before it, the broker lost what lay between. An event that arrives after all
    // (a station replaying its journal) takes its number out of the gap's account.
    bool checkGaps(StationRow& station, const ParsedMessage& m, const QDateTime& at,
                   QString* error) {
        const qint64 record = *m.record;
        bool previousMissing = false;
        if (m.previous) {
            bool stored = false;
            if (!eventStored(station.id, *m.previous, &stored, error)) {
                return false;
            }
            std::optional<qint64> followed;
            if (!stored && !eventAtOrBelow(station.id, *m.previous, &followed, error)) {
                return false;
            }
            previousMissing = !stored && followed.has_value();
        }

        QSqlQuery& g = st("gapsMissing");
        g.addBindValue(station.id);
        g.addBindValue(record);
        if (!exec(g, error)) {
            return false;
        }
        struct Gap {
            int id;
            qint64 after, before;
            QList<qint64> missing;
        };
        QList<Gap> filling;
        while (g.next()) {
            filling.append({g.value(0).toInt(), g.value(1).toLongLong(), g.value(2).toLongLong(),
                            parseBigintArray(g.value(3))});
        }
        g.finish();

        if (filling.isEmpty()) {
            if (!previousMissing) {
                return true;
            }
            std::optional<qint64> after;
            if (!eventAtOrBelow(station.id, record - 1, &after, error)) {
                return false;
            }
            QSqlQuery& i = st("gapInsert");
            i.addBindValue(station.id);
            i.addBindValue(after.value_or(0));
            i.addBindValue(record);
            i.addBindValue(arrayLiteral({*m.previous}));
            i.addBindValue(timeValue(at));
            if (!exec(i, error)) {
                return false;
            }
            staged.stored += 1;
            staged.gaps += 1;
            staged.logs.append(
                QStringLiteral("Станция %1: пропущены записи журнала %2 (между %3 и %4)")
                    .arg(m.station, QString::number(*m.previous))
                    .arg(after.value_or(0))
                    .arg(record));
            return true;
        }
        for (Gap& gap : filling) {
            // The late event's own predecessor missing too: the same hole, one number wider.
            if (previousMissing && !gap.missing.contains(*m.previous)) {
                QSqlQuery& x = st("gapExtend");
                x.addBindValue(*m.previous);
                x.addBindValue(gap.id);
                x.addBindValue(*m.previous);
                if (!exec(x, error)) {
                    return false;
                }
                gap.missing.append(*m.previous);
                continue;
            }
            bool all = true;
            for (const qint64 n : gap.missing) {
                bool stored = false;
                if (!eventStored(station.id, n, &stored, error)) {
                    return false;
                }
                all = all && stored;
            }
            if (!all) {
                continue;
            }
            QSqlQuery& f = st("gapFill");
            f.addBindValue(timeValue(at));
            f.addBindValue(gap.id);
            if (!exec(f, error)) {
                return false;
            }
            staged.logs.append(
                QStringLiteral("Станция %1: записи журнала %2 получены, пропуск между "
                               "%3 и %4 закрыт")
                    .arg(m.station, numbersText(gap.missing))
                    .arg(gap.after)
                    .arg(gap.before));
        }
        return true;
    }

    void noteNumberTaken(const ParsedMessage& m, qint64 record) {
        if (numberTakenLogged.contains(m.station)) {
            return;
        }
        numberTakenLogged.insert(m.station);
        staged.logs.append(QStringLiteral("Станция %1: номер записи журнала %2 уже занят другой "
                                          "записью (журнал станции начат заново?); такие записи "
                                          "сохраняются без проверки пропусков")
                               .arg(m.station)
                               .arg(record));
    }

    bool applyAlarm(StationRow& station, const ParsedMessage& m, const QDateTime& at,
                    QString* error) {
        const QDateTime changedAt = m.changedAt.isValid() ? m.changedAt : at;
        const AlarmMove move{changedAt.toMSecsSinceEpoch(), m.alarmState, m.change};
        const auto moveKey = std::make_pair(station.id, m.alarmId);
        if (m.record) {
            bool inserted = false;
            if (!insertRecord(station.id, *m.record, "alarm", &inserted, error)) {
                return false;
            }
            if (!inserted) {
                QSqlQuery& q = st("alarmRecordSame");
                q.addBindValue(station.id);
                q.addBindValue(*m.record);
                q.addBindValue(m.alarmId);
                q.addBindValue(timeValue(changedAt));
                q.addBindValue(timeValue(changedAt));
                if (!exec(q, error)) {
                    return false;
                }
                const bool same = q.next();
                q.finish();
                if (same) {
                    staged.duplicates += 1;
                    return true;
                }
                noteNumberTaken(m, *m.record);  // kept: a later copy matches the row it makes
            }
        } else {
            // An older station does not number its alarms; its retained alarm, given again on
            // every subscription, is the same move when its time, state and change are.
            const auto known = alarmMoves.find(moveKey);
            bool same = known != alarmMoves.end() && known->second == move;
            if (known == alarmMoves.end()) {
                QSqlQuery& q = st("alarmSame");
                q.addBindValue(station.id);
                q.addBindValue(m.alarmId);
                q.addBindValue(timeValue(changedAt));
                q.addBindValue(m.alarmState);
                q.addBindValue(textValue(m.change));
                if (!exec(q, error)) {
                    return false;
                }
                same = q.next();
                q.finish();
            }
            if (same) {
                alarmMoves[moveKey] = move;
                staged.duplicates += 1;
                return true;
            }
        }
        std::optional<int> relayId;
        if (m.address >= 0) {
            RelayRow* r = relayFor(station, m, at, true, error);
            if (r == nullptr) {
                return false;
            }
            relayId = r->id;
        }
        QSqlQuery& a = st("alarm");
        a.addBindValue(station.id);
        a.addBindValue(intValue(relayId));
        a.addBindValue(longValue(m.record));
        a.addBindValue(m.alarmId);
        a.addBindValue(m.alarmKind);
        a.addBindValue(m.priority);
        a.addBindValue(m.alarmState);
        a.addBindValue(textValue(m.change));
        a.addBindValue(boolValue(m.shelved));
        a.addBindValue(boolValue(m.suppressed));
        a.addBindValue(textValue(m.text));
        a.addBindValue(timeValue(m.raisedAt));
        a.addBindValue(timeValue(m.returnedAt));
        a.addBindValue(timeValue(m.acknowledgedAt));
        a.addBindValue(timeValue(changedAt));
        a.addBindValue(timeValue(at));
        if (!exec(a, error)) {
            return false;
        }
        alarmMoves[moveKey] = move;
        staged.stored += 1;
        return true;
    }

    // ---- the queue and the spool ---------------------------------------------------------------

    void toSpool(const Item& item) {
        const QByteArray record = encode(item);
        QString why;
        if (spool.bytes() + record.size() + 8 > settings.spoolLimitBytes) {
            why = settings.spoolLimitBytes >= (1 << 20)
                      ? QStringLiteral("очередь на диске заполнена (%1 МБ)")
                            .arg(settings.spoolLimitBytes >> 20)
                      : QStringLiteral("очередь на диске заполнена (%1 байт)")
                            .arg(settings.spoolLimitBytes);
        } else if (spool.append(record, &why)) {
            return;
        }
        stats.dropped += 1;
        droppedSinceLog += 1;
        if (!sinceDropLog.isValid() || sinceDropLog.elapsed() >= kDropLogMs) {
            log(QStringLiteral("Сообщения отбрасываются: %1; отброшено %2, всего %3")
                    .arg(why)
                    .arg(droppedSinceLog)
                    .arg(stats.dropped));
            droppedSinceLog = 0;
            sinceDropLog.start();
        }
    }

    void queueToSpool() {
        for (const Item& item : queue) {
            toSpool(item);
        }
        queue.clear();
    }

    // What waits on disk first, oldest first, a batch a transaction, each batch marked taken once
    // committed; false when the database went away or the time is up with some left.
    bool drainSpool(const QDeadlineTimer& deadline) {
        while (dbUp && !spool.empty()) {
            if (deadline.hasExpired()) {
                return false;
            }
            const QList<QByteArray> records = spool.peek(kBatch);
            if (records.isEmpty()) {
                if (spool.empty()) {
                    break;
                }
                return false;  // unreadable: peek logged it
            }
            std::vector<Item> items;
            items.reserve(records.size());
            for (const QByteArray& r : records) {
                if (auto item = decode(r)) {
                    items.push_back(std::move(*item));
                } else {
                    log(QStringLiteral("Очередь на диске: нечитаемая запись пропущена"));
                }
            }
            std::vector<const Item*> pointers;
            for (const Item& i : items) {
                pointers.push_back(&i);
            }
            if (!pointers.empty() && writeItems(pointers) != Outcome::Written) {
                return false;
            }
            spool.take();
        }
        return spool.empty();
    }

    void writeQueue() {
        while (dbUp && !queue.empty()) {
            const size_t n = std::min<size_t>(queue.size(), kBatch);
            std::vector<const Item*> pointers;
            for (size_t i = 0; i < n; ++i) {
                pointers.push_back(&queue[i]);
            }
            if (writeItems(pointers) != Outcome::Written) {
                break;
            }
            queue.erase(queue.begin(), queue.begin() + qsizetype(n));
        }
        if (!dbUp) {
            queueToSpool();
        }
    }

    void accept(Item item) {
        if (started && !stopped && dbUp && spool.empty()) {
            queue.push_back(std::move(item));
            if (queue.size() >= size_t(kBatch)) {
                writeQueue();
                settle();
            }
            return;
        }
        if (!started && !stopped) {
            queue.push_back(std::move(item));  // before start(): written once it has opened things
            return;
        }
        // Behind what already waits on disk, so that the order stays the broker's.
        toSpool(item);
    }

    void work(const QDeadlineTimer& deadline) {
        if (!dbUp) {
            queueToSpool();
            if (!sinceAttempt.isValid() || sinceAttempt.elapsed() >= kRetryMs) {
                connectDatabase();
            }
        }
        if (dbUp && drainSpool(deadline)) {
            writeQueue();
        } else {
            queueToSpool();
        }
        if (dbUp && sinceMaintenance.elapsed() >= kMaintenanceMs) {
            QString error;
            if (!maintain(&error)) {
                databaseProblem(error);
            }
        }
        settle();
    }
};

Historian::Historian(HistorianSettings settings, Log log)
    : impl_(std::make_unique<Impl>(std::move(settings), std::move(log))) {}

Historian::~Historian() {
    if (impl_->started && !impl_->stopped) {
        stop(0);
    }
    impl_->closeDatabase();
    if (QSqlDatabase::contains(impl_->connection)) {
        QSqlDatabase::removeDatabase(impl_->connection);
    }
}

bool Historian::start(QString* error) {
    QString why;
    if (!impl_->spool.open(&why)) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    }
    DatabaseSettings& db = impl_->settings.database;
    if (db.password.isEmpty() && !db.passwordFile.isEmpty()) {
        QFile file(db.passwordFile);
        if (file.open(QIODevice::ReadOnly)) {
            db.password = file.readAll().trimmed();
        } else {
            impl_->log(QStringLiteral("Файл пароля базы данных %1 не прочитан: %2")
                           .arg(db.passwordFile, file.errorString()));
        }
    }
    if (!impl_->spool.empty()) {
        impl_->log(
            QStringLiteral("Очередь на диске: %1 байт от прошлого запуска будут записаны первыми")
                .arg(impl_->spool.bytes()));
    }
    impl_->started = true;
    impl_->stopped = false;
    // What came before start() goes behind what a previous run left on disk.
    if (!impl_->spool.empty()) {
        impl_->queueToSpool();
    }
    impl_->work(QDeadlineTimer(kTickBudgetMs));
    return true;
}

void Historian::received(const PlantMessage& message) {
    impl_->stats.received += 1;
    Item item;
    item.message = message;
    impl_->accept(std::move(item));
}

void Historian::brokerChanged(bool connected, const QString& reason) {
    Item item;
    item.type = Item::Broker;
    item.connected = connected;
    item.reason = reason;
    item.at = QDateTime::currentDateTimeUtc();
    impl_->accept(std::move(item));
}

void Historian::tick() {
    if (!impl_->started || impl_->stopped) {
        return;
    }
    impl_->work(QDeadlineTimer(kTickBudgetMs));
}

void Historian::stop(int seconds) {
    if (!impl_->started || impl_->stopped) {
        return;
    }
    const QDeadlineTimer deadline(qint64(qMax(0, seconds)) * 1000);
    if (impl_->dbUp && impl_->drainSpool(deadline) && !deadline.hasExpired()) {
        impl_->writeQueue();
    }
    impl_->queueToSpool();
    impl_->stopped = true;
    impl_->dbUp = false;
    impl_->closeDatabase(impl_->closePending);
    impl_->closePending = false;
    if (!impl_->spool.empty()) {
        impl_->log(QStringLiteral("Остановка: %1 байт остались в очереди на диске %2")
                       .arg(impl_->spool.bytes())
                       .arg(impl_->settings.spoolFolder));
    }
}

Historian::Stats Historian::stats() const {
    Stats s = impl_->stats;
    s.spoolBytes = impl_->spool.bytes();
    s.waiting = int(impl_->queue.size());
    s.databaseUp = impl_->dbUp;
    return s;
}

}  // namespace terval
