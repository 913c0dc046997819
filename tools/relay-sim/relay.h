#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "modbus/register_map.h"
#include "protocol_history.h"
#include "protocol_record.h"
#include "relay_clock.h"

namespace relaysim {

// Exception codes a relay answers with (the first four of the Modbus application protocol).
enum class ModbusError : uint8_t {
    None = 0,
    IllegalFunction = 1,
    IllegalDataAddress = 2,
    IllegalDataValue = 3,
    DeviceFailure = 4,
};

// The register map: raw wire addresses, no offset, the station's own.
namespace regs {
namespace map = terval::registers;
inline constexpr uint16_t kCurrentFirst = map::kStatusBlock;
inline constexpr uint16_t kCurrentCount = map::kStatusCount;
inline constexpr uint16_t kClockFirst = map::kClockRegister;
inline constexpr uint16_t kSetpointFirst = map::kSetpointBlock;
inline constexpr uint16_t kSetpointCount = map::kSetpointCount;
inline constexpr uint16_t kPassword = map::kPasswordRegister;
inline constexpr uint16_t kMode = map::kModeRegister;
inline constexpr uint16_t kTripFirst = map::kTripProtocols;
inline constexpr uint16_t kChangeFirst = map::kInsulationProtocols;
// The most registers one read may ask for (Modbus limit for function 3).
inline constexpr uint16_t kMaxReadCount = 125;

inline constexpr uint16_t tripProtocol(int n) {
    return static_cast<uint16_t>(kTripFirst + kTripWords * (n - 1));
}
inline constexpr uint16_t changeProtocol(int n) {
    return static_cast<uint16_t>(kChangeFirst + kChangeWords * (n - 1));
}
}  // namespace regs

// Words of the current-parameter block that the relay fills.
enum CurrentWord {
    kWordSerialNumber = terval::registers::status::kSerialNumber,
    kWordManufactureDate = terval::registers::status::kManufactureDate,
    kWordProgramVersion = terval::registers::status::kProgramVersion,
    kWordVersionDate = terval::registers::status::kProgramDate,
    kWordRunMinutes = terval::registers::status::kRunTime,
    kWordClock = terval::registers::status::kClockSecond,  // 9..15
    kWordStatus = terval::registers::status::kStatusRegister,
    kWordRemoteness = terval::registers::status::kRemoteness,
    kWordAlpha1 = terval::registers::status::kAlpha1,
    kWordAlpha2 = terval::registers::status::kAlpha2,
    kWordResistance = terval::registers::status::kInsulationResistance,
    kWordExcitation = terval::registers::status::kExcitationVoltage,
    kWordInjected = terval::registers::status::kInjectedVoltage,
    kWordControlResistance = terval::registers::status::kControlResistance,
    kWordOffsetFirst = terval::registers::status::kFirstOffset,  // 32..34 follow setpoints 32..34
};

// Setpoints the relay itself acts on.
enum SetpointWord {
    kSetpointAddress = 0,
    kSetpointSignalLevel = 8,
    kSetpointTripLevel = 10,
    kSetpointAlphaLevel = 14,
    kSetpointBreakLevel = 22,
    kSetpointOffsetFirst = 32,
};

struct ReadResult {
    ModbusError error = ModbusError::None;
    std::vector<uint16_t> words;
};

// One simulated relay: its registers, its measurements drifting slowly around values of its own,
// its clock, and its two stores of 64 protocols.
class Relay {
  public:
    // `seed` gives the relay's own stream of reading noise (see setDrift). The stored protocols
    // are those of a relay switched on at `historyEnd`, by default now: the same end gives the
    // same protocols, whenever the relay starts.
    Relay(uint8_t address, const CivilTime& localNow, TimePoint now, uint32_t seed = 0,
          std::optional<CivilTime> historyEnd = std::nullopt);

    uint8_t address() const { return address_; }

    // Function 3 and function 6 as the relay carries them out.
    ReadResult read(uint16_t first, uint16_t count, TimePoint now);
    ModbusError write(uint16_t reg, uint16_t value, TimePoint now);

    // For the person or test at the control channel: put any value into any register the relay
    // has, past the relay's own range checks. A measured value stays where it was put until
    // released; a clock register runs on from the value.
    bool force(uint16_t reg, uint16_t value, TimePoint now);
    bool release(uint16_t reg);
    static bool exists(uint16_t reg);

    // A new event: the record goes to slot 1 and the older ones move down by one; the oldest is
    // lost. The time comes from the relay's own clock.
    TripRecord recordEvent(uint16_t sign, TimePoint now, std::mt19937& rng);
    InsulationChangeRecord recordInsulationChange(bool decrease, TimePoint now);

    Measurements measure(TimePoint now) const;

    // The insulation's own course beneath the minute-long waves: a level that changes by
    // `kohmPerHour` from where it stands now, kept within 0..65535 kΩ, and each reading of it
    // over the line up to `noiseKohm` off either way, drawn from the seed.
    void setDrift(double kohmPerHour, double noiseKohm, TimePoint now);
    double driftPerHour() const { return driftPerHour_; }
    double driftNoise() const { return driftNoise_; }
    double insulationLevel(TimePoint now) const;
    // The resistance as measured now, waves and drift, without what `set` holds and without noise.
    uint16_t insulationReading(TimePoint now) const;
    // An insulation failure: the resistance reads `kohm` at once and drifts on from there.
    void dropTo(uint16_t kohm, TimePoint now);
    uint16_t status(TimePoint now) const;
    uint16_t setpoint(int n) const { return setpoints_[static_cast<size_t>(n)]; }
    Levels levels() const;
    CivilTime clock(TimePoint now) { return clock_.readCivil(now); }

    // The range the relay accepts for setpoint n (the station's limits table).
    static bool setpointAcceptable(int n, uint16_t value);

  private:
    std::array<uint16_t, regs::kCurrentCount> currentBlock(TimePoint now);
    uint16_t statusOf(const Measurements& m, TimePoint now) const;
    bool forced(int word, uint16_t& value) const;
    double wander(TimePoint now) const;
    // The level from which the resistance reads `kohm` at `now`.
    void readsFrom(double kohm, TimePoint now);

    uint8_t address_;
    TimePoint start_;
    RelayClock clock_;
    Measurements nominal_;
    // The insulation level stood at level_ at levelAt_ and has drifted since.
    double level_ = 0;
    TimePoint levelAt_;
    double driftPerHour_ = 0;
    double driftNoise_ = 0;
    std::mt19937 readingNoise_;
    std::array<uint16_t, regs::kSetpointCount> setpoints_{};
    uint16_t password_ = 0;
    uint16_t mode_ = 0;
    std::map<int, uint16_t> forced_;  // current-parameter words held by the control channel
    std::array<TimePoint, 5> latchedUntil_{};
    StoredHistory stored_;
};

}  // namespace relaysim
