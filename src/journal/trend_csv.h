#pragma once

#include <QByteArray>
#include <QString>
#include <QTimeZone>
#include <vector>

#include "journal/insulation_trend.h"

namespace terval {

// One relay's points as a chart shows them.
struct TrendCsvRelay {
    int number = 0;  // its tile; 0 for a relay no longer in the device table
    uint16_t address = 0;
    QString generator;
    const TrendSeries* series = nullptr;
};

// The relays' points, relay after relay and each oldest first, laid out as the journal's export
// is (UTF-8 with a byte order mark, ";" between fields, CRLF, dates dd.MM.yyyy HH:mm:ss in
// `zone`): relay, address, generator, time, mean, minimum and maximum in kΩ. Numbers carry the
// decimal comma a Russian spreadsheet reads; single samples are whole kΩ, the means of a minute
// or an hour one decimal.
QByteArray trendCsv(const std::vector<TrendCsvRelay>& relays, const QTimeZone& zone);

}  // namespace terval
