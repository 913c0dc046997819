#pragma once

#include <cstdint>

namespace relaysim {

// A date and time of day on the proleptic Gregorian calendar, without a time zone.
struct CivilTime {
    int year = 2000;
    int month = 1;  // 1..12
    int day = 1;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int weekday = 6;  // 0 Sunday .. 6 Saturday

    bool operator==(const CivilTime&) const = default;
};

bool isLeapYear(int year);
// Days in `month` of `year`; 0 for a month outside 1..12.
int daysInMonth(int year, int month);

// Days since 1970-01-01 and back; valid for any year the relays can hold.
int64_t daysFromCivil(int year, int month, int day);
CivilTime civilFromSeconds(int64_t secondsSinceEpoch);
int64_t secondsFromCivil(const CivilTime& t);
int weekdayOf(int year, int month, int day);

// The computer's local date and time, as the operator sees it on the desk clock.
CivilTime localNow();

}  // namespace relaysim
