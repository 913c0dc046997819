#include "alarms/alarm_transition.h"

namespace terval {

std::optional<AlarmStatus> alarmTransition(AlarmStatus status, AlarmInput input, AlarmKind kind) {
    const bool latched = alarmLatched(kind);
    AlarmStatus next = status;
    switch (input) {
        case AlarmInput::Raise:
            switch (status.state) {
                case AlarmState::Normal:
                case AlarmState::ReturnedUnacknowledged:
                    next.state = AlarmState::ActiveUnacknowledged;
                    return next;
                case AlarmState::ActiveUnacknowledged:
                    // A second protection event before the first was seen is news of its own; a
                    // condition still standing is not.
                    return latched ? std::optional(next) : std::nullopt;
                case AlarmState::ActiveAcknowledged:
                    return std::nullopt;
            }
            return std::nullopt;
        case AlarmInput::Return:
            if (latched) {
                return std::nullopt;
            }
            if (status.state == AlarmState::ActiveUnacknowledged) {
                next.state = AlarmState::ReturnedUnacknowledged;
                return next;
            }
            if (status.state == AlarmState::ActiveAcknowledged) {
                next.state = AlarmState::Normal;
                return next;
            }
            return std::nullopt;
        case AlarmInput::Acknowledge:
            if (status.state == AlarmState::ActiveUnacknowledged) {
                next.state = latched ? AlarmState::Normal : AlarmState::ActiveAcknowledged;
                return next;
            }
            if (status.state == AlarmState::ReturnedUnacknowledged) {
                next.state = AlarmState::Normal;
                return next;
            }
            return std::nullopt;
        case AlarmInput::Shelve:
            if (!alarmShelvable(kind) || status.shelved) {
                return std::nullopt;
            }
            next.shelved = true;
            return next;
        case AlarmInput::ShelfEnd:
            if (!status.shelved) {
                return std::nullopt;
            }
            next.shelved = false;
            return next;
        case AlarmInput::Suppress:
            if (kind != AlarmKind::NoAnswer || status.suppressed) {
                return std::nullopt;
            }
            next.suppressed = true;
            return next;
        case AlarmInput::Unsuppress:
            if (!status.suppressed) {
                return std::nullopt;
            }
            next.suppressed = false;
            return next;
        case AlarmInput::Restore:
            return next;
    }
    return std::nullopt;
}

AlarmChange alarmChangeOf(AlarmInput input) {
    switch (input) {
        case AlarmInput::Raise:
            return AlarmChange::Raised;
        case AlarmInput::Return:
            return AlarmChange::Returned;
        case AlarmInput::Acknowledge:
            return AlarmChange::Acknowledged;
        case AlarmInput::Shelve:
            return AlarmChange::Shelved;
        case AlarmInput::ShelfEnd:
            return AlarmChange::Unshelved;
        case AlarmInput::Suppress:
            return AlarmChange::Suppressed;
        case AlarmInput::Unsuppress:
            return AlarmChange::Unsuppressed;
        case AlarmInput::Restore:
            return AlarmChange::Restored;
    }
    return AlarmChange::Restored;
}

}  // namespace terval
