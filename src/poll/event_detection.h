#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <optional>

#include "station/poll_state.h"

namespace terval {

class StationDisplay;
struct Station;

// Date and time as the device list stores it: days since 30 December 1899, the time of day as the
// fraction. Every step of the sum is fixed, so that a time stored by one run and computed again by
// the next compare exactly, and an event is never taken for a new one.
double toDateTimeValue(const QDateTime& time);
QDateTime fromDateTimeValue(double value);

// The text of a protocol's sign code.
QString signText(uint16_t code);

// The event time of a trip protocol: month, day, hour, minute and second of the record, in the
// year that puts it nearest before the computer's `now`. Protocols carry no year: in January a
// December protocol belongs to the year before, and a relay whose clock runs a little ahead may
// date an event in the next year while the computer is still in the old one; a time up to a day
// ahead of the computer's counts as now, not as last year. Nothing for an impossible date or time,
// which is what an empty or erased protocol slot holds.
std::optional<QDateTime> tripEventTime(const RegisterWords& record, const QDateTime& now);

// The alarm line: date and time as the computer shows them (the time left out at exactly
// midnight), "  : ", the generator name, ",", the sign text.
QString alarmLineText(const QDateTime& eventTime, const QString& generatorName, uint16_t signCode,
                      const QLocale& locale);

// Decides whether the newest trip protocol of the round robin relay (`record`, the words of its
// answer) is an event the station has not logged yet, and if so logs it, remembers it in gen.dat
// and marks the tile. Returns whether the answer was used up; a device list that cannot be saved
// does not stop it.
bool ProcessingInitProt(Station& station, StationDisplay& display, const RegisterWords& record,
                        const QDateTime& now, const QLocale& locale);

}  // namespace terval
