#pragma once

#include <array>
#include <chrono>
#include <cstdint>

#include "calendar.h"

namespace relaysim {

using SteadyClock = std::chrono::steady_clock;
using TimePoint = SteadyClock::time_point;

// The relay's calendar clock: seven registers (second, minute, hour, day of the week 0 = Sunday,
// day, month, four-digit year) that run on in real time from whatever was last written.
//
// The registers are kept as written and are never cross-checked: the station sets them one at a
// time, so a clock moving from 30 April to 31 May passes through "31 April" between the writes of
// the day and of the month. The carries still work on such a value; it simply rolls over at the
// next midnight, as a hardware calendar would.
class RelayClock {
  public:
    static constexpr int kFieldCount = 7;
    enum Field { Second, Minute, Hour, Weekday, Day, Month, Year };
    using Fields = std::array<uint16_t, kFieldCount>;

    RelayClock(const CivilTime& start, TimePoint now);

    Fields read(TimePoint now);
    CivilTime readCivil(TimePoint now);
    // Stores one register as given. Writing the seconds restarts the second in progress, so the
    // clock shows the written second for a whole second.
    void set(Field field, uint16_t value, TimePoint now);

    // The range a written value must lie in for the relay to accept it.
    static bool acceptable(Field field, uint16_t value);

  private:
    void catchUp(TimePoint now);
    void advance(int64_t seconds);
    void nextDay();

    Fields fields_{};
    TimePoint reference_;
};

}  // namespace relaysim
