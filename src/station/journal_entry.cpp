#include "station/journal_entry.h"

namespace terval {

JournalKind journalKindFromCode(int code) {
    return code >= 1 && code <= kLastJournalKind ? static_cast<JournalKind>(code)
                                                 : JournalKind::Unknown;
}

JournalGroup journalGroup(JournalKind kind) {
    switch (kind) {
        case JournalKind::ProtectionEvent:
            return JournalGroup::Protection;
        case JournalKind::Acknowledgement:
        case JournalKind::AlarmLineMarked:
        case JournalKind::AlarmLineDeleted:
        case JournalKind::AlarmLogCleared:
            return JournalGroup::Acknowledgement;
        case JournalKind::OperatorConnect:
        case JournalKind::OperatorDisconnect:
        case JournalKind::LinkEstablished:
        case JournalKind::LinkLost:
        case JournalKind::LinkRestored:
        case JournalKind::RelaySilent:
        case JournalKind::RelayAnswering:
        case JournalKind::BrokerLost:
        case JournalKind::BrokerRestored:
            return JournalGroup::Link;
        case JournalKind::RelayWrite:
            return JournalGroup::Write;
        case JournalKind::ClockSet:
        case JournalKind::ClockOffset:
            return JournalGroup::Clock;
        case JournalKind::DeviceAdded:
        case JournalKind::DeviceChanged:
        case JournalKind::DeviceDeleted:
            return JournalGroup::Devices;
        case JournalKind::StationStarted:
        case JournalKind::StationStopped:
        case JournalKind::RecordsLost:
            return JournalGroup::Station;
        case JournalKind::Unknown:
            break;
    }
    return JournalGroup::Unknown;
}

QString journalGroupName(JournalGroup group) {
    switch (group) {
        case JournalGroup::Protection:
            return QStringLiteral("Срабатывание защиты");
        case JournalGroup::Acknowledgement:
            return QStringLiteral("Квитирование");
        case JournalGroup::Link:
            return QStringLiteral("Связь");
        case JournalGroup::Write:
            return QStringLiteral("Запись в защиту");
        case JournalGroup::Clock:
            return QStringLiteral("Часы");
        case JournalGroup::Devices:
            return QStringLiteral("Список объектов");
        case JournalGroup::Station:
            return QStringLiteral("Станция");
        case JournalGroup::Unknown:
            break;
    }
    return QStringLiteral("Неизвестная запись");
}

QString journalKindName(JournalKind kind) {
    switch (kind) {
        case JournalKind::ProtectionEvent:
            return QStringLiteral("Срабатывание защиты");
        case JournalKind::Acknowledgement:
            return QStringLiteral("Квитирование события");
        case JournalKind::AlarmLineMarked:
            return QStringLiteral("Строка тревоги отмечена");
        case JournalKind::AlarmLineDeleted:
            return QStringLiteral("Строка тревоги удалена");
        case JournalKind::AlarmLogCleared:
            return QStringLiteral("Журнал тревог очищен");
        case JournalKind::OperatorConnect:
            return QStringLiteral("Оператор установил связь");
        case JournalKind::OperatorDisconnect:
            return QStringLiteral("Оператор отключил связь");
        case JournalKind::LinkEstablished:
            return QStringLiteral("Связь установлена");
        case JournalKind::LinkLost:
            return QStringLiteral("Связь потеряна");
        case JournalKind::LinkRestored:
            return QStringLiteral("Связь восстановлена");
        case JournalKind::BrokerLost:
            return QStringLiteral("Нет связи с брокером MQTT");
        case JournalKind::BrokerRestored:
            return QStringLiteral("Связь с брокером MQTT восстановлена");
        case JournalKind::RelaySilent:
            return QStringLiteral("Защита не отвечает");
        case JournalKind::RelayAnswering:
            return QStringLiteral("Защита снова отвечает");
        case JournalKind::RelayWrite:
            return QStringLiteral("Запись в защиту");
        case JournalKind::ClockSet:
            return QStringLiteral("Часы защиты установлены");
        case JournalKind::ClockOffset:
            return QStringLiteral("Часы защиты расходятся больше чем на минуту");
        case JournalKind::DeviceAdded:
            return QStringLiteral("Объект добавлен");
        case JournalKind::DeviceChanged:
            return QStringLiteral("Объект изменён");
        case JournalKind::DeviceDeleted:
            return QStringLiteral("Объект удалён");
        case JournalKind::StationStarted:
            return QStringLiteral("Станция запущена");
        case JournalKind::StationStopped:
            return QStringLiteral("Станция остановлена");
        case JournalKind::RecordsLost:
            return QStringLiteral("Записи журнала потеряны");
        case JournalKind::Unknown:
            break;
    }
    return QStringLiteral("Неизвестная запись");
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
    switch (kind) {
        case JournalKind::ProtectionEvent:
            return std::holds_alternative<ProtectionEventDetails>(details);
        case JournalKind::AlarmLineMarked:
        case JournalKind::AlarmLineDeleted:
            return std::holds_alternative<AlarmLineDetails>(details);
        case JournalKind::AlarmLogCleared:
            return std::holds_alternative<AlarmLogClearedDetails>(details);
        case JournalKind::OperatorConnect:
        case JournalKind::OperatorDisconnect:
        case JournalKind::LinkEstablished:
        case JournalKind::LinkLost:
        case JournalKind::LinkRestored:
        case JournalKind::BrokerLost:
        case JournalKind::BrokerRestored:
            return std::holds_alternative<LinkDetails>(details);
        case JournalKind::RelayAnswering:
            return std::holds_alternative<SilenceDetails>(details);
        case JournalKind::RelayWrite:
            return std::holds_alternative<WriteDetails>(details);
        case JournalKind::ClockSet:
        case JournalKind::ClockOffset:
            return std::holds_alternative<ClockDetails>(details);
        case JournalKind::DeviceAdded:
        case JournalKind::DeviceChanged:
        case JournalKind::DeviceDeleted:
            return std::holds_alternative<DeviceChangeDetails>(details);
        case JournalKind::Acknowledgement:
        case JournalKind::RelaySilent:
        case JournalKind::StationStarted:
        case JournalKind::StationStopped:
        case JournalKind::RecordsLost:
            return std::holds_alternative<std::monostate>(details);
        case JournalKind::Unknown:
            break;
    }
    return false;
}

QString journalSearchFold(const QString& text) {
    QString folded = text.toCaseFolded();
    folded.replace(QChar(0x0451), QChar(0x0435));  // ё -> е
    return folded;
}

}  // namespace terval
