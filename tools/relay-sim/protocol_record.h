#pragma once

#include <array>
#include <cstdint>

#include "modbus/register_map.h"

namespace relaysim {

// What made the relay write a trip protocol (word 31). Codes 0 to 4 follow the status bits.
enum SignCode : uint16_t {
    kSignSignalRelay = 0,
    kSignTripRelay = 1,
    kSignAlpha1Fixation = 2,
    kSignAlpha2Fixation = 3,
    kSignCircuitBreak = 4,
    kSignUnitFailure = 54,
};

// Status register bits (word 19 of the current parameters, word 27 of a trip protocol).
enum StatusBit : uint16_t {
    kStatusSignalRelay = 1u << 0,
    kStatusTripRelay = 1u << 1,
    kStatusAlpha1Fixation = 1u << 2,
    kStatusAlpha2Fixation = 1u << 3,
    kStatusCircuitBreak = 1u << 4,
};

// Kind of change stored in word 5 of an insulation-change protocol.
enum ChangeKind : uint16_t {
    kChangeNone = 0x0000,
    kChangeIncrease = 0x5555,
    kChangeDecrease = 0xAAAA,
};

// The moment of a stored event. The records keep no year.
struct EventStamp {
    uint8_t month = 0;
    uint8_t day = 0;
    uint8_t hour = 0;
    uint8_t minute = 0;
    uint8_t second = 0;
};

struct TripRecord {
    uint8_t number = 0;
    EventStamp at;
    uint16_t remoteness = 0;  // tenths of a percent
    uint16_t alpha1 = 0;      // tenths of a percent
    uint16_t alpha2 = 0;      // tenths of a percent
    uint16_t resistance = 0;  // kOhm
    uint16_t excitation = 0;  // tenths of a volt
    uint16_t injected = 0;    // tenths of a volt
    uint16_t status = 0;
    uint16_t sign = 0;
};

struct InsulationChangeRecord {
    uint8_t number = 0;
    EventStamp at;
    uint16_t initial = 0;  // kOhm
    uint16_t final = 0;    // kOhm
    uint16_t kind = kChangeNone;
};

inline constexpr int kProtocolCount = terval::registers::kProtocolCount;
inline constexpr int kTripWords = terval::registers::kTripProtocolSize;
inline constexpr int kChangeWords = terval::registers::kInsulationProtocolSize;
using TripWords = std::array<uint16_t, kTripWords>;
using ChangeWords = std::array<uint16_t, kChangeWords>;

TripWords encode(const TripRecord& record);
ChangeWords encode(const InsulationChangeRecord& record);
TripRecord decodeTrip(const TripWords& words);

// The status bits a protocol of this sign shows: a trip has passed through the signal stage,
// a unit failure or an unknown code lights nothing.
uint16_t statusForSign(uint16_t sign);

// Protocol numbers run 1..255 and wrap; 0 never appears, so a written slot never looks erased.
uint8_t nextProtocolNumber(uint8_t number);

}  // namespace relaysim
