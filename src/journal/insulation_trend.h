#pragma once

#include <QString>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "station/trend_sink.h"

namespace terval {

class Journal;

// What a series is made of: the samples themselves, or their minimum, mean and maximum per minute
// or per hour.
enum class TrendResolution : uint8_t { Raw = 0, Minute = 1, Hour = 2 };

// A point of a series: one sample (minimum = mean = maximum), or the aggregate of a minute or an
// hour, stamped with the start of it.
struct TrendPoint {
    qint64 timeMs = 0;
    double mean = 0;  // insulation resistance, kΩ
    double min = 0;
    double max = 0;
    double controlMean = 0;  // control resistance, kΩ
    int count = 1;           // samples behind the point
    bool operator==(const TrendPoint&) const = default;
};

struct TrendSeries {
    uint16_t address = 0;
    TrendResolution resolution = TrendResolution::Raw;
    std::vector<TrendPoint> points;  // oldest first
    // Two neighbouring points farther apart than this have a gap between them: the relay did not
    // answer, or the station did not run. A chart draws a gap there, never a line.
    qint64 gapMs = 0;
    QString error;  // why nothing could be read; empty when the read went well
};
// Whether a gap lies between points i - 1 and i.
bool gapBefore(const TrendSeries& series, size_t i);

struct TrendOptions {
    int rawDays = 14;  // raw samples older than this are removed; aggregates live as the journal
};

// Every relay's insulation resistance over time, kept in the journal's file (journal.db) through
// the journal's own connection: raw samples for two weeks, their minimum, mean and maximum per
// minute and per hour for as long as the journal keeps its records. Samples gather in memory and
// are written by flush() in one transaction, so the poll tick never pays for a write; a crash loses
// at most the samples since the last flush. Everything runs on the thread the journal lives on.
class InsulationTrend final : public TrendSink {
  public:
    explicit InsulationTrend(Journal& journal, TrendOptions options = {});

    // Kept until the next flush. Samples while the journal does not write are dropped (the
    // journal has said why, once).
    void add(const InsulationSample& sample) override;
    size_t pending() const;
    // Writes the samples added since the last flush with their minute and hour aggregates, in one
    // transaction. False when the journal could not take them.
    bool flush();

    // The levels as the parameter window has just read them; kept with their date, every reading
    // that changes them.
    bool storeLevels(uint16_t address, const AlarmLevels& levels) override;
    // The levels last read at or before `atMs`; nothing when they never were.
    std::optional<AlarmLevels> levels(
        uint16_t address, qint64 atMs = std::numeric_limits<qint64>::max()) const;

    // The resolution a chart of that span reads: raw up to a few hours, minutes up to about two
    // weeks, hours beyond, so that any span is a few thousand points at most.
    static TrendResolution resolutionFor(qint64 spanMs);
    // The relay's points in [fromMs, toMs), at resolutionFor(toMs - fromMs) or the one given.
    // Raw samples are asked for only where they are still kept; beyond, the minute aggregates
    // stand in.
    TrendSeries read(uint16_t address, qint64 fromMs, qint64 toMs) const;
    TrendSeries read(uint16_t address, qint64 fromMs, qint64 toMs, TrendResolution resolution) const;

    // The addresses with any samples, and the time of one's first and last.
    std::vector<uint16_t> addresses() const;
    std::optional<std::pair<qint64, qint64>> span(uint16_t address) const;

    // Raw samples past rawDays and aggregates past the journal's age removed; the journal calls it
    // when it opens, the station once a day.
    bool trim();

  private:
    Journal& journal_;
    TrendOptions options_;
    std::vector<InsulationSample> pending_;
};

}  // namespace terval
