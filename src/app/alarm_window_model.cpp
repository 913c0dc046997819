#include "app/alarm_window_model.h"

#include <algorithm>

#include "devices/device_table.h"

namespace terval {

namespace {

QString timeText(const std::optional<qint64>& ms) {
    if (!ms) {
        return {};
    }
    return QDateTime::fromMSecsSinceEpoch(*ms).toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

}  // namespace

QString alarmRelayText(uint16_t address, AlarmKind kind, const DeviceTable& devices) {
    if (kind == AlarmKind::LinkLost) {
        return QStringLiteral("Связь");
    }
    for (int i = 1; i <= devices.DeviceCount; ++i) {
        const DeviceEntry& e = devices.entry(i);
        if (e.Address == address) {
            const QString name = e.GeneratorName.trimmed();
            return name.isEmpty() ? QString::number(i) : QStringLiteral("%1 — %2").arg(i).arg(name);
        }
    }
    // Its relay was deleted or readdressed since; the journal still knows it by address.
    return QStringLiteral("адрес %1").arg(address);
}

QString shelfRemainingText(qint64 untilMs, qint64 nowMs) {
    const qint64 leftMs = untilMs - nowMs;
    if (leftMs <= 0) {
        return QStringLiteral("истекло");
    }
    if (leftMs < 60'000) {
        return QStringLiteral("меньше минуты");
    }
    // Rounded up, so that a shelf just made for an hour reads "1 ч 00 мин", not "59 мин".
    const qint64 minutes = (leftMs + 59'999) / 60'000;
    if (minutes < 60) {
        return QStringLiteral("%1 мин").arg(minutes);
    }
    return QStringLiteral("%1 ч %2 мин")
        .arg(minutes / 60)
        .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QString unacknowledgedCounterText(int count) {
    return QStringLiteral("Неквитированных: %1").arg(count);
}

QString floodWarningText(bool flood) {
    return flood ? QStringLiteral("Лавина сигналов") : QString();
}

RowColor alarmPriorityColor(AlarmPriority priority) {
    switch (priority) {
        case AlarmPriority::High:
            return RowColor{0xF4, 0xC0, 0xC0};
        case AlarmPriority::Medium:
            return RowColor{0xFF, 0xDD, 0x99};
        case AlarmPriority::Low:
            break;
    }
    return RowColor{0xD8, 0xE0, 0xEA};
}

AlarmRow alarmRow(const Alarm& alarm, const DeviceTable& devices, qint64 nowMs) {
    AlarmRow row;
    const AlarmPriority priority = alarmPriority(alarm.kind);
    row.id = alarmId(alarm);
    row.raised = timeText(alarm.raisedAtMs);
    row.returned = timeText(alarm.returnedAtMs);
    row.relay = alarmRelayText(alarm.address, alarm.kind, devices);
    row.text = alarm.text.isEmpty() ? alarmKindText(alarm.kind) : alarm.text;
    row.kind = alarmKindText(alarm.kind);
    row.priority = alarmPriorityText(priority);
    row.state = alarmStateText(alarm.state);
    row.background = alarmPriorityColor(priority);
    switch (priority) {
        case AlarmPriority::High:
            row.foreground = RowColor{0x80, 0x00, 0x00};
            break;
        case AlarmPriority::Medium:
            row.foreground = RowColor{0x5C, 0x38, 0x00};
            break;
        case AlarmPriority::Low:
            row.foreground = RowColor{0x2C, 0x3E, 0x50};
            break;
    }
    row.emphasised = alarm.unacknowledged();
    row.shelvable = alarmShelvable(alarm.kind);
    if (!row.shelvable) {
        row.shelveRefusal =
            QStringLiteral("Событие защиты нельзя отложить: оно остаётся, пока его не квитируют.");
    }
    if (alarm.shelvedUntilMs) {
        row.shelfRemaining = shelfRemainingText(*alarm.shelvedUntilMs, nowMs);
        row.shelfReason = alarm.shelfReason;
        row.shelvedBy = alarm.shelvedBy;
    }
    return row;
}

std::vector<AlarmRow> alarmRows(std::vector<Alarm> alarms, const DeviceTable& devices,
                                qint64 nowMs) {
    std::stable_sort(alarms.begin(), alarms.end(), [](const Alarm& a, const Alarm& b) {
        const auto pa = alarmPriority(a.kind);
        const auto pb = alarmPriority(b.kind);
        if (pa != pb) {
            return pa < pb;
        }
        return a.raisedAtMs.value_or(0) > b.raisedAtMs.value_or(0);
    });
    std::vector<AlarmRow> rows;
    rows.reserve(alarms.size());
    for (const Alarm& a : alarms) {
        rows.push_back(alarmRow(a, devices, nowMs));
    }
    return rows;
}

}  // namespace terval
