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
    // Samples: two and a half times the usual interval between the series' samples (their median
    // spacing), at least 60 s, so that a poll round or two that missed the relay is no gap, a
    // relay silent for a minute is. Minutes: more than 2.5 minutes, one minute without a sample
    // is no gap, two are. Hours: more than 2.5 hours. A station polling slower than the
    // aggregates (a bus so slow that whole minutes pass between a relay's answers) widens the
    // gap of minutes and hours the same way as that of samples.
    qint64 gapMs = 0;
    QString error;  // why nothing could be read; empty when the read went well
};
// Whether a gap lies between points i - 1 and i.
bool gapBefore(const TrendSeries& series, size_t i);

struct TrendOptions {
    // Raw samples older than this many days are removed (0 keeps them); aggregates and levels
    // live as long as the journal's records.
    int rawDays = 14;
    // Samples kept in memory at most, 16 bytes each: between flushes a minute's, and while the
    // journal's file cannot be written the samples of hours of a full bus (one every 6.4 s from
    // each of 32 relays is 18 000 an hour).
    int pendingLimit = 100000;
};

// Every relay's insulation resistance over time, kept in the journal's file (journal.db) through
// the journal's own connection: raw samples for two weeks, their minimum, mean and maximum per
// minute and per hour for as long as the journal keeps its records. Samples gather in memory and
// are written by flush() in one transaction, so the poll tick never pays for a write; a crash loses
// at most the samples since the last flush. While the journal holds its records because the file
// cannot be written, the samples stay in memory too, up to pendingLimit (the newest are dropped
// beyond it, as the journal's are), and are written by the first flush after the file takes
// records again. Everything runs on the thread the journal lives on.
//
// The trend attaches itself to the journal for as long as it lives: each time the journal opens
// it trims the trend after its own records, and before it closes it writes the samples still in
// memory. Made on a journal that is open already, the trend trims itself at once, so that start-up
// trims both whichever comes first. A journal without a trend (the export) removes no sample. The
// trend goes before its journal.
class InsulationTrend final : public TrendSink {
  public:
    explicit InsulationTrend(Journal& journal, TrendOptions options = {});
    // Writes what is still in memory.
    ~InsulationTrend() override;
    InsulationTrend(const InsulationTrend&) = delete;
    InsulationTrend& operator=(const InsulationTrend&) = delete;

    // Kept until the next flush. Samples while the journal takes no records are dropped (the
    // journal has said why, once) and counted, as are samples of address 0 or above 247 and those
    // beyond pendingLimit.
    void add(const InsulationSample& sample) override;
    size_t pending() const;
    // The relay's samples kept until the next flush, in the order they came: what a chart adds
    // to what it reads from the file.
    std::vector<InsulationSample> pendingSamples(uint16_t address) const;
    // Writes the samples added since the last flush with their minute and hour aggregates, in one
    // transaction (or in the journal's batch, when one is open). False when the journal could not
    // take them: the journal reports why, once. While it holds its records the samples stay for a
    // later flush; when it has stopped writing they are counted lost.
    // A sample at the very millisecond of one the relay already has kept is not written, and is
    // counted lost too: only a computer clock set back can make one.
    bool flush();
    // Samples that never reached the file since the trend was made.
    qint64 lostSamples() const { return lost_; }

    // The levels as the parameter window has just read them; kept with their date, every reading
    // that changes them and the first reading of the same levels on a new day, written at once
    // (they are read seldom). True when they are kept, whether by this reading or an earlier one
    // of the same levels that day.
    bool storeLevels(uint16_t address, const AlarmLevels& levels) override;
    // The levels last read at or before `atMs`; nothing when they never were.
    std::optional<AlarmLevels> levels(uint16_t address,
                                      qint64 atMs = std::numeric_limits<qint64>::max()) const;

    // The resolution a chart of that span reads: raw samples up to 6 hours (3 375 samples a relay
    // at one every 6.4 s, as with 16 relays on the line), minutes up to 7 days (10 080 at most),
    // hours beyond (168 a week, 8 760 a year), so that a span of up to a year is ten thousand
    // points at most.
    static TrendResolution resolutionFor(qint64 spanMs);
    // The relay's points in [fromMs, toMs) (by their time: a minute or an hour by its start), at
    // resolutionFor(toMs - fromMs) or the one given, oldest first. The samples written by
    // flush(), not those still in memory.
    // Raw samples are asked for only where they are still kept: when the relay has minute
    // aggregates in the span older than its oldest kept sample, the whole series is read from the
    // minutes instead, and says so in its resolution, rather than one chart in two resolutions.
    TrendSeries read(uint16_t address, qint64 fromMs, qint64 toMs) const;
    TrendSeries read(uint16_t address, qint64 fromMs, qint64 toMs,
                     TrendResolution resolution) const;

    // The addresses with any samples written, in ascending order, and the time of one's first and
    // last (the first to the minute once its raw samples are gone).
    std::vector<uint16_t> addresses() const;
    std::optional<std::pair<qint64, qint64>> span(uint16_t address) const;

    // Raw samples past rawDays and aggregates and levels past the journal's age removed, both
    // counted back from the computer's time or the newest sample, whichever is earlier (a clock
    // set years ahead must not empty the trend). The levels in force when the age begins are kept
    // whatever their date, since unchanged levels are not read every day. The journal calls it
    // when it opens, the station once a day. False when the journal could not take it.
    bool trim();

  private:
    Journal& journal_;
    TrendOptions options_;
    std::vector<InsulationSample> pending_;
    qint64 lost_ = 0;
};

}  // namespace terval
