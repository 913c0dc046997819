#include "station/journal_entry.h"

#include <type_traits>

namespace terval {

namespace {

using K = JournalKind;
using G = JournalGroup;
using D = JournalDetailsShape;

// Indexed by the kind's number, which is what journal.db stores.
constexpr std::array<JournalKindRow, kLastJournalKind + 1> kKinds{{
    {K::Unknown, G::Unknown, u"Неизвестная запись", D::None},
    {K::ProtectionEvent, G::Protection, u"Срабатывание защиты", D::ProtectionEvent},
    {K::Acknowledgement, G::Acknowledgement, u"Квитирование события", D::None},
    {K::AlarmLineMarked, G::Acknowledgement, u"Строка тревоги отмечена", D::AlarmLine},
    {K::AlarmLineDeleted, G::Acknowledgement, u"Строка тревоги удалена", D::AlarmLine},
    {K::AlarmLogCleared, G::Acknowledgement, u"Журнал тревог очищен", D::AlarmLogCleared},
    {K::OperatorConnect, G::Link, u"Оператор установил связь", D::Link},
    {K::OperatorDisconnect, G::Link, u"Оператор отключил связь", D::Link},
    {K::LinkEstablished, G::Link, u"Связь установлена", D::Link},
    {K::LinkLost, G::Link, u"Связь потеряна", D::Link},
    {K::LinkRestored, G::Link, u"Связь восстановлена", D::Link},
    {K::RelaySilent, G::Link, u"Защита не отвечает", D::None},
    {K::RelayAnswering, G::Link, u"Защита снова отвечает", D::Silence},
    {K::RelayWrite, G::Write, u"Запись в защиту", D::Write},
    {K::ClockSet, G::Clock, u"Часы защиты установлены", D::Clock},
    {K::ClockOffset, G::Clock, u"Часы защиты расходятся больше чем на минуту", D::Clock},
    {K::DeviceAdded, G::Devices, u"Объект добавлен", D::DeviceChange},
    {K::DeviceChanged, G::Devices, u"Объект изменён", D::DeviceChange},
    {K::DeviceDeleted, G::Devices, u"Объект удалён", D::DeviceChange},
    {K::StationStarted, G::Station, u"Станция запущена", D::None},
    {K::StationStopped, G::Station, u"Станция остановлена", D::None},
    {K::BrokerLost, G::Link, u"Нет связи с брокером MQTT", D::Link},
    {K::BrokerRestored, G::Link, u"Связь с брокером MQTT восстановлена", D::Link},
    {K::RecordsLost, G::Station, u"Записи журнала потеряны", D::None},
    {K::AlarmChanged, G::Alarm, u"Аварийный сигнал", D::Alarm},
    {K::DcsClientConnected, G::Link, u"Клиент Modbus-сервера подключился", D::Link},
    {K::DcsClientLeft, G::Link, u"Клиент Modbus-сервера отключился", D::Link},
    {K::DcsClientRefused, G::Link, u"Клиент Modbus-сервера отклонён", D::Link},
}};

constexpr bool eachKindInItsRow() {
    for (size_t code = 0; code < kKinds.size(); ++code) {
        if (static_cast<size_t>(kKinds[code].kind) != code) {
            return false;
        }
    }
    return true;
}
static_assert(eachKindInItsRow(), "a kind's row is the one its number indexes");

// The shapes name the details' alternatives in the variant's own order.
template <D shape, class Details>
constexpr bool shapeIs() {
    return std::is_same_v<std::variant_alternative_t<static_cast<size_t>(shape), JournalDetails>,
                          Details>;
}
static_assert(shapeIs<D::None, std::monostate>() &&
              shapeIs<D::ProtectionEvent, ProtectionEventDetails>() &&
              shapeIs<D::AlarmLine, AlarmLineDetails>() &&
              shapeIs<D::AlarmLogCleared, AlarmLogClearedDetails>() &&
              shapeIs<D::Link, LinkDetails>() && shapeIs<D::Silence, SilenceDetails>() &&
              shapeIs<D::Write, WriteDetails>() && shapeIs<D::Clock, ClockDetails>() &&
              shapeIs<D::DeviceChange, DeviceChangeDetails>() &&
              shapeIs<D::Alarm, AlarmDetails>() &&
              std::variant_size_v<JournalDetails> == static_cast<size_t>(D::Alarm) + 1);

struct JournalGroupRow {
    JournalGroup group;
    const char16_t* name;
};

// Indexed by the group.
constexpr std::array<JournalGroupRow, static_cast<size_t>(G::Unknown) + 1> kGroups{{
    {G::Protection, u"Срабатывание защиты"},
    {G::Acknowledgement, u"Квитирование"},
    {G::Link, u"Связь"},
    {G::Write, u"Запись в защиту"},
    {G::Clock, u"Часы"},
    {G::Devices, u"Список объектов"},
    {G::Station, u"Станция"},
    {G::Alarm, u"Аварийные сигналы"},
    {G::Unknown, u"Неизвестная запись"},
}};

constexpr bool eachGroupInItsRow() {
    for (size_t i = 0; i < kGroups.size(); ++i) {
        if (static_cast<size_t>(kGroups[i].group) != i) {
            return false;
        }
    }
    return true;
}
static_assert(eachGroupInItsRow(), "a group's row is the one it indexes");

}  // namespace

const JournalKindRow& journalKindRow(JournalKind kind) {
    const auto code = static_cast<size_t>(kind);
    return kKinds[code < kKinds.size() ? code : 0];
}

JournalKind journalKindFromCode(int code) {
    return code >= 1 && code <= kLastJournalKind ? static_cast<JournalKind>(code)
                                                 : JournalKind::Unknown;
}

JournalGroup journalGroup(JournalKind kind) {
    return journalKindRow(kind).group;
}

QString journalGroupName(JournalGroup group) {
    const auto index = static_cast<size_t>(group);
    return QString::fromUtf16(kGroups[index < kGroups.size() ? index : kGroups.size() - 1].name);
}

QString journalKindName(JournalKind kind) {
    return QString::fromUtf16(journalKindRow(kind).name);
}

JournalKinds JournalKinds::ofGroup(JournalGroup group) {
    JournalKinds kinds;
    for (int code = 1; code <= kLastJournalKind; ++code) {
        const JournalKind kind = static_cast<JournalKind>(code);
        if (journalGroup(kind) == group) {
            kinds.add(kind);
        }
    }
    return kinds;
}

JournalKinds JournalKinds::allKnown() {
    JournalKinds kinds;
    for (int code = 1; code <= kLastJournalKind; ++code) {
        kinds.add(static_cast<JournalKind>(code));
    }
    return kinds;
}

bool detailsFit(JournalKind kind, const JournalDetails& details) {
    // A kind this program does not know is never written: its details could not be told.
    return kind != JournalKind::Unknown &&
           details.index() == static_cast<size_t>(journalKindRow(kind).details);
}

QString journalSearchFold(const QString& text) {
    QString folded = text.toCaseFolded();
    folded.replace(QChar(0x0451), QChar(0x0435));  // ё -> е
    return folded;
}

}  // namespace terval
