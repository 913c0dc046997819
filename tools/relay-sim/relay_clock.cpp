#include "relay_clock.h"

namespace relaysim {

RelayClock::RelayClock(const CivilTime& start, TimePoint now) : reference_(now) {
    fields_[Second] = static_cast<uint16_t>(start.second);
    fields_[Minute] = static_cast<uint16_t>(start.minute);
    fields_[Hour] = static_cast<uint16_t>(start.hour);
    fields_[Weekday] = static_cast<uint16_t>(start.weekday);
    fields_[Day] = static_cast<uint16_t>(start.day);
    fields_[Month] = static_cast<uint16_t>(start.month);
    fields_[Year] = static_cast<uint16_t>(start.year);
}

RelayClock::Fields RelayClock::read(TimePoint now) {
    catchUp(now);
    return fields_;
}

CivilTime RelayClock::readCivil(TimePoint now) {
    const Fields f = read(now);
    CivilTime t;
    t.second = f[Second];
    t.minute = f[Minute];
    t.hour = f[Hour];
    t.weekday = f[Weekday];
    t.day = f[Day];
    t.month = f[Month];
    t.year = f[Year];
    return t;
}

void RelayClock::set(Field field, uint16_t value, TimePoint now) {
    catchUp(now);
    fields_[field] = value;
    if (field == Second) {
        reference_ = now;
    }
}

bool RelayClock::acceptable(Field field, uint16_t value) {
    switch (field) {
        case Second:
        case Minute:
            return value <= 59;
        case Hour:
            return value <= 23;
        case Weekday:
            return value <= 6;
        case Day:
            return value >= 1 && value <= 31;
        case Month:
            return value >= 1 && value <= 12;
        case Year:
            // The calendar keeps the year within one century, as clock chips of such relays do.
            return value >= 2000 && value <= 2099;
    }
    return false;
}

void RelayClock::catchUp(TimePoint now) {
    if (now <= reference_) {
        return;
    }
    const auto whole = std::chrono::floor<std::chrono::seconds>(now - reference_);
    if (whole.count() > 0) {
        advance(whole.count());
        reference_ += whole;
    }
}

void RelayClock::advance(int64_t seconds) {
    while (seconds > 0) {
        if (fields_[Second] < 60 && fields_[Minute] < 60 && fields_[Hour] < 24) {
            const int64_t ofDay = fields_[Hour] * 3600 + fields_[Minute] * 60 + fields_[Second];
            const int64_t toMidnight = 86400 - ofDay;
            if (seconds < toMidnight) {
                const int64_t t = ofDay + seconds;
                fields_[Hour] = static_cast<uint16_t>(t / 3600);
                fields_[Minute] = static_cast<uint16_t>(t / 60 % 60);
                fields_[Second] = static_cast<uint16_t>(t % 60);
                return;
            }
            seconds -= toMidnight;
            fields_[Hour] = fields_[Minute] = fields_[Second] = 0;
            nextDay();
            continue;
        }
        // A time of day forced out of range: carry one second at a time until it is regular again.
        --seconds;
        if (++fields_[Second] >= 60) {
            fields_[Second] = 0;
            ++fields_[Minute];
        }
        if (fields_[Minute] >= 60) {
            fields_[Minute] = 0;
            ++fields_[Hour];
        }
        if (fields_[Hour] >= 24) {
            fields_[Hour] = 0;
            nextDay();
        }
    }
}

void RelayClock::nextDay() {
    fields_[Weekday] = static_cast<uint16_t>((fields_[Weekday] + 1) % 7);
    const int length = daysInMonth(fields_[Year], fields_[Month]);
    if (++fields_[Day] > (length == 0 ? 31 : length)) {
        fields_[Day] = 1;
        if (++fields_[Month] > 12) {
            fields_[Month] = 1;
            ++fields_[Year];
        }
    }
}

}  // namespace relaysim
