#pragma once

#include <QDateTime>
#include <QString>
#include <vector>

#include "station/alarm.h"

namespace terval {

class DeviceTable;

// A colour as the widgets take it; the rules know no widgets.
struct RowColor {
    int red = 0;
    int green = 0;
    int blue = 0;
    bool operator==(const RowColor&) const = default;
};

// One row of the alarm window as the operator reads it: everything the window shows is worked out
// here, from plain data, so that the widgets only lay it out.
struct AlarmRow {
    QString id;
    QString raised;    // "06.12.2026 14:30:05", or empty
    QString returned;  // empty while the condition stands
    QString relay;  // "3 — Ген. 2", "Связь" for the link, "адрес 12" for a relay gone
    QString text;
    QString kind;      // what is alarmed, without the relay: "Реле ОТКЛЮЧЕНИЯ"
    QString priority;  // "высокий", "средний", "низкий"
    QString state;     // the Russian state text
    RowColor background;
    RowColor foreground;
    // Waiting for acknowledgement: drawn in bold so it stands out from those already seen.
    bool emphasised = false;
    bool shelvable = false;
    // Why it cannot be shelved, for the button's tooltip; empty when it can.
    QString shelveRefusal;
    // The shelved list: how long until it comes back, why, and who shelved it.
    QString shelfRemaining;
    QString shelfReason;
    QString shelvedBy;
};

// The relay's tile number (found by its address, so that it follows the tile when a relay before
// it is deleted) and generator name; "Связь" for the link.
QString alarmRelayText(uint16_t address, AlarmKind kind, const DeviceTable& devices);
// Time left on a shelf, rounded up to the minute: "3 ч 05 мин", "12 мин", "меньше минуты".
QString shelfRemainingText(qint64 untilMs, qint64 nowMs);
// The status bar's counter, "Неквитированных: N".
QString unacknowledgedCounterText(int count);
// The status bar's flood warning while there is one, empty otherwise.
QString floodWarningText(bool flood);

AlarmRow alarmRow(const Alarm& alarm, const DeviceTable& devices, qint64 nowMs);
// The shown alarms in the window's order: high priority first, the newest raised first within
// each priority; equal ones keep the order given.
std::vector<AlarmRow> alarmRows(std::vector<Alarm> alarms, const DeviceTable& devices,
                                qint64 nowMs);

// The colours of the rows: high red, medium amber, low a quiet grey-blue.
RowColor alarmPriorityColor(AlarmPriority priority);

}  // namespace terval
