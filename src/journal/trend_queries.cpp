#include "journal/trend_queries.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>
#include <algorithm>
#include <limits>

namespace terval {
namespace {

// Time divided into minutes or hours, rounded down or up, right for times before 1970 as well.
qint64 floorDiv(qint64 a, qint64 b) {
    const qint64 q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}
qint64 ceilDiv(qint64 a, qint64 b) {
    const qint64 q = a / b;
    return (a % b != 0 && a > 0) ? q + 1 : q;
}

qint64 bucketMs(TrendResolution resolution) {
    return resolution == TrendResolution::Hour ? kHourMs : kMinuteMs;
}

qint64 gapFloorMs(TrendResolution resolution) {
    switch (resolution) {
        case TrendResolution::Raw:
            return kMinuteMs;
        case TrendResolution::Minute:
            return kMinuteMs * 5 / 2;
        case TrendResolution::Hour:
            return kHourMs * 5 / 2;
    }
    return kMinuteMs;
}

// Two and a half times the median spacing of the points, and never less than the floor of the
// resolution: a median is not moved by the gaps themselves, as long as they are fewer than the
// points.
qint64 gapOf(const std::vector<TrendPoint>& points, TrendResolution resolution) {
    const qint64 floor = gapFloorMs(resolution);
    if (points.size() < 2) {
        return floor;
    }
    std::vector<qint64> spacing;
    spacing.reserve(points.size() - 1);
    for (size_t i = 1; i < points.size(); ++i) {
        spacing.push_back(points[i].timeMs - points[i - 1].timeMs);
    }
    const auto middle = spacing.begin() + static_cast<std::ptrdiff_t>(spacing.size() / 2);
    std::nth_element(spacing.begin(), middle, spacing.end());
    return std::max(floor, *middle * 5 / 2);
}

}  // namespace

// Binds `values` in order and runs the statement; the error when it fails.
std::optional<QSqlError> runTrendStatement(QSqlQuery* query, const QVariantList& values) {
    for (int i = 0; i < values.size(); ++i) {
        query->bindValue(i, values[i]);
    }
    if (!query->exec()) {
        return query->lastError();
    }
    return std::nullopt;
}

// The first column of the first row of a query on the source's connection: NULL when there is
// no row; nothing, with the error, when the query fails.
std::optional<QVariant> trendValue(TrendStatements& source, const QString& sql,
                                   const QVariantList& values, QSqlError* error) {
    QSqlQuery* query = source.statement(sql, error);
    if (!query) {
        return std::nullopt;
    }
    if (auto failure = runTrendStatement(query, values)) {
        *error = *failure;
        return std::nullopt;
    }
    QVariant value;
    if (query->next()) {
        value = query->value(0);
    }
    // An open statement would hold its read snapshot, and the log could not be copied past it.
    query->finish();
    return value;
}

// The time at one end of a relay's rows in a table: its oldest or newest, in milliseconds.
std::optional<QVariant> trendEndOf(TrendStatements& source, const char* table, const char* column,
                                   qint64 unitMs, uint16_t address, bool newest, QSqlError* error) {
    const QString sql =
        QStringLiteral("SELECT %2 * %3 FROM %1 WHERE address = ? ORDER BY %2 %4 LIMIT 1")
            .arg(QLatin1String(table), QLatin1String(column))
            .arg(unitMs)
            .arg(newest ? QStringLiteral("DESC") : QStringLiteral("ASC"));
    return trendValue(source, sql, {address}, error);
}

TrendSeries readTrendSeries(TrendStatements& source, uint16_t address, qint64 fromMs, qint64 toMs,
                            TrendResolution resolution) {
    TrendSeries series;
    series.address = address;
    series.resolution = resolution;
    series.gapMs = gapFloorMs(resolution);
    if (!source.isReadable()) {
        series.error = source.readFailure();
        return series;
    }
    if (toMs <= fromMs) {
        return series;
    }
    QSqlError error;
    const auto failed = [&] {
        series.error = source.readFailure(&error);
        return series;
    };
    if (resolution == TrendResolution::Raw) {
        const std::optional<QVariant> oldest =
            trendEndOf(source, "trend_samples", "time_ms", 1, address, false, &error);
        if (!oldest) {
            return failed();
        }
        if (oldest->isNull() || fromMs < oldest->toLongLong()) {
            const qint64 end =
                oldest->isNull()
                    ? ceilDiv(toMs, kMinuteMs)
                    : std::min(floorDiv(oldest->toLongLong(), kMinuteMs), ceilDiv(toMs, kMinuteMs));
            const std::optional<QVariant> older = trendValue(
                source,
                QStringLiteral("SELECT 1 FROM trend_minutes WHERE address = ? AND minute >= ? "
                               "AND minute < ? LIMIT 1"),
                {address, ceilDiv(fromMs, kMinuteMs), end}, &error);
            if (!older) {
                return failed();
            }
            if (!older->isNull()) {
                series.resolution = TrendResolution::Minute;
            }
        }
    }

    QSqlQuery* query = nullptr;
    if (series.resolution == TrendResolution::Raw) {
        query = source.statement(
            QStringLiteral("SELECT time_ms, insulation, control FROM trend_samples WHERE "
                           "address = ? AND time_ms >= ? AND time_ms < ? ORDER BY time_ms"),
            &error);
        if (!query) {
            return failed();
        }
        if (auto failure = runTrendStatement(query, {address, fromMs, toMs})) {
            error = *failure;
            return failed();
        }
        while (query->next()) {
            const double insulation = query->value(1).toDouble();
            series.points.push_back({query->value(0).toLongLong(), insulation, insulation,
                                     insulation, query->value(2).toDouble(), 1});
        }
    } else {
        const bool hours = series.resolution == TrendResolution::Hour;
        const qint64 unit = bucketMs(series.resolution);
        query = source.statement(
            QStringLiteral("SELECT %2, count, insulation_min, insulation_max, insulation_sum, "
                           "control_sum FROM %1 WHERE address = ? AND %2 >= ? AND %2 < ? "
                           "ORDER BY %2")
                .arg(hours ? QStringLiteral("trend_hours") : QStringLiteral("trend_minutes"),
                     hours ? QStringLiteral("hour") : QStringLiteral("minute")),
            &error);
        if (!query) {
            return failed();
        }
        if (auto failure =
                runTrendStatement(query, {address, ceilDiv(fromMs, unit), ceilDiv(toMs, unit)})) {
            error = *failure;
            return failed();
        }
        while (query->next()) {
            const qint64 count = query->value(1).toLongLong();
            const double n = static_cast<double>(std::max<qint64>(count, 1));
            series.points.push_back({query->value(0).toLongLong() * unit,
                                     static_cast<double>(query->value(4).toLongLong()) / n,
                                     query->value(2).toDouble(), query->value(3).toDouble(),
                                     static_cast<double>(query->value(5).toLongLong()) / n,
                                     static_cast<int>(count)});
        }
    }
    if (query->lastError().isValid()) {
        error = query->lastError();
        query->finish();
        series.points.clear();
        return failed();
    }
    query->finish();
    series.gapMs = gapOf(series.points, series.resolution);
    return series;
}

}  // namespace terval
