#include "station/alarm.h"

#include <array>

namespace terval {

namespace {

struct KindRow {
    AlarmKind kind;
    AlarmPriority priority;
    bool latched;
    bool shelvable;
    const char* name;
    const char16_t* text;
};

// Indexed by the kind.
constexpr std::array<KindRow, 6> kKinds{{
    {AlarmKind::ProtectionEvent, AlarmPriority::High, true, false, "protection_event",
     u"Защита: событие"},
    {AlarmKind::TripRelay, AlarmPriority::High, false, true, "trip_relay", u"Реле ОТКЛЮЧЕНИЯ"},
    {AlarmKind::SignalRelay, AlarmPriority::Medium, false, true, "signal_relay",
     u"СИГНАЛЬНОЕ реле"},
    {AlarmKind::CircuitBreak, AlarmPriority::Medium, false, true, "circuit_break", u"Обрыв цепи"},
    {AlarmKind::NoAnswer, AlarmPriority::Low, false, true, "no_answer", u"Защита не отвечает"},
    {AlarmKind::LinkLost, AlarmPriority::High, false, true, "link_lost", u"Связь потеряна"},
}};

constexpr bool eachKindInItsRow() {
    for (size_t i = 0; i < kKinds.size(); ++i) {
        if (static_cast<size_t>(kKinds[i].kind) != i) {
            return false;
        }
    }
    return true;
}
static_assert(eachKindInItsRow(), "a kind's row is the one it indexes");

const KindRow& rowOf(AlarmKind kind) {
    const auto i = static_cast<size_t>(kind);
    return kKinds[i < kKinds.size() ? i : kKinds.size() - 1];
}

constexpr std::array<const char*, 3> kPriorityNames{"high", "medium", "low"};
constexpr std::array<const char16_t*, 3> kPriorityTexts{u"высокий", u"средний", u"низкий"};
constexpr std::array<const char*, 4> kStateNames{"normal", "active_unacknowledged",
                                                 "active_acknowledged", "returned_unacknowledged"};
constexpr std::array<const char16_t*, 4> kStateTexts{
    u"Норма", u"Активна, не квитирована", u"Активна, квитирована", u"Вернулась, не квитирована"};
constexpr std::array<const char*, 9> kChangeNames{"raised",       "returned",  "acknowledged",
                                                  "shelved",      "unshelved", "suppressed",
                                                  "unsuppressed", "restored",  "removed"};

template <size_t N>
QString nameAt(const std::array<const char*, N>& names, size_t i) {
    return QString::fromLatin1(names[i < N ? i : 0]);
}

template <class E, size_t N>
std::optional<E> fromName(const std::array<const char*, N>& names, const QString& name) {
    for (size_t i = 0; i < N; ++i) {
        if (name == QLatin1String(names[i])) {
            return static_cast<E>(i);
        }
    }
    return std::nullopt;
}

}  // namespace

AlarmPriority alarmPriority(AlarmKind kind) {
    return rowOf(kind).priority;
}

bool alarmLatched(AlarmKind kind) {
    return rowOf(kind).latched;
}

bool alarmShelvable(AlarmKind kind) {
    return rowOf(kind).shelvable;
}

QString alarmKindName(AlarmKind kind) {
    return QString::fromLatin1(rowOf(kind).name);
}

QString alarmPriorityName(AlarmPriority priority) {
    return nameAt(kPriorityNames, static_cast<size_t>(priority));
}

QString alarmStateName(AlarmState state) {
    return nameAt(kStateNames, static_cast<size_t>(state));
}

QString alarmChangeName(AlarmChange change) {
    return nameAt(kChangeNames, static_cast<size_t>(change));
}

std::optional<AlarmKind> alarmKindFromName(const QString& name) {
    for (const KindRow& row : kKinds) {
        if (name == QLatin1String(row.name)) {
            return row.kind;
        }
    }
    return std::nullopt;
}

std::optional<AlarmState> alarmStateFromName(const QString& name) {
    return fromName<AlarmState>(kStateNames, name);
}

std::optional<AlarmChange> alarmChangeFromName(const QString& name) {
    return fromName<AlarmChange>(kChangeNames, name);
}

QString alarmKindText(AlarmKind kind) {
    return QString::fromUtf16(rowOf(kind).text);
}

QString alarmPriorityText(AlarmPriority priority) {
    const auto i = static_cast<size_t>(priority);
    return QString::fromUtf16(kPriorityTexts[i < kPriorityTexts.size() ? i : 0]);
}

QString alarmStateText(AlarmState state) {
    const auto i = static_cast<size_t>(state);
    return QString::fromUtf16(kStateTexts[i < kStateTexts.size() ? i : 0]);
}

QString alarmId(AlarmKind kind, uint16_t address) {
    if (kind == AlarmKind::LinkLost) {
        return alarmKindName(kind);
    }
    return alarmKindName(kind) + QLatin1Char('_') + QString::number(address);
}

}  // namespace terval
