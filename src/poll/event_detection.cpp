#include "poll/event_detection.h"

#include <algorithm>

#include "modbus/register_map.h"
#include "station/date_time_text.h"
#include "station/station.h"
#include "station/station_display.h"
#include "station/station_texts.h"

namespace terval {
namespace {

const QDate kDateTimeEpoch(1899, 12, 30);
constexpr double kMsecsPerDay = 86400000.0;

}  // namespace

double toDateTimeValue(const QDateTime& time) {
    const double days = static_cast<double>(kDateTimeEpoch.daysTo(time.date()));
    const QTime t = time.time();
    const double fraction =
        (t.hour() * 3600000.0 + t.minute() * 60000.0 + t.second() * 1000.0 + t.msec()) /
        kMsecsPerDay;
    return days + fraction;
}

QDateTime fromDateTimeValue(double value) {
    const qint64 days = static_cast<qint64>(value);
    const qint64 msecs = qRound64((value - static_cast<double>(days)) * kMsecsPerDay);
    return QDateTime(kDateTimeEpoch.addDays(days), QTime(0, 0).addMSecs(static_cast<int>(msecs)));
}

QString signText(uint16_t code) {
    if (code < registers::kStatusBits) {
        return kStatusBitCaptions[code];
    }
    return code == 54 ? QStringLiteral("Отказ блока") : QStringLiteral("Неизвестный код признака");
}

std::optional<QDateTime> tripEventTime(const RegisterWords& record, const QDateTime& now) {
    using namespace registers::protocol;
    const int month = record[kNumberAndMonth] & 0xFF;
    const int day = record[kDayAndHour] >> 8;
    const int hour = record[kDayAndHour] & 0xFF;
    const int minute = record[kMinuteAndSecond] >> 8;
    const int second = record[kMinuteAndSecond] & 0xFF;
    if (hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    const QDateTime latest = now.addDays(1);
    for (int year = now.date().year() + 1; year >= now.date().year() - 1; --year) {
        const QDate date(year, month, day);
        if (!date.isValid()) {
            continue;
        }
        const QDateTime at(date, QTime(hour, minute, second));
        if (at <= latest) {
            return at;
        }
    }
    return std::nullopt;
}

QString alarmLineText(const QDateTime& eventTime, const QString& generatorName, uint16_t signCode,
                      const QLocale& locale) {
    QString when = locale.toString(eventTime.date(), shortDateFormat(locale));
    if (eventTime.time() != QTime(0, 0)) {
        when += QLatin1Char(' ') + clockTimeText(eventTime.time(), locale);
    }
    return when + QStringLiteral("  : ") + generatorName + QLatin1Char(',') + signText(signCode);
}

bool ProcessingInitProt(Station& station, StationDisplay& display, const RegisterWords& record,
                        const QDateTime& now, const QLocale& locale) {
    const int relay = station.poll.RoundRobinIndex();
    if (relay < 1 || relay > station.devices.DeviceCount) {
        return true;
    }
    DeviceEntry& entry = station.devices.entry(relay);
    const std::optional<QDateTime> eventTime = tripEventTime(record, now);
    if (station.alarmLog.isEmpty()) {
        display.enableAlarmCommands();
    }
    if (eventTime) {
        const double value = toDateTimeValue(*eventTime);
        // A device list written before seconds were kept holds the newest event to the minute:
        // the same event, read with its seconds, is not a new one.
        if (entry.minutePrecision) {
            entry.minutePrecision = false;
            const QDateTime stored = fromDateTimeValue(entry.LastEventTime);
            if (stored.date() == eventTime->date() &&
                stored.time().hour() == eventTime->time().hour() &&
                stored.time().minute() == eventTime->time().minute() &&
                value > entry.LastEventTime) {
                entry.LastEventTime = value;
                display.SaveDeviceTable(SaveReport::FirstFailureOnly);
            }
        }
        if (value > entry.LastEventTime) {
            entry.LastEventTime = value;
            const uint16_t sign = record[registers::trip::kSign];
            const QString line = alarmLineText(*eventTime, entry.GeneratorName, sign, locale);
            display.addAlarmLine(line);
            TripRecord trip{};
            std::copy_n(record.begin(), trip.size(), trip.begin());
            station.journal.protectionEvent(relay, *eventTime, sign, signText(sign), trip, line);
            // A device list that cannot be written does not undo the event: it is logged and
            // marked, its time is kept here so that it is not logged again, and the list is
            // written at the next change or at exit.
            display.SaveDeviceTable(SaveReport::FirstFailureOnly);
            station.tile(relay).eventWaiting = true;
            display.setTileState(relay, kTileEvent);
        }
    }
    // A relay answering again shows the event nobody has seen yet, not "НОРМА".
    if (station.tile(relay).state == kTileNoAnswer) {
        display.setTileState(relay, station.tile(relay).eventWaiting ? kTileEvent : kTileAnswering);
    }
    return true;
}

}  // namespace terval
