#pragma once

#include <array>
#include <bitset>
#include <cstdint>

// The registers the station serves to the plant's control system over Modbus TCP, read alike as
// holding registers (function 3) and input registers (function 4). Register numbers are the
// protocol's, counted from 0 (a client that counts from 1, as mbpoll does, reads register N as
// N + 1). 32-bit values take two registers, the high word first. Registers between the blocks are
// not part of the map: a read that touches one is refused with exception 2.
namespace terval::station_map {

// Raised whenever the meaning of a register changes; new registers in a reserved place do not.
inline constexpr uint16_t kMapVersion = 1;

// ---- the station: registers 0 to 19 ----
inline constexpr uint16_t kStationBlock = 0;
inline constexpr uint16_t kStationBlockSize = 20;
namespace station {
inline constexpr uint16_t kHeartbeat = 0;       // goes up by one every second, 65535 → 0
inline constexpr uint16_t kLinkState = 1;       // 0 closed, 1 connecting, 2 open, 3 waiting
inline constexpr uint16_t kRelayCount = 2;      // relays in the list, 0 to 32
inline constexpr uint16_t kUnacknowledged = 3;  // alarms waiting for acknowledgement
inline constexpr uint16_t kTimeHigh = 4;        // the station's time, seconds since 1970 UTC
inline constexpr uint16_t kTimeLow = 5;
inline constexpr uint16_t kVersion = 6;          // kMapVersion
inline constexpr uint16_t kEventSequenceHigh = 7;  // the newest event's sequence number, 0: none
inline constexpr uint16_t kEventSequenceLow = 8;
inline constexpr uint16_t kEventsHeld = 9;  // events in the queue, 0 to kEventSlots
// 10 to 19: reserved, read as 0.
}  // namespace station

// ---- one block per relay, by its tile number n (1 to 32): 100 + 20 × (n − 1) ----
inline constexpr uint16_t kRelayBlocks = 100;
inline constexpr uint16_t kRelayBlockSize = 20;
inline constexpr int kRelayTiles = 32;
constexpr uint16_t relayBlock(int tile) {
    return static_cast<uint16_t>(kRelayBlocks + kRelayBlockSize * (tile - 1));
}
namespace relay {
inline constexpr uint16_t kListed = 0;   // 1 while a relay has this tile, 0 otherwise (all 0)
inline constexpr uint16_t kAddress = 1;  // its address on the line
inline constexpr uint16_t kState = 2;    // as the tile shows it: 0 no answer, 1 answering,
                                         // 2 a protection event waits
inline constexpr uint16_t kInsulationKohm = 3;  // status word 27
inline constexpr uint16_t kControlKohm = 4;     // status word 30
inline constexpr uint16_t kExcitationDeciVolt = 5;  // status word 28, tenths of a volt
inline constexpr uint16_t kInjectedDeciVolt = 6;    // status word 29, tenths of a volt
inline constexpr uint16_t kStatusWord = 7;          // status word 19, the five lamps
inline constexpr uint16_t kSignalLevelKohm = 8;     // 65535 while not known
inline constexpr uint16_t kTripLevelKohm = 9;       // 65535 while not known
inline constexpr uint16_t kAgeSeconds = 10;  // since the values were read; 65535 never read or
                                             // older than that (the control system's quality)
inline constexpr uint16_t kGoodAnswersHigh = 11;
inline constexpr uint16_t kGoodAnswersLow = 12;
inline constexpr uint16_t kBadAnswersHigh = 13;
inline constexpr uint16_t kBadAnswersLow = 14;
inline constexpr uint16_t kSerialNumber = 15;  // status word 1, 0 before the first reading
// 16 to 19: reserved, read as 0.
}  // namespace relay
inline constexpr uint16_t kNotKnown = 65535;

// ---- the event queue: the last 64 protection events, from register 1000 ----
// Event number s (1, 2, ...; it only grows, across restarts too) stays in slot (s − 1) mod 64
// until event s + 64 takes the slot: nothing moves, so a client that reads the queue in several
// requests never sees an event twice or misses one, and takes each event whose number is above
// the last it took.
inline constexpr uint16_t kEventQueue = 1000;
inline constexpr int kEventSlots = 64;
inline constexpr uint16_t kEventSlotSize = 10;
constexpr uint16_t eventSlot(int slot) {
    return static_cast<uint16_t>(kEventQueue + kEventSlotSize * slot);
}
namespace event {
inline constexpr uint16_t kSequenceHigh = 0;  // 0 0: the slot is empty
inline constexpr uint16_t kSequenceLow = 1;
inline constexpr uint16_t kTile = 2;     // the relay's tile when the event was found
inline constexpr uint16_t kAddress = 3;  // the relay's address on the line
inline constexpr uint16_t kSignCode = 4;
inline constexpr uint16_t kRelayTimeHigh = 5;  // the relay's own clock, read as the computer's
inline constexpr uint16_t kRelayTimeLow = 6;   // local time, seconds since 1970 UTC
inline constexpr uint16_t kDetectedHigh = 7;   // when the station found it, seconds since 1970
inline constexpr uint16_t kDetectedLow = 8;
// 9: reserved, read as 0.
}  // namespace event

// One past the highest register of the map.
inline constexpr uint16_t kMapEnd = eventSlot(kEventSlots);

// What the server answers from: every register's value, and which registers the map has.
struct StationMapImage {
    std::array<uint16_t, kMapEnd> words{};
    std::bitset<kMapEnd> mapped;
};

// Which registers are part of the map (the blocks above, reserved places included).
inline bool inMap(uint16_t reg) {
    if (reg < kStationBlock + kStationBlockSize) {
        return true;
    }
    if (reg >= kRelayBlocks && reg < relayBlock(kRelayTiles + 1)) {
        return true;
    }
    return reg >= kEventQueue && reg < kMapEnd;
}

}  // namespace terval::station_map
