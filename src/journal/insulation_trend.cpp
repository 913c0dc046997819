#include "journal/insulation_trend.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <QtDebug>
#include <algorithm>
#include <limits>
#include <map>
#include <tuple>

#include "journal/journal.h"
#include "journal/trend_queries.h"

namespace terval {
namespace {

constexpr qint64 kRawSpanMs = 6 * kHourMs;
constexpr qint64 kMinuteSpanMs = 7 * 24 * kHourMs;
// Modbus addresses a relay can answer at; 0 is everyone's.
constexpr uint16_t kMaxAddress = 247;

// Time divided into minutes or hours, rounded down, right for times before 1970 as well.
qint64 floorDiv(qint64 a, qint64 b) {
    const qint64 q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

// The aggregate of one relay's samples in one minute or hour, as both tables keep it.
struct Aggregate {
    qint64 count = 0;
    qint64 min = 0;
    qint64 max = 0;
    qint64 sum = 0;
    qint64 controlSum = 0;

    void add(const InsulationSample& s) {
        if (count == 0) {
            min = max = s.insulationKohm;
        } else {
            min = std::min<qint64>(min, s.insulationKohm);
            max = std::max<qint64>(max, s.insulationKohm);
        }
        ++count;
        sum += s.insulationKohm;
        controlSum += s.controlKohm;
    }
};
using Buckets = std::map<std::pair<uint16_t, qint64>, Aggregate>;

const QString kInsertSample = QStringLiteral(
    "INSERT INTO trend_samples (address, time_ms, insulation, control) VALUES (?, ?, ?, ?) "
    "ON CONFLICT DO NOTHING");

// Adding to an aggregate that is already there keeps it exact: counts and sums add up, the
// extremes are compared.
QString upsertSql(const char* table, const char* bucket) {
    return QStringLiteral(
               "INSERT INTO %1 (address, %2, count, insulation_min, insulation_max, "
               "insulation_sum, control_sum) VALUES (?, ?, ?, ?, ?, ?, ?) "
               "ON CONFLICT (address, %2) DO UPDATE SET count = count + excluded.count, "
               "insulation_min = min(insulation_min, excluded.insulation_min), "
               "insulation_max = max(insulation_max, excluded.insulation_max), "
               "insulation_sum = insulation_sum + excluded.insulation_sum, "
               "control_sum = control_sum + excluded.control_sum")
        .arg(QLatin1String(table), QLatin1String(bucket));
}

// The trend's reads on the journal's own connection.
class JournalStatements final : public TrendStatements {
  public:
    explicit JournalStatements(Journal& journal) : journal_(journal) {}
    QSqlQuery* statement(const QString& sql, QSqlError* error) override {
        return journal_.statement(sql, error);
    }
    bool isReadable() const override { return journal_.isReadable(); }
    QString readFailure(const QSqlError* error) const override {
        return journal_.readFailure(error);
    }

  private:
    Journal& journal_;
};

// The addresses a table holds, ascending: one step down its key per address, rather than a pass
// over all of its rows.
std::optional<std::vector<uint16_t>> addressesOf(Journal& journal, const char* table,
                                                 QSqlError* error) {
    const QString sql =
        QStringLiteral("SELECT address FROM %1 WHERE address > ? ORDER BY address LIMIT 1")
            .arg(QLatin1String(table));
    JournalStatements statements(journal);
    std::vector<uint16_t> out;
    qint64 after = -1;
    for (;;) {
        const std::optional<QVariant> next = trendValue(statements, sql, {after}, error);
        if (!next) {
            return std::nullopt;
        }
        if (next->isNull()) {
            return out;
        }
        after = next->toLongLong();
        out.push_back(static_cast<uint16_t>(after));
    }
}

}  // namespace

bool gapBefore(const TrendSeries& series, size_t i) {
    return i > 0 && i < series.points.size() &&
           series.points[i].timeMs - series.points[i - 1].timeMs > series.gapMs;
}

InsulationTrend::InsulationTrend(Journal& journal, TrendOptions options)
    : journal_(journal), options_(options) {
    journal_.attachTrend(this);
    // The journal trims what is attached when it opens; one opened before is trimmed now.
    if (journal_.isWriting()) {
        trim();
    }
}

InsulationTrend::~InsulationTrend() {
    if (journal_.takesRecords()) {
        flush();
    }
    lost_ += static_cast<qint64>(pending_.size());
    pending_.clear();
    if (journal_.trend() == this) {
        journal_.attachTrend(nullptr);
    }
}

void InsulationTrend::add(const InsulationSample& sample) {
    if (!journal_.takesRecords() || sample.address == 0 || sample.address > kMaxAddress) {
        ++lost_;
        return;
    }
    const auto full = [&] {
        return pending_.size() >= static_cast<size_t>(std::max(options_.pendingLimit, 0));
    };
    // Full while the file takes writes (the journal has just written what it held): written now
    // rather than dropped.
    if (full() && journal_.isWriting()) {
        flush();
    }
    if (full()) {
        ++lost_;
        journal_.samplesDropped(1, options_.pendingLimit);
        return;
    }
    pending_.push_back(sample);
}

std::vector<InsulationSample> InsulationTrend::pendingSamples(uint16_t address) const {
    std::vector<InsulationSample> out;
    for (const InsulationSample& s : pending_) {
        if (s.address == address) {
            out.push_back(s);
        }
    }
    return out;
}

size_t InsulationTrend::pending() const {
    return pending_.size();
}

bool InsulationTrend::flush() {
    if (pending_.empty()) {
        return true;
    }
    if (!journal_.takesRecords()) {
        lost_ += static_cast<qint64>(pending_.size());
        pending_.clear();
        return false;
    }
    // While the journal's records wait, so do the samples, unless the file takes them now.
    if (journal_.isHolding() && !journal_.retry()) {
        return false;
    }
    std::vector<InsulationSample> samples;
    samples.swap(pending_);
    // Back in memory, ahead of any added since, when the journal holds its records; lost when it
    // has stopped writing.
    const auto lose = [&] {
        if (journal_.takesRecords()) {
            samples.insert(samples.end(), pending_.begin(), pending_.end());
            pending_.swap(samples);
        } else {
            lost_ += static_cast<qint64>(samples.size());
        }
        return false;
    };
    if (!journal_.isWriting()) {
        return lose();
    }
    QSqlError error;
    QSqlQuery* insert = journal_.statement(kInsertSample, &error);
    QSqlQuery* minute =
        insert ? journal_.statement(upsertSql("trend_minutes", "minute"), &error) : nullptr;
    QSqlQuery* hour =
        minute ? journal_.statement(upsertSql("trend_hours", "hour"), &error) : nullptr;
    if (!hour) {
        journal_.writeFailed(error);
        return lose();
    }

    // Each sample goes into its aggregates only when it was written itself, so that a minute is
    // always exactly its samples.
    const auto write = [&]() -> bool {
        JournalBatch batch(journal_);
        if (!journal_.isWriting()) {
            return false;
        }
        Buckets minutes;
        Buckets hours;
        for (const InsulationSample& s : samples) {
            insert->bindValue(0, s.address);
            insert->bindValue(1, s.timeMs);
            insert->bindValue(2, s.insulationKohm);
            insert->bindValue(3, s.controlKohm);
            if (!insert->exec()) {
                journal_.writeFailed(insert->lastError());
                return false;
            }
            if (insert->numRowsAffected() != 1) {
                ++lost_;
                continue;
            }
            minutes[{s.address, floorDiv(s.timeMs, kMinuteMs)}].add(s);
            hours[{s.address, floorDiv(s.timeMs, kHourMs)}].add(s);
        }
        for (auto [query, buckets] : {std::pair{minute, &minutes}, std::pair{hour, &hours}}) {
            for (const auto& [key, a] : *buckets) {
                query->bindValue(0, key.first);
                query->bindValue(1, key.second);
                query->bindValue(2, a.count);
                query->bindValue(3, a.min);
                query->bindValue(4, a.max);
                query->bindValue(5, a.sum);
                query->bindValue(6, a.controlSum);
                if (!query->exec()) {
                    journal_.writeFailed(query->lastError());
                    return false;
                }
            }
        }
        return true;
    };
    const qint64 lostBefore = lost_;
    // The batch commits as `write` returns; a commit that fails has made the journal hold its
    // records or stop.
    if (!write() || !journal_.isWriting()) {
        lost_ = lostBefore;
        return lose();
    }
    return true;
}

bool InsulationTrend::storeLevels(uint16_t address, const AlarmLevels& levels) {
    if (!journal_.isWriting() || address == 0 || address > kMaxAddress) {
        return false;
    }
    const std::optional<AlarmLevels> before = this->levels(address, levels.readAtMs);
    // The same levels again are stored once a day: the trend says when they were read, and a
    // relay whose setpoints never change was still read today, not on the day they were set.
    if (before && before->signalKohm == levels.signalKohm && before->tripKohm == levels.tripKohm &&
        QDateTime::fromMSecsSinceEpoch(before->readAtMs).date() ==
            QDateTime::fromMSecsSinceEpoch(levels.readAtMs).date()) {
        return true;
    }
    QSqlError error;
    QSqlQuery* insert = journal_.statement(
        QStringLiteral("INSERT INTO alarm_levels (address, read_ms, signal, trip) "
                       "VALUES (?, ?, ?, ?) ON CONFLICT (address, read_ms) DO UPDATE SET "
                       "signal = excluded.signal, trip = excluded.trip"),
        &error);
    if (!insert) {
        journal_.writeFailed(error);
        return false;
    }
    {
        JournalBatch batch(journal_);
        if (!journal_.isWriting()) {
            return false;
        }
        if (auto failure = runTrendStatement(
                insert, {address, levels.readAtMs, levels.signalKohm, levels.tripKohm})) {
            journal_.writeFailed(*failure);
            return false;
        }
    }
    return journal_.isWriting();
}

std::optional<AlarmLevels> InsulationTrend::levels(uint16_t address, qint64 atMs) const {
    QSqlError error;
    QSqlQuery* query = journal_.statement(
        QStringLiteral("SELECT read_ms, signal, trip FROM alarm_levels WHERE address = ? AND "
                       "read_ms <= ? ORDER BY read_ms DESC LIMIT 1"),
        &error);
    std::optional<QSqlError> failure;
    if (!query) {
        failure = error;
    } else {
        failure = runTrendStatement(query, {address, atMs});
    }
    if (failure) {
        if (journal_.isReadable()) {
            qWarning("insulation trend: the alarm levels could not be read: %s",
                     qPrintable(failure->text()));
        }
        return std::nullopt;
    }
    std::optional<AlarmLevels> found;
    if (query->next()) {
        found = AlarmLevels{query->value(0).toLongLong(),
                            static_cast<uint16_t>(query->value(1).toUInt()),
                            static_cast<uint16_t>(query->value(2).toUInt())};
    }
    query->finish();
    return found;
}

TrendResolution InsulationTrend::resolutionFor(qint64 spanMs) {
    if (spanMs <= kRawSpanMs) {
        return TrendResolution::Raw;
    }
    return spanMs <= kMinuteSpanMs ? TrendResolution::Minute : TrendResolution::Hour;
}

TrendSeries InsulationTrend::read(uint16_t address, qint64 fromMs, qint64 toMs) const {
    // Unsigned, so that the widest span asked for cannot overflow.
    const quint64 span =
        toMs > fromMs ? static_cast<quint64>(toMs) - static_cast<quint64>(fromMs) : 0;
    const qint64 spanMs = static_cast<qint64>(
        std::min<quint64>(span, static_cast<quint64>(std::numeric_limits<qint64>::max())));
    return read(address, fromMs, toMs, resolutionFor(spanMs));
}

TrendSeries InsulationTrend::read(uint16_t address, qint64 fromMs, qint64 toMs,
                                  TrendResolution resolution) const {
    JournalStatements source(journal_);
    return readTrendSeries(source, address, fromMs, toMs, resolution);
}

std::vector<uint16_t> InsulationTrend::addresses() const {
    QSqlError error;
    // Every sample is in an hour, and the hours are the smallest table to step through.
    std::optional<std::vector<uint16_t>> found = addressesOf(journal_, "trend_hours", &error);
    if (!found) {
        if (journal_.isReadable()) {
            qWarning("insulation trend: the relays could not be read: %s",
                     qPrintable(error.text()));
        }
        return {};
    }
    return *found;
}

std::optional<std::pair<qint64, qint64>> InsulationTrend::span(uint16_t address) const {
    JournalStatements statements(journal_);
    QSqlError error;
    const auto end = [&](const char* table, const char* column, qint64 unit,
                         bool newest) -> std::optional<qint64> {
        const std::optional<QVariant> value =
            trendEndOf(statements, table, column, unit, address, newest, &error);
        if (!value || value->isNull()) {
            return std::nullopt;
        }
        return value->toLongLong();
    };
    const std::optional<qint64> firstSample = end("trend_samples", "time_ms", 1, false);
    const std::optional<qint64> lastSample = end("trend_samples", "time_ms", 1, true);
    std::optional<qint64> firstBucket = end("trend_minutes", "minute", kMinuteMs, false);
    std::optional<qint64> lastBucket = end("trend_minutes", "minute", kMinuteMs, true);
    if (!firstBucket) {
        firstBucket = end("trend_hours", "hour", kHourMs, false);
        lastBucket = end("trend_hours", "hour", kHourMs, true);
    }
    if (!firstSample && !firstBucket) {
        return std::nullopt;
    }
    // A sample is exact; an aggregate starting before the minute of the oldest sample kept tells
    // of samples trimmed since, to the minute.
    qint64 first = firstSample.value_or(std::numeric_limits<qint64>::max());
    if (firstBucket && *firstBucket < floorDiv(first, kMinuteMs) * kMinuteMs) {
        first = *firstBucket;
    }
    const qint64 last = std::max(lastSample.value_or(std::numeric_limits<qint64>::min()),
                                 lastBucket.value_or(std::numeric_limits<qint64>::min()));
    return std::pair{first, last};
}

bool InsulationTrend::trim() {
    JournalStatements statements(journal_);
    if (!journal_.isWriting()) {
        return false;
    }
    QSqlError error;
    const auto fail = [&] {
        journal_.writeFailed(error);
        return false;
    };
    const std::optional<std::vector<uint16_t>> sampled =
        addressesOf(journal_, "trend_samples", &error);
    const std::optional<std::vector<uint16_t>> aggregated =
        sampled ? addressesOf(journal_, "trend_minutes", &error) : std::nullopt;
    const std::optional<std::vector<uint16_t>> hourly =
        aggregated ? addressesOf(journal_, "trend_hours", &error) : std::nullopt;
    const std::optional<std::vector<uint16_t>> levelled =
        hourly ? addressesOf(journal_, "alarm_levels", &error) : std::nullopt;
    if (!levelled) {
        return fail();
    }

    // Counted back from the newest sample when the computer's clock is ahead of it, as the
    // journal's own records are.
    std::optional<qint64> newest;
    for (const auto& [addresses, table, column, unit] :
         {std::tuple{&*sampled, "trend_samples", "time_ms", qint64{1}},
          std::tuple{&*aggregated, "trend_minutes", "minute", kMinuteMs}}) {
        for (const uint16_t address : *addresses) {
            const std::optional<QVariant> value =
                trendEndOf(statements, table, column, unit, address, true, &error);
            if (!value) {
                return fail();
            }
            if (!value->isNull()) {
                newest = std::max(newest.value_or(value->toLongLong()), value->toLongLong());
            }
        }
    }
    const qint64 now = journal_.clock().now().toMSecsSinceEpoch();
    const QDateTime reference = QDateTime::fromMSecsSinceEpoch(std::min(now, newest.value_or(now)));

    struct Removal {
        const std::vector<uint16_t>* addresses;
        QString sql;
        QVariantList (*values)(uint16_t address, qint64 cutoff);
        qint64 cutoff;
    };
    std::vector<Removal> removals;
    if (options_.rawDays > 0) {
        removals.push_back({&*sampled,
                            QStringLiteral("DELETE FROM trend_samples WHERE address = ? AND "
                                           "time_ms < ?"),
                            [](uint16_t a, qint64 c) {
                                return QVariantList{a, c};
                            },
                            reference.addDays(-options_.rawDays).toMSecsSinceEpoch()});
    }
    if (journal_.keepMonths() > 0) {
        const qint64 cutoff = reference.addMonths(-journal_.keepMonths()).toMSecsSinceEpoch();
        // Whole minutes and hours only: one that began before the cutoff and ended after it keeps
        // samples that are not old yet.
        removals.push_back({&*aggregated,
                            QStringLiteral("DELETE FROM trend_minutes WHERE address = ? AND "
                                           "minute < ?"),
                            [](uint16_t a, qint64 c) {
                                return QVariantList{a, floorDiv(c, kMinuteMs)};
                            },
                            cutoff});
        removals.push_back({&*hourly,
                            QStringLiteral("DELETE FROM trend_hours WHERE address = ? AND "
                                           "hour < ?"),
                            [](uint16_t a, qint64 c) {
                                return QVariantList{a, floorDiv(c, kHourMs)};
                            },
                            cutoff});
        // The levels in force at the cutoff stay: they are stored only when they change, and may
        // be in force still.
        removals.push_back({&*levelled,
                            QStringLiteral("DELETE FROM alarm_levels WHERE address = ? AND "
                                           "read_ms < (SELECT max(read_ms) FROM alarm_levels "
                                           "WHERE address = ? AND read_ms <= ?)"),
                            [](uint16_t a, qint64 c) {
                                return QVariantList{a, a, c};
                            },
                            cutoff});
    }
    {
        JournalBatch batch(journal_);
        if (!journal_.isWriting()) {
            return false;
        }
        for (const Removal& removal : removals) {
            QSqlQuery* query = journal_.statement(removal.sql, &error);
            if (!query) {
                return fail();
            }
            for (const uint16_t address : *removal.addresses) {
                if (auto failure =
                        runTrendStatement(query, removal.values(address, removal.cutoff))) {
                    error = *failure;
                    return fail();
                }
            }
        }
    }
    return journal_.isWriting();
}

}  // namespace terval
