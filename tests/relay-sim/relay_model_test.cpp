// The relay model without any line: clock, register map, protocols.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>

#include "calendar.h"
#include "protocol_history.h"
#include "protocol_record.h"
#include "relay.h"
#include "relay_clock.h"

namespace relaysim {
namespace {

using namespace std::chrono_literals;

CivilTime at(int year, int month, int day, int hour, int minute, int second) {
    CivilTime t{year, month, day, hour, minute, second, 0};
    t.weekday = weekdayOf(year, month, day);
    return t;
}

const TimePoint kStart = TimePoint{} + 1000h;

RelayClock::Fields fields(int second, int minute, int hour, int weekday, int day, int month,
                          int year) {
    return {static_cast<uint16_t>(second), static_cast<uint16_t>(minute),
            static_cast<uint16_t>(hour),   static_cast<uint16_t>(weekday),
            static_cast<uint16_t>(day),    static_cast<uint16_t>(month),
            static_cast<uint16_t>(year)};
}

TEST(Calendar, WeekdaysAndMonthLengths) {
    EXPECT_EQ(weekdayOf(2024, 2, 29), 4);  // Thursday
    EXPECT_EQ(weekdayOf(2026, 12, 6), 0);  // Sunday
    EXPECT_EQ(weekdayOf(2000, 1, 1), 6);   // Saturday
    EXPECT_EQ(daysInMonth(2024, 2), 29);
    EXPECT_EQ(daysInMonth(2023, 2), 28);
    EXPECT_EQ(daysInMonth(2100, 2), 28);
    EXPECT_EQ(daysInMonth(2000, 2), 29);
    EXPECT_EQ(daysInMonth(2026, 4), 30);
    EXPECT_EQ(daysInMonth(2026, 13), 0);
    const CivilTime t = at(2024, 2, 29, 13, 7, 42);
    EXPECT_EQ(civilFromSeconds(secondsFromCivil(t)), t);
}

TEST(RelayClock, RunsInRealTimeThroughMidnightMonthAndYear) {
    RelayClock clock(at(2023, 12, 31, 23, 59, 58), kStart);
    EXPECT_EQ(clock.read(kStart + 999ms), fields(58, 59, 23, 0, 31, 12, 2023));
    EXPECT_EQ(clock.read(kStart + 1s), fields(59, 59, 23, 0, 31, 12, 2023));
    EXPECT_EQ(clock.read(kStart + 3s), fields(1, 0, 0, 1, 1, 1, 2024));
    // A day and an hour later, read only now: every carry at once.
    EXPECT_EQ(clock.read(kStart + 3s + 25h), fields(1, 0, 1, 2, 2, 1, 2024));
}

TEST(RelayClock, KnowsLeapDays) {
    RelayClock leap(at(2024, 2, 28, 23, 59, 59), kStart);
    EXPECT_EQ(leap.read(kStart + 1s), fields(0, 0, 0, 4, 29, 2, 2024));
    EXPECT_EQ(leap.read(kStart + 1s + 24h), fields(0, 0, 0, 5, 1, 3, 2024));
    RelayClock common(at(2023, 2, 28, 23, 59, 59), kStart);
    EXPECT_EQ(common.read(kStart + 1s), fields(0, 0, 0, 3, 1, 3, 2023));
}

TEST(RelayClock, TakesTheStationsSevenWritesAndRunsOnFromThere) {
    // From 30 April to 31 May 23:59:58 (a Sunday), one register at a time as the station writes
    // them; in between the clock holds 31 April for a moment.
    RelayClock clock(at(2026, 4, 30, 10, 0, 0), kStart);
    const uint16_t values[] = {58, 59, 23, 0, 31, 5, 2026};
    for (int i = 0; i < RelayClock::kFieldCount; ++i) {
        clock.set(static_cast<RelayClock::Field>(i), values[i], kStart + 100ms * i);
    }
    EXPECT_EQ(clock.read(kStart + 700ms), fields(58, 59, 23, 0, 31, 5, 2026));
    // Writing the seconds started a fresh second at 0 ms.
    EXPECT_EQ(clock.read(kStart + 999ms), fields(58, 59, 23, 0, 31, 5, 2026));
    EXPECT_EQ(clock.read(kStart + 2s), fields(0, 0, 0, 1, 1, 6, 2026));
}

TEST(RelayClock, AcceptsOnlyRealClockValues) {
    EXPECT_TRUE(RelayClock::acceptable(RelayClock::Second, 59));
    EXPECT_FALSE(RelayClock::acceptable(RelayClock::Second, 60));
    EXPECT_FALSE(RelayClock::acceptable(RelayClock::Hour, 24));
    EXPECT_FALSE(RelayClock::acceptable(RelayClock::Weekday, 7));
    EXPECT_FALSE(RelayClock::acceptable(RelayClock::Day, 0));
    EXPECT_FALSE(RelayClock::acceptable(RelayClock::Month, 13));
    EXPECT_TRUE(RelayClock::acceptable(RelayClock::Year, 2026));
    EXPECT_FALSE(RelayClock::acceptable(RelayClock::Year, 26));
}

TEST(RelayClock, ForcedNonsenseStillRollsOver) {
    // Month 0 and second 75 can only be forced from the control channel; the clock must not
    // stick on them.
    RelayClock clock(at(2026, 1, 31, 23, 59, 0), kStart);
    clock.set(RelayClock::Month, 0, kStart);
    clock.set(RelayClock::Second, 75, kStart);
    EXPECT_EQ(clock.read(kStart + 1s), fields(0, 0, 0, 0, 1, 1, 2026));
}

TEST(ProtocolRecord, TripProtocolWordsByteForByte) {
    // Protocol number 7, a trip on 5 March at 7:05:09 with 180 kOhm, worked out by hand from the
    // record layout: word 0 number|month, word 1 day|hour, word 2 minute|second, the measurements
    // in words 3 to 8, the status in word 27 and the sign in word 31, each high byte first.
    TripRecord r;
    r.number = 7;
    r.at = {3, 5, 7, 5, 9};
    r.remoteness = 352;   // 35.2 %
    r.alpha1 = 125;       // 12.5 %
    r.alpha2 = 480;       // 48.0 %
    r.resistance = 180;   // kOhm
    r.excitation = 2154;  // 215.4 V
    r.injected = 241;     // 24.1 V
    r.status = 0x0003;
    r.sign = kSignTripRelay;
    const TripWords w = encode(r);
    std::vector<uint8_t> wire;
    for (uint16_t word : w) {
        wire.push_back(static_cast<uint8_t>(word >> 8));
        wire.push_back(static_cast<uint8_t>(word));
    }
    std::vector<uint8_t> expected = {0x07, 0x03, 0x05, 0x07, 0x05, 0x09, 0x01, 0x60, 0x00,
                                     0x7D, 0x01, 0xE0, 0x00, 0xB4, 0x08, 0x6A, 0x00, 0xF1};
    expected.resize(64, 0x00);
    expected[54] = 0x00;
    expected[55] = 0x03;  // word 27
    expected[63] = 0x01;  // word 31
    EXPECT_EQ(wire, expected);
    EXPECT_EQ(decodeTrip(w).resistance, 180);
}

TEST(ProtocolRecord, InsulationChangeWords) {
    InsulationChangeRecord r;
    r.number = 0x2A;
    r.at = {2, 29, 4, 51, 16};
    r.initial = 1500;
    r.final = 820;
    r.kind = kChangeDecrease;
    const ChangeWords expected = {0x2A02, 0x1D04, 0x3310, 1500, 820, 0xAAAA, 0, 0};
    EXPECT_EQ(encode(r), expected);
}

TEST(ProtocolRecord, NumbersWrapPastZero) {
    EXPECT_EQ(nextProtocolNumber(61), 62);
    EXPECT_EQ(nextProtocolNumber(255), 1);
}

class StoredHistoryTest : public ::testing::TestWithParam<int> {};

TEST_P(StoredHistoryTest, ExercisesEveryDecodingRule) {
    const auto address = static_cast<uint8_t>(GetParam());
    const CivilTime now = at(2026, 12, 7, 9, 30, 0);
    Relay relay(address, now, kStart);

    std::set<uint16_t> signs;
    bool tripLeapDay = false;
    for (int n = 1; n <= 61; ++n) {
        const ReadResult r = relay.read(regs::tripProtocol(n), kTripWords, kStart);
        ASSERT_EQ(r.error, ModbusError::None);
        TripWords w{};
        std::copy(r.words.begin(), r.words.end(), w.begin());
        const TripRecord t = decodeTrip(w);
        EXPECT_EQ(t.number, 62 - n) << "protocol " << n;
        EXPECT_GE(t.at.month, 1);
        EXPECT_LE(t.at.month, 12);
        EXPECT_GE(t.at.day, 1);
        EXPECT_LE(t.at.day, daysInMonth(2024, t.at.month)) << "protocol " << n;
        EXPECT_LE(t.at.hour, 23);
        EXPECT_LE(t.at.minute, 59);
        signs.insert(t.sign);
        tripLeapDay = tripLeapDay || (t.at.month == 2 && t.at.day == 29);
        EXPECT_EQ(t.status, statusForSign(t.sign));
    }
    for (uint16_t sign : {0, 1, 2, 3, 4, 54}) {
        EXPECT_TRUE(signs.count(sign)) << "sign " << sign;
    }
    EXPECT_TRUE(std::any_of(signs.begin(), signs.end(), [](uint16_t s) {
        return s > 4 && s != 54;
    })) << "no sign outside the table";
    EXPECT_TRUE(tripLeapDay);

    // Protocol 1 is the newest: today, a few hours back.
    const auto newest = relay.read(regs::tripProtocol(1), 3, kStart).words;
    EXPECT_EQ(newest[0] & 0xFF, 12);
    EXPECT_EQ(newest[1] >> 8, 7);
    EXPECT_LT(newest[1] & 0xFF, 9);
    EXPECT_GE(newest[1] & 0xFF, 4);

    // The slots no event has reached yet.
    EXPECT_EQ(relay.read(regs::tripProtocol(62), 32, kStart).words, std::vector<uint16_t>(32, 0));
    EXPECT_EQ(relay.read(regs::tripProtocol(63), 64, kStart).words,
              std::vector<uint16_t>(64, 0xFFFF));

    std::set<uint16_t> kinds;
    bool changeLeapDay = false;
    for (int n = 1; n <= 60; ++n) {
        const auto w = relay.read(regs::changeProtocol(n), kChangeWords, kStart).words;
        EXPECT_EQ(w[0] >> 8, 61 - n);
        kinds.insert(w[5]);
        if (w[5] == kChangeDecrease) {
            EXPECT_LT(w[4], w[3]);
        }
        if (w[5] == kChangeIncrease) {
            EXPECT_GT(w[4], w[3]);
        }
        changeLeapDay = changeLeapDay || ((w[0] & 0xFF) == 2 && (w[1] >> 8) == 29);
    }
    EXPECT_EQ(kinds, (std::set<uint16_t>{kChangeDecrease, kChangeIncrease, kChangeNone}));
    EXPECT_TRUE(changeLeapDay);
    EXPECT_EQ(relay.read(regs::changeProtocol(61), 8, kStart).words, std::vector<uint16_t>(8, 0));
    EXPECT_EQ(relay.read(regs::changeProtocol(62), 24, kStart).words,
              std::vector<uint16_t>(24, 0xFFFF));
}

INSTANTIATE_TEST_SUITE_P(Addresses, StoredHistoryTest, ::testing::Values(1, 17, 246));

TEST(StoredHistory, LeapDayIsTheLatestBeforeTheStart) {
    // Started on 1 March 2028 the latest 29 February is the day before, not 2024's.
    Relay relay(3, at(2028, 3, 5, 12, 0, 0), kStart);
    bool found = false;
    for (int n = 1; n <= 61 && !found; ++n) {
        const auto w = relay.read(regs::tripProtocol(n), 2, kStart).words;
        found = (w[0] & 0xFF) == 2 && (w[1] >> 8) == 29;
    }
    EXPECT_TRUE(found);
}

// Every word of both protocol stores, read over the register map.
std::vector<uint16_t> storedProtocols(Relay& relay) {
    std::vector<uint16_t> all;
    for (int n = 1; n <= kProtocolCount; ++n) {
        for (const auto& [first, count] : {std::pair{regs::tripProtocol(n), kTripWords},
                                           std::pair{regs::changeProtocol(n), kChangeWords}}) {
            const ReadResult r = relay.read(first, static_cast<uint16_t>(count), kStart);
            EXPECT_EQ(r.error, ModbusError::None);
            all.insert(all.end(), r.words.begin(), r.words.end());
        }
    }
    return all;
}

// A simulator started again with the end of its history kept holds the same protocols, dated
// before that end, however much later it starts: a station that saw them before sees nothing new.
TEST(StoredHistory, AGivenEndGivesTheSameProtocolsAtEveryStart) {
    const CivilTime end = at(2026, 12, 7, 9, 30, 0);
    for (uint8_t address : {1, 2, 5, 246}) {
        Relay first(address, end, kStart, 1, end);
        const std::vector<uint16_t> stored = storedProtocols(first);
        ASSERT_EQ(stored.size(), static_cast<size_t>(kProtocolCount * (kTripWords + kChangeWords)));
        // Hours, days and a month later, across midnight and the month's end.
        for (const CivilTime& later :
             {at(2026, 12, 7, 14, 2, 9), at(2026, 12, 9, 0, 0, 1), at(2027, 1, 6, 23, 59, 59)}) {
            Relay again(address, later, kStart, 2, end);
            EXPECT_EQ(storedProtocols(again), stored) << "relay " << int(address);
            // Without the end the history follows the start, and protocol 1 moves with it.
            Relay fresh(address, later, kStart, 2);
            EXPECT_NE(fresh.read(regs::tripProtocol(1), 3, kStart).words,
                      std::vector<uint16_t>(stored.begin(), stored.begin() + 3));
        }
        // Protocol 1, the newest, lies before the end.
        const auto w = first.read(regs::tripProtocol(1), 3, kStart).words;
        const int64_t newest =
            secondsFromCivil(at(2026, w[0] & 0xFF, w[1] >> 8, w[1] & 0xFF, w[2] >> 8, w[2] & 0xFF));
        EXPECT_LT(newest, secondsFromCivil(end));
        EXPECT_GT(newest, secondsFromCivil(end) - 6 * 3600);
    }
}

TEST(Relay, CurrentBlockFollowsTheRegisterMap) {
    Relay relay(5, at(2026, 12, 7, 9, 30, 15), kStart);
    const auto w = relay.read(regs::kCurrentFirst, regs::kCurrentCount, kStart + 2s).words;
    ASSERT_EQ(w.size(), 48u);
    EXPECT_EQ(w[1], 2405);
    EXPECT_EQ(w[2] >> 12, 6);  // manufactured in June
    EXPECT_EQ(w[2] & 0x0FFF, 2019);
    EXPECT_EQ(w[5], 0x0207);    // version 2.7
    EXPECT_EQ(w[6] >> 11, 17);  // version of 17/06/2019
    EXPECT_EQ((w[6] >> 7) & 0x0F, 6);
    EXPECT_EQ(w[6] & 0x7F, 19);
    const std::vector<uint16_t> clock(w.begin() + 9, w.begin() + 16);
    EXPECT_EQ(clock, (std::vector<uint16_t>{17, 30, 9, 1, 7, 12, 2026}));
    for (int unused : {0, 3, 4, 7, 16, 17, 18, 20, 21, 22, 23, 31, 35, 47}) {
        EXPECT_EQ(w[static_cast<size_t>(unused)], 0) << "word " << unused;
    }
    // Plausible measurements for a healthy generator.
    EXPECT_GT(w[kWordResistance], 500);
    EXPECT_LT(w[kWordResistance], 4000);
    EXPECT_GT(w[kWordExcitation], 1800);  // tenths of a volt
    EXPECT_LT(w[kWordExcitation], 2500);
    EXPECT_NEAR(w[kWordInjected], 240, 20);
    EXPECT_LT(w[kWordAlpha1], 500);
    EXPECT_LT(w[kWordAlpha2], 500);
    EXPECT_LT(w[kWordRemoteness], 1000);
    EXPECT_EQ(w[kWordStatus], 0);
    EXPECT_EQ(w[32], 2048);
}

TEST(Relay, MeasurementsDriftSlowly) {
    Relay relay(2, at(2026, 12, 7, 9, 0, 0), kStart);
    std::set<uint16_t> seen;
    uint16_t previous = relay.measure(kStart).resistance;
    for (int s = 1; s <= 600; ++s) {
        const uint16_t r = relay.measure(kStart + std::chrono::seconds(s)).resistance;
        EXPECT_LE(std::abs(r - previous), previous / 50) << "at " << s << " s";
        seen.insert(r);
        previous = r;
    }
    EXPECT_GT(seen.size(), 20u);
}

TEST(Relay, WritesAreKeptWithinTheRelaysLimits) {
    Relay relay(4, at(2026, 12, 7, 9, 0, 0), kStart);
    EXPECT_EQ(relay.write(0x0408, 777, kStart), ModbusError::None);
    EXPECT_EQ(relay.write(regs::kPassword, 4321, kStart), ModbusError::None);
    EXPECT_EQ(relay.write(regs::kMode, 1, kStart), ModbusError::None);
    EXPECT_EQ(relay.write(0x0420, 1999, kStart), ModbusError::None);
    EXPECT_EQ(relay.read(0x0408, 1, kStart).words[0], 777);
    EXPECT_EQ(relay.read(regs::kPassword, 1, kStart).words[0], 4321);
    EXPECT_EQ(relay.read(regs::kMode, 1, kStart).words[0], 1);
    // The present offset on the current-parameter page is the one just set.
    EXPECT_EQ(relay.read(0x0120, 1, kStart).words[0], 1999);

    EXPECT_EQ(relay.read(0x0400, 1, kStart).words[0], 4);  // its own address
    EXPECT_EQ(relay.write(0x0400, 0, kStart), ModbusError::IllegalDataValue);
    EXPECT_EQ(relay.write(0x0400, 247, kStart), ModbusError::IllegalDataValue);
    EXPECT_EQ(relay.write(0x0428, 10001, kStart), ModbusError::IllegalDataValue);
    EXPECT_EQ(relay.write(0x0428, 10000, kStart), ModbusError::None);
    EXPECT_EQ(relay.write(0x043F, 65535, kStart), ModbusError::None);
    EXPECT_EQ(relay.read(0x0400, 1, kStart).words[0], 4);

    EXPECT_EQ(relay.write(0x010E, 13, kStart), ModbusError::IllegalDataValue);
    EXPECT_EQ(relay.write(0x011B, 100, kStart), ModbusError::IllegalDataAddress);
    EXPECT_EQ(relay.write(0x1000, 0, kStart), ModbusError::IllegalDataAddress);
    EXPECT_EQ(relay.write(0x0200, 0, kStart), ModbusError::IllegalDataAddress);

    EXPECT_EQ(relay.write(0x010F, 2031, kStart), ModbusError::None);
    EXPECT_EQ(relay.read(0x010F, 1, kStart + 5s).words[0], 2031);
}

TEST(Relay, ReadsStayInsideOneBlock) {
    Relay relay(1, at(2026, 12, 7, 9, 0, 0), kStart);
    EXPECT_EQ(relay.read(0x0100, 48, kStart).words.size(), 48u);
    EXPECT_EQ(relay.read(0x0400, 64, kStart).words.size(), 64u);
    EXPECT_EQ(relay.read(0x047F, 1, kStart).words.size(), 1u);
    EXPECT_EQ(relay.read(0x04FF, 1, kStart).words.size(), 1u);
    EXPECT_EQ(relay.read(regs::tripProtocol(64), 32, kStart).words.size(), 32u);
    EXPECT_EQ(relay.read(regs::changeProtocol(64), 8, kStart).words.size(), 8u);
    EXPECT_EQ(relay.read(0x1000, 125, kStart).words.size(), 125u);  // across protocols
    EXPECT_EQ(relay.read(0x0120, 32, kStart).error, ModbusError::IllegalDataAddress);
    EXPECT_EQ(relay.read(0x0400, 65, kStart).error, ModbusError::IllegalDataAddress);
    EXPECT_EQ(relay.read(0x047E, 2, kStart).error, ModbusError::IllegalDataAddress);
    EXPECT_EQ(relay.read(0x00FF, 2, kStart).error, ModbusError::IllegalDataAddress);
    EXPECT_EQ(relay.read(regs::tripProtocol(64), 33, kStart).error,
              ModbusError::IllegalDataAddress);
    EXPECT_EQ(relay.read(0x3200, 1, kStart).error, ModbusError::IllegalDataAddress);
    EXPECT_EQ(relay.read(0x0100, 0, kStart).error, ModbusError::IllegalDataValue);
    EXPECT_EQ(relay.read(0x1000, 126, kStart).error, ModbusError::IllegalDataValue);
}

TEST(Relay, StatusBitsFollowTheMeasurementsAndLevels) {
    Relay relay(1, at(2026, 12, 7, 9, 0, 0), kStart);
    auto status = [&] { return relay.read(0x0113, 1, kStart).words[0]; };
    EXPECT_EQ(status(), 0);
    relay.force(0x011B, 400, kStart);  // below the signal level of 500 kOhm
    EXPECT_EQ(relay.read(0x011B, 1, kStart + 10min).words[0], 400);
    EXPECT_EQ(status(), kStatusSignalRelay);
    relay.force(0x011B, 200, kStart);  // below the trip level too
    EXPECT_EQ(status(), kStatusSignalRelay | kStatusTripRelay);
    relay.write(0x040A, 150, kStart);  // trip level lowered
    EXPECT_EQ(status(), kStatusSignalRelay);
    relay.release(0x011B);
    EXPECT_EQ(status(), 0);
    relay.force(0x011A, 700, kStart);  // alpha 2 at 70.0 %, fixation level 50 %
    EXPECT_EQ(status(), kStatusAlpha2Fixation);
    relay.force(0x011E, 6000, kStart);  // control resistance above the circuit-break level
    EXPECT_EQ(status(), kStatusAlpha2Fixation | kStatusCircuitBreak);
    relay.force(0x0113, 0x0010, kStart);
    EXPECT_EQ(status(), 0x0010);
    EXPECT_FALSE(relay.release(0x0109));
    EXPECT_FALSE(relay.force(0x0200, 1, kStart));
}

TEST(Relay, EventTakesSlotOneAndPushesTheRestDown) {
    Relay relay(3, at(2026, 12, 7, 9, 0, 0), kStart);
    const auto before =
        relay.read(regs::kTripFirst, 125, kStart).words;  // protocols 1..3 and a bit
    const auto before62 = relay.read(regs::tripProtocol(62), 32, kStart).words;
    std::mt19937 rng(1);
    const TripRecord made = relay.recordEvent(kSignCircuitBreak, kStart + 90s, rng);
    EXPECT_EQ(made.number, 62);
    EXPECT_EQ(made.sign, kSignCircuitBreak);

    const auto after = relay.read(regs::kTripFirst, 125, kStart + 90s).words;
    // Dated by the relay's clock: 7 December, 9:01:30.
    EXPECT_EQ(after[0], 62 << 8 | 12);
    EXPECT_EQ(after[1], 7 << 8 | 9);
    EXPECT_EQ(after[2], 1 << 8 | 30);
    EXPECT_EQ(after[31], kSignCircuitBreak);
    EXPECT_EQ(after[27], kStatusCircuitBreak);
    EXPECT_TRUE(std::equal(before.begin(), before.begin() + 93, after.begin() + 32));
    EXPECT_EQ(relay.read(regs::tripProtocol(63), 32, kStart).words, before62);
    // The output behind the event stays on for a while.
    EXPECT_TRUE(relay.status(kStart + 100s) & kStatusCircuitBreak);
    EXPECT_FALSE(relay.status(kStart + 200s) & kStatusCircuitBreak);

    for (int i = 0; i < 64; ++i) {
        relay.recordEvent(kSignTripRelay, kStart + 100s, rng);
    }
    // All 64 slots now hold events; the stored ones have all fallen off the end.
    const auto last = relay.read(regs::tripProtocol(64), 32, kStart + 100s).words;
    EXPECT_EQ(last[0] >> 8, 63);
    EXPECT_EQ(last[31], kSignTripRelay);
}

TEST(Relay, InsulationChangeIsRecordedAndStays) {
    Relay relay(6, at(2026, 12, 7, 9, 0, 0), kStart);
    const uint16_t before = relay.measure(kStart).resistance;
    const InsulationChangeRecord r = relay.recordInsulationChange(true, kStart);
    EXPECT_EQ(r.number, 61);
    EXPECT_EQ(r.initial, before);
    EXPECT_LT(r.final, before * 6 / 10);
    const auto w = relay.read(regs::kChangeFirst, 16, kStart).words;
    EXPECT_EQ(w[5], kChangeDecrease);
    EXPECT_EQ(w[8] >> 8, 60);  // the former protocol 1, now 2
    EXPECT_NEAR(relay.measure(kStart).resistance, r.final, 2);
}

TEST(Relay, DriftRunsOnTheSimulatorsClockWithinTheRegister) {
    Relay relay(2, at(2026, 12, 7, 9, 0, 0), kStart, 7);
    ASSERT_EQ(relay.insulationLevel(kStart), 1174);  // relay 2's own nominal value
    // One step after another: at `when`, the drift set (or a drop), then the level `then`
    // later. The level is what the waves ride on; the reading must stay within them.
    struct Step {
        std::chrono::minutes when;
        double slope;
        std::optional<uint16_t> drop;
        std::chrono::minutes then;
        double level;
    };
    const Step steps[] = {
        {0min, -120, {}, 30min, 1114},
        {0min, -120, {}, 5h, 574},
        {0min, -120, {}, 10h, 0},  // would be -26: held at 0
        {20h, 0, {}, 5h, 0},
        {25h, 100, {}, 1h, 100},  // rises from 0, not from the -1826 the fall would have made
        {26h, 100000, {}, 1h, 65535},
        {27h, -1000, {}, 1h, 64535},  // falls from the top, not from 100 100
        {28h, 0, {}, 100h, 64535},
        {200h, -6, 300, 2h, -1},  // -1: a drop, checked on its own
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(::testing::Message() << "at " << step.when.count() << " min, slope "
                                          << step.slope << ", then " << step.then.count());
        const TimePoint when = kStart + step.when;
        relay.setDrift(step.slope, 0, when);
        if (step.drop) {
            relay.dropTo(*step.drop, when);
            EXPECT_EQ(relay.insulationReading(when), *step.drop);
            EXPECT_EQ(relay.read(0x011B, 1, when).words[0], *step.drop);
            // The drift goes on from the failure.
            EXPECT_NEAR(relay.insulationLevel(when + step.then),
                        relay.insulationLevel(when) + step.slope * 2, 1e-6);
            continue;
        }
        const TimePoint at = when + step.then;
        if (step.level >= 0) {
            EXPECT_NEAR(relay.insulationLevel(at), step.level, 1e-6);
        }
        const double level = relay.insulationLevel(at);
        const uint16_t reading = relay.read(0x011B, 1, at).words[0];
        EXPECT_EQ(reading, relay.measure(at).resistance);
        EXPECT_GE(reading, std::floor(level * 0.935));
        EXPECT_LE(reading, std::min(65535.0, std::ceil(level * 1.065)));
    }
    // Off holds the level where the drift had taken it.
    const double dropped = relay.insulationLevel(kStart + 200h);
    relay.setDrift(0, 0, kStart + 210h);
    EXPECT_NEAR(relay.insulationLevel(kStart + 210h), dropped - 60, 1e-6);
    EXPECT_EQ(relay.insulationLevel(kStart + 290h), relay.insulationLevel(kStart + 210h));
    // An insulation change starts from the drifted value and the drift goes on after it.
    relay.setDrift(-10, 0, kStart + 300h);
    const uint16_t before = relay.insulationReading(kStart + 300h);
    const InsulationChangeRecord change = relay.recordInsulationChange(true, kStart + 300h);
    EXPECT_EQ(change.initial, before);
    EXPECT_EQ(relay.insulationReading(kStart + 300h), change.final);
    EXPECT_NEAR(relay.insulationLevel(kStart + 303h), relay.insulationLevel(kStart + 300h) - 30,
                1e-6);
}

TEST(Relay, ReadingNoiseStaysWithinItsBoundAndFollowsTheSeed) {
    const auto readings = [](uint32_t seed, uint16_t dropTo, int count) {
        Relay relay(3, at(2026, 12, 7, 9, 0, 0), kStart, seed);
        relay.dropTo(dropTo, kStart);
        relay.setDrift(0, 50, kStart);
        std::vector<std::pair<uint16_t, uint16_t>> words;  // status, resistance
        for (int i = 0; i < count; ++i) {
            const auto w = relay.read(0x0113, 9, kStart).words;
            words.emplace_back(w[0], w[8]);
        }
        return words;
    };
    // Around 520 kΩ, the signal level of 500 inside the noise: the status bit of each answer
    // follows the reading in that same answer.
    const auto many = readings(11, 520, 4000);
    double sum = 0;
    uint16_t low = 65535;
    uint16_t high = 0;
    for (const auto& [status, kohm] : many) {
        EXPECT_GE(kohm, 470);
        EXPECT_LE(kohm, 570);
        EXPECT_EQ((status & kStatusSignalRelay) != 0, kohm <= 500) << kohm;
        sum += kohm;
        low = std::min(low, kohm);
        high = std::max(high, kohm);
    }
    EXPECT_LT(low, 480);
    EXPECT_GT(high, 560);
    EXPECT_NEAR(sum / double(many.size()), 520, 3);
    EXPECT_EQ(readings(11, 520, 50), readings(11, 520, 50));
    EXPECT_NE(readings(12, 520, 50), readings(11, 520, 50));

    // Near zero the noise never takes a reading below it (nor round to 65535).
    int zeros = 0;
    for (const auto& [status, kohm] : readings(5, 10, 1000)) {
        EXPECT_LE(kohm, 61);
        zeros += kohm == 0;
    }
    EXPECT_GT(zeros, 300);

    // A value held by set is held exactly.
    Relay held(3, at(2026, 12, 7, 9, 0, 0), kStart, 1);
    held.setDrift(-100, 50, kStart);
    held.force(0x011B, 400, kStart);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(held.read(0x011B, 1, kStart + std::chrono::hours(i)).words[0], 400);
    }
}

}  // namespace
}  // namespace relaysim
