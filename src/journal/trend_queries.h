#pragma once

#include <QSqlError>
#include <QString>
#include <QVariant>
#include <cstdint>
#include <optional>

#include "journal/insulation_trend.h"

class QSqlQuery;

namespace terval {

// The statements a read of the trend runs on: the journal's own connection on the thread the
// journal lives on, or a reader's connection of its own on another thread.
class TrendStatements {
  public:
    virtual ~TrendStatements() = default;
    // A statement prepared once and kept; nothing when it does not prepare (the reason in
    // `error`) or no file is open.
    virtual QSqlQuery* statement(const QString& sql, QSqlError* error) = 0;
    virtual bool isReadable() const = 0;
    // What to tell of a read that failed with `error`; without one, why there is no file.
    virtual QString readFailure(const QSqlError* error = nullptr) const = 0;
};

// Binds `values` in order and runs the statement; the error when it fails.
std::optional<QSqlError> runTrendStatement(QSqlQuery* query, const QVariantList& values);
// The first column of the first row of a query: NULL when there is no row; nothing, with the
// error, when the query fails. The statement is finished at once, so that it holds no snapshot.
std::optional<QVariant> trendValue(TrendStatements& source, const QString& sql,
                                   const QVariantList& values, QSqlError* error);
// The time at one end of a relay's rows in a table: its oldest or newest, in milliseconds.
std::optional<QVariant> trendEndOf(TrendStatements& source, const char* table, const char* column,
                                   qint64 unitMs, uint16_t address, bool newest, QSqlError* error);

// A relay's points in [fromMs, toMs), as InsulationTrend::read() describes them.
TrendSeries readTrendSeries(TrendStatements& source, uint16_t address, qint64 fromMs, qint64 toMs,
                            TrendResolution resolution);

}  // namespace terval
