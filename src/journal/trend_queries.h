#pragma once

#include <QString>
#include <cstdint>

#include "journal/insulation_trend.h"

class QSqlError;
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

// A relay's points in [fromMs, toMs), as InsulationTrend::read() describes them.
TrendSeries readTrendSeries(TrendStatements& source, uint16_t address, qint64 fromMs, qint64 toMs,
                            TrendResolution resolution);

}  // namespace terval
