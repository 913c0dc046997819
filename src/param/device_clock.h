#pragma once

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <array>
#include <cstdint>

#include "modbus/register_map.h"
#include "station/station_journal.h"

namespace terval {

class Scheduler;

// The relay's calendar clock: second, minute, hour, day of the week (0 Sunday), day, month and the
// full year in seven consecutive registers, plain binary.
inline constexpr uint16_t kClockFirstRegister = registers::kClockRegister;
inline constexpr int kClockRegisterCount = registers::kClockWords;

std::array<uint16_t, kClockRegisterCount> clockWriteValues(const QDateTime& value);

// What "Записать измененные дату и время" writes: the date picker's date with the time picker's
// time of day; neither picker's other half plays any part, nor fractions of a second.
QDateTime pickedDateTime(const QDate& datePicker, const QTime& timePicker);

// Queues the seven clock writes for the scheduler; the note says it is a clock set.
void CreateDataForWrite(Scheduler& scheduler, const QDateTime& value, WriteNote note = {});

}  // namespace terval
