#pragma once

#include <cstdint>
#include <optional>

#include "station/alarm.h"

namespace terval {

// What may happen to one alarm.
enum class AlarmInput : uint8_t {
    Raise,        // its condition came (again, for a latched alarm)
    Return,       // its condition went
    Acknowledge,  // by the operator
    Shelve,
    ShelfEnd,  // the shelf's time ran out, or the operator took it off
    Suppress,  // the link alarm became active
    Unsuppress,
    Restore,  // read back at start-up
};

// What an alarm is beside its texts and times: the part the rules move.
struct AlarmStatus {
    AlarmState state = AlarmState::Normal;
    bool shelved = false;
    bool suppressed = false;
    bool operator==(const AlarmStatus&) const = default;
};

// The rules of one alarm: what `input` makes of an alarm of `kind` standing at `status`, or
// nothing when the input does not apply there (nothing moves and nothing is recorded). A latched
// kind never returns by itself and goes to normal when acknowledged; only a shelvable kind is
// shelved, and only a relay's "no answer" is suppressed.
std::optional<AlarmStatus> alarmTransition(AlarmStatus status, AlarmInput input, AlarmKind kind);

// The journal's word for what an input did.
AlarmChange alarmChangeOf(AlarmInput input);

}  // namespace terval
