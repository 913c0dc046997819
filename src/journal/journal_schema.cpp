#include "journal/journal_schema.h"

#include <QSqlQuery>
#include <QVariant>
#include <iterator>

namespace terval {
namespace {

std::optional<QSqlError> run(QSqlQuery& query, const QString& sql) {
    if (!query.exec(sql)) {
        return query.lastError();
    }
    return std::nullopt;
}

std::optional<QSqlError> runAll(QSqlQuery& query, std::initializer_list<const char*> statements) {
    for (const char* sql : statements) {
        if (auto error = run(query, QString::fromLatin1(sql))) {
            return error;
        }
    }
    return std::nullopt;
}

// Version 1. One row per record, newest found by the time index; the rowid (id) orders records of
// the same millisecond as they were written. The relay columns are NULL for a record of the whole
// station. `search` holds the folded text and names, since SQLite's own lower() and LIKE fold
// only ASCII letters and the operator searches Cyrillic names.
std::optional<QSqlError> toVersion1(QSqlQuery& query) {
    auto error = runAll(query, {
                                   "CREATE TABLE schema_version (version INTEGER NOT NULL)",
                                   "CREATE TABLE entries ("
                                   " id INTEGER PRIMARY KEY,"
                                   " time_ms INTEGER NOT NULL,"
                                   " kind INTEGER NOT NULL,"
                                   " relay INTEGER,"
                                   " address INTEGER,"
                                   " generator TEXT,"
                                   " breaker TEXT,"
                                   " text TEXT NOT NULL,"
                                   " details TEXT,"
                                   " protocol BLOB,"
                                   " search TEXT NOT NULL)",
                                   "CREATE INDEX entries_by_time ON entries (time_ms)",
                                   "CREATE INDEX entries_by_relay ON entries (relay, time_ms)",
                               });
    if (error) {
        return error;
    }
    return run(query, QStringLiteral("PRAGMA application_id = %1").arg(kJournalApplicationId));
}

// Version 2: the insulation trend. Samples and aggregates are keyed by relay address and time, the
// only way they are ever looked up, so each table is its own index (WITHOUT ROWID) and carries no
// other. Resistances are whole kilo-ohms as the relay gives them; times are milliseconds since
// 1970 UTC for samples and levels, minute and hour numbers since 1970 UTC for the aggregates,
// which take fewer bytes a row. An aggregate keeps sums rather than means, so that samples added
// to a minute later still give its exact mean.
std::optional<QSqlError> toVersion2(QSqlQuery& query) {
    return runAll(query, {
                             "CREATE TABLE trend_samples ("
                             " address INTEGER NOT NULL,"
                             " time_ms INTEGER NOT NULL,"
                             " insulation INTEGER NOT NULL,"
                             " control INTEGER NOT NULL,"
                             " PRIMARY KEY (address, time_ms)) WITHOUT ROWID",
                             "CREATE TABLE trend_minutes ("
                             " address INTEGER NOT NULL,"
                             " minute INTEGER NOT NULL,"
                             " count INTEGER NOT NULL,"
                             " insulation_min INTEGER NOT NULL,"
                             " insulation_max INTEGER NOT NULL,"
                             " insulation_sum INTEGER NOT NULL,"
                             " control_sum INTEGER NOT NULL,"
                             " PRIMARY KEY (address, minute)) WITHOUT ROWID",
                             "CREATE TABLE trend_hours ("
                             " address INTEGER NOT NULL,"
                             " hour INTEGER NOT NULL,"
                             " count INTEGER NOT NULL,"
                             " insulation_min INTEGER NOT NULL,"
                             " insulation_max INTEGER NOT NULL,"
                             " insulation_sum INTEGER NOT NULL,"
                             " control_sum INTEGER NOT NULL,"
                             " PRIMARY KEY (address, hour)) WITHOUT ROWID",
                             "CREATE TABLE alarm_levels ("
                             " address INTEGER NOT NULL,"
                             " read_ms INTEGER NOT NULL,"
                             " signal INTEGER NOT NULL,"
                             " trip INTEGER NOT NULL,"
                             " PRIMARY KEY (address, read_ms)) WITHOUT ROWID",
                         });
}

// Version 3: numbers the station keeps beside its records, by name; the first is the newest
// protection event the plant's broker has confirmed, so that a restart sends what it had not.
std::optional<QSqlError> toVersion3(QSqlQuery& query) {
    return runAll(query, {"CREATE TABLE marks ("
                          " name TEXT PRIMARY KEY,"
                          " value INTEGER NOT NULL) WITHOUT ROWID"});
}

// Step i brings version i to version i + 1. A new layout is one more function here and
// kJournalSchemaVersion one higher.
using Step = std::optional<QSqlError> (*)(QSqlQuery&);
constexpr Step kSteps[] = {toVersion1, toVersion2, toVersion3};
static_assert(std::size(kSteps) == kJournalSchemaVersion);

}  // namespace

std::optional<int> journalSchemaVersion(QSqlDatabase& db, QSqlError* error) {
    QSqlQuery query(db);
    const auto fail = [&]() -> std::optional<int> {
        if (error) {
            *error = query.lastError();
        }
        return std::nullopt;
    };
    if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                                   "name = 'schema_version'")) ||
        !query.next()) {
        return fail();
    }
    if (query.value(0).toInt() == 0) {
        return 0;
    }
    if (!query.exec(QStringLiteral("SELECT max(version) FROM schema_version")) || !query.next()) {
        return fail();
    }
    return query.value(0).toInt();
}

std::optional<QSqlError> migrateJournal(QSqlDatabase& db, int from, int to) {
    QSqlQuery query(db);
    for (int version = from; version < to && version < kJournalSchemaVersion; ++version) {
        auto error = runAll(query, {"BEGIN IMMEDIATE"});
        if (error) {
            return error;
        }
        error = kSteps[version](query);
        if (!error) {
            error = runAll(query, {"DELETE FROM schema_version"});
        }
        if (!error) {
            error = run(query, QStringLiteral("INSERT INTO schema_version (version) VALUES (%1)")
                                   .arg(version + 1));
        }
        if (!error) {
            error = runAll(query, {"COMMIT"});
        }
        if (error) {
            query.exec(QStringLiteral("ROLLBACK"));
            return error;
        }
    }
    return std::nullopt;
}

}  // namespace terval
