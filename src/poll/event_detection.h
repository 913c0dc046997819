#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <optional>

#include "poll/poll_state.h"

namespace terval {

class MainController;
struct Station;

// Date and time as the device list stores it: days since 30 December 1899, the time of day as the
// fraction, computed as it has always been so that stored times compare exactly.
double toDateTimeValue(const QDateTime& time);
QDateTime fromDateTimeValue(double value);

// The text of a protocol's sign code.
QString signText(uint16_t code);

// The event time of a trip protocol: the given year (protocols carry none), month, day, hour and
// minute of the record; its second is not part of it. Nothing for an impossible date or time,
// which is what an empty or erased protocol slot holds.
std::optional<QDateTime> tripEventTime(const RegisterWords& record, int year);

// The alarm line: date and time as the computer shows them (the time left out at exactly
// midnight), "  : ", the generator name, ",", the sign text.
QString alarmLineText(const QDateTime& eventTime, const QString& generatorName, uint16_t signCode,
                      const QLocale& locale);

// Decides whether the newest trip protocol of the round robin relay (in RegisterWords) is an event
// the station has not logged yet, and if so logs it, remembers it in gen.dat and marks the tile.
// Returns whether the answer was used up; a device list that cannot be saved does not stop it.
bool ProcessingInitProt(Station& station, MainController& main);

}  // namespace terval
