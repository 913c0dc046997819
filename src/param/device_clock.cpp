#include "param/device_clock.h"

#include "poll/scheduler.h"

namespace terval {

std::array<uint16_t, kClockRegisterCount> clockWriteValues(const QDateTime& value) {
    const QDate d = value.date();
    const QTime t = value.time();
    // The relay counts the week from Sunday; Qt from Monday (1) to Sunday (7).
    const int weekday = d.dayOfWeek() % 7;
    return {static_cast<uint16_t>(t.second()), static_cast<uint16_t>(t.minute()),
            static_cast<uint16_t>(t.hour()),   static_cast<uint16_t>(weekday),
            static_cast<uint16_t>(d.day()),    static_cast<uint16_t>(d.month()),
            static_cast<uint16_t>(d.year())};
}

QDateTime pickedDateTime(const QDate& datePicker, const QTime& timePicker) {
    return QDateTime(datePicker,
                     QTime(timePicker.hour(), timePicker.minute(), timePicker.second()));
}

void CreateDataForWrite(Scheduler& scheduler, const QDateTime& value, WriteNote note) {
    const std::array<uint16_t, kClockRegisterCount> values = clockWriteValues(value);
    note.clock = true;
    note.clockSetTo = pickedDateTime(value.date(), value.time());
    scheduler.queueWrite(kClockFirstRegister, values.data(), kClockRegisterCount, std::move(note));
}

}  // namespace terval
