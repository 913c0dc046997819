#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "calendar.h"
#include "protocol_record.h"

namespace relaysim {

// The measured quantities, in the units of the registers.
struct Measurements {
    uint16_t remoteness = 0;         // tenths of a percent
    uint16_t alpha1 = 0;             // tenths of a percent
    uint16_t alpha2 = 0;             // tenths of a percent
    uint16_t resistance = 0;         // kOhm
    uint16_t excitation = 0;         // tenths of a volt
    uint16_t injected = 0;           // tenths of a volt
    uint16_t controlResistance = 0;  // kOhm
};

// The protection levels among the setpoints that decide what a condition looks like.
struct Levels {
    uint16_t signal = 500;         // kOhm
    uint16_t trip = 250;           // kOhm
    uint16_t alphaFixation = 50;   // percent
    uint16_t circuitBreak = 5000;  // kOhm
};

// A trip protocol for a condition of this sign, with the measurements taken a moment before
// (`present`) moved to where that condition puts them. Number and time are left for the caller.
TripRecord tripRecordFor(uint16_t sign, const Measurements& present, const Levels& levels,
                         std::mt19937& rng);

EventStamp stampOf(const CivilTime& t);

// A sign code drawn with the frequencies a plant sees: signal stages often, unit failures rarely.
uint16_t randomSign(std::mt19937& rng);

// What a relay that has been in service for a couple of years holds when it is switched on.
struct StoredHistory {
    std::array<TripWords, kProtocolCount> trips{};
    std::array<ChangeWords, kProtocolCount> changes{};
    uint8_t lastTripNumber = 0;
    uint8_t lastChangeNumber = 0;
};

inline constexpr int kStoredTrips = 61;    // slots 62..64 are empty
inline constexpr int kStoredChanges = 60;  // slots 61..64 are empty

// Deterministic for an address and a start time. Protocol 1 of either kind is an event of the
// last few hours; the older ones go back past the latest 29 February; the signs cover the whole
// sign table, and the changes both kinds and one that is neither.
StoredHistory makeHistory(uint8_t address, const CivilTime& now, const Measurements& nominal,
                          const Levels& levels);

}  // namespace relaysim
