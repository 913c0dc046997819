#pragma once

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>

namespace terval {

// What an alarm is raised for. The names (alarmKindName) go into journal.db and to the plant's
// broker: a kind keeps its name for ever.
enum class AlarmKind : uint8_t {
    ProtectionEvent,  // a new protection event found in the newest trip protocol; latched
    TripRelay,        // status word 19 bit 1, "Реле ОТКЛЮЧЕНИЯ"
    SignalRelay,      // status word 19 bit 0, "СИГНАЛЬНОЕ реле"
    CircuitBreak,     // status word 19 bit 4, "Обрыв цепи" of the measuring circuit
    NoAnswer,         // a relay that had answered stops answering
    LinkLost,         // the link the operator opened is lost; one alarm for the whole line
};

enum class AlarmPriority : uint8_t { High, Medium, Low };

// The states of one alarm: normal → active unacknowledged → active acknowledged → normal, and
// active unacknowledged → returned unacknowledged → normal. A latched alarm (a protection event)
// never returns by itself: it goes from active unacknowledged to normal when acknowledged.
enum class AlarmState : uint8_t {
    Normal,
    ActiveUnacknowledged,
    ActiveAcknowledged,
    ReturnedUnacknowledged,
};

// What moved an alarm, as its journal record says.
enum class AlarmChange : uint8_t {
    Raised,        // its condition came
    Returned,      // its condition went
    Acknowledged,  // by the operator, or for a protection event by viewing the last protocol page
    Shelved,
    Unshelved,   // the shelf's time ran out, or the operator took it off
    Suppressed,  // a relay's "no answer" while the link alarm is active
    Unsuppressed,
    Restored,  // read back from the journal at start-up
    Removed,   // its relay was deleted from the list or given another address
};

// One alarm as the station keeps it, records it and publishes it. Relay alarms are known by the
// relay's address on the line, which stays its own when another relay is deleted and the tiles
// move up; the link alarm has address 0.
struct Alarm {
    AlarmKind kind = AlarmKind::LinkLost;
    uint16_t address = 0;
    AlarmState state = AlarmState::Normal;
    // Computer time, milliseconds since 1970 (UTC); nothing while it has not happened.
    std::optional<qint64> raisedAtMs;
    std::optional<qint64> returnedAtMs;
    std::optional<qint64> acknowledgedAtMs;
    // Shelved by the operator until this time, with the reason typed in and who did it.
    std::optional<qint64> shelvedUntilMs;
    QString shelfReason;
    QString shelvedBy;
    // A relay's "no answer" while the link alarm is active: recorded, not annunciated.
    bool suppressed = false;
    // What the alarm is about, as the operator reads it ("Ген. 2: Реле ОТКЛЮЧЕНИЯ").
    QString text;

    bool shelved() const { return shelvedUntilMs.has_value(); }
    bool active() const {
        return state == AlarmState::ActiveUnacknowledged || state == AlarmState::ActiveAcknowledged;
    }
    bool unacknowledged() const {
        return state == AlarmState::ActiveUnacknowledged ||
               state == AlarmState::ReturnedUnacknowledged;
    }
    // Shown, counted and sounded: neither shelved nor suppressed.
    bool annunciated() const { return !shelved() && !suppressed; }
    bool operator==(const Alarm&) const = default;
};

// The journal record of a transition: the alarm as it stands after it, what moved it, and the
// computer's user who did (empty for what the station did by itself).
struct AlarmDetails {
    Alarm alarm;
    AlarmChange change = AlarmChange::Raised;
    QString user;
    bool operator==(const AlarmDetails&) const = default;
};

// The fixed facts of a kind.
AlarmPriority alarmPriority(AlarmKind kind);
bool alarmLatched(AlarmKind kind);
// Whether the operator may shelve it: a protection event cannot be shelved.
bool alarmShelvable(AlarmKind kind);

// Names as stored and published: "protection_event", "trip_relay", "signal_relay",
// "circuit_break", "no_answer", "link_lost"; "high", "medium", "low"; "normal",
// "active_unacknowledged", "active_acknowledged", "returned_unacknowledged"; "raised",
// "returned", "acknowledged", "shelved", "unshelved", "suppressed", "unsuppressed", "restored",
// "removed". The parsers give nothing for a name they do not know.
QString alarmKindName(AlarmKind kind);
QString alarmPriorityName(AlarmPriority priority);
QString alarmStateName(AlarmState state);
QString alarmChangeName(AlarmChange change);
std::optional<AlarmKind> alarmKindFromName(const QString& name);
std::optional<AlarmState> alarmStateFromName(const QString& name);
std::optional<AlarmChange> alarmChangeFromName(const QString& name);

// The operator's words: "Защита: событие", "Реле ОТКЛЮЧЕНИЯ", "СИГНАЛЬНОЕ реле", "Обрыв цепи",
// "Защита не отвечает", "Связь потеряна"; "высокий", "средний", "низкий"; "Норма",
// "Активна, не квитирована", "Активна, квитирована", "Вернулась, не квитирована".
QString alarmKindText(AlarmKind kind);
QString alarmPriorityText(AlarmPriority priority);
QString alarmStateText(AlarmState state);

// The alarm's identifier in the journal, the topics and the windows: the kind's name, and for a
// relay "_" and its address ("trip_relay_12"); "link_lost" for the link.
QString alarmId(AlarmKind kind, uint16_t address);
inline QString alarmId(const Alarm& alarm) {
    return alarmId(alarm.kind, alarm.address);
}

}  // namespace terval
