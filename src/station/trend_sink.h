#pragma once

#include <cstdint>

#include <QtGlobal>

namespace terval {

// Lengths of time in the milliseconds the trend counts in.
inline constexpr qint64 kMinuteMs = 60'000;
inline constexpr qint64 kHourMs = 60 * kMinuteMs;
inline constexpr qint64 kDayMs = 24 * kHourMs;

// One good status answer's two resistances, as the station polled them.
struct InsulationSample {
    // The relay's network address: its history follows the relay, not the tile it happens to
    // stand on, which moves when a relay before it is deleted.
    uint16_t address = 0;
    qint64 timeMs = 0;            // the computer's time of the answer, ms since 1970 UTC
    uint16_t insulationKohm = 0;  // status word 27
    uint16_t controlKohm = 0;     // status word 30
    bool operator==(const InsulationSample&) const = default;
};

// The two alarm levels of a relay (setpoint words 8 and 10) as the parameter window read them,
// and when.
struct AlarmLevels {
    qint64 readAtMs = 0;
    uint16_t signalKohm = 0;  // "Уровень срабатывания защиты на СИГНАЛ"
    uint16_t tripKohm = 0;    // "Уровень срабатывания защиты на ОТКЛЮЧЕНИЕ"
    bool operator==(const AlarmLevels&) const = default;
};

// Where the station's insulation readings go: the trend store in journal.db implements it; a
// station without one keeps none. Neither call may cost the poll tick a write to disk.
class TrendSink {
  public:
    virtual ~TrendSink() = default;
    virtual void add(const InsulationSample& sample) = 0;
    virtual bool storeLevels(uint16_t address, const AlarmLevels& levels) = 0;
};

}  // namespace terval
