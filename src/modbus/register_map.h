#pragma once

#include <cstdint>

// The relay's registers as the station uses them: every block it reads or writes, their sizes and
// the words it decodes. Plain C++, so that relay-sim answers from the same map the station asks by.
namespace terval::registers {

// ---- current parameters: measurements, status, the relay's clock, identification ----
inline constexpr uint16_t kStatusBlock = 0x0100;
inline constexpr uint16_t kStatusCount = 48;

// Words of the current-parameter block (register = kStatusBlock + word).
namespace status {
inline constexpr int kSerialNumber = 1;
inline constexpr int kManufactureDate = 2;  // month in bits 15-12, year in bits 11-0
inline constexpr int kProgramVersion = 5;   // major in the high byte, minor in the low
inline constexpr int kProgramDate = 6;      // day bits 15-11, month 10-7, year in century 6-0
inline constexpr int kRunTime = 8;          // minutes
inline constexpr int kClockSecond = 9;
inline constexpr int kClockMinute = 10;
inline constexpr int kClockHour = 11;
inline constexpr int kClockWeekday = 12;
inline constexpr int kClockDay = 13;
inline constexpr int kClockMonth = 14;
inline constexpr int kClockYear = 15;
inline constexpr int kStatusRegister = 19;        // bits 0-4: the five status lamps
inline constexpr int kRemoteness = 24;            // tenths of a percent
inline constexpr int kAlpha1 = 25;                // tenths of a percent
inline constexpr int kAlpha2 = 26;                // tenths of a percent
inline constexpr int kInsulationResistance = 27;  // kOhm; also the tile's value
inline constexpr int kExcitationVoltage = 28;     // tenths of a volt
inline constexpr int kInjectedVoltage = 29;       // tenths of a volt
inline constexpr int kControlResistance = 30;     // kOhm
// The channels' present offsets (insulation resistance, excitation, injected voltage), edited on
// the settings page and written to setpoint words kFirstOffsetSetpoint and on.
inline constexpr int kFirstOffset = 32;
}  // namespace status

// The relay's clock: words kClockSecond to kClockYear of the status block, written one register at
// a time from here.
inline constexpr uint16_t kClockRegister = kStatusBlock + status::kClockSecond;
inline constexpr int kClockWords = 7;

// The number of status bits the station shows (lamps, report rows, sign codes 0 to 4).
inline constexpr int kStatusBits = 5;

// ---- setpoints and settings: one value per register, written one at a time ----
inline constexpr uint16_t kSetpointBlock = 0x0400;
inline constexpr uint16_t kSetpointCount = 64;
// The insulation resistance at which the relay signals, and at which it trips, kOhm.
inline constexpr int kSignalLevelSetpoint = 8;
inline constexpr int kTripLevelSetpoint = 10;
// The setpoint words that take the channels' present offsets (status words kFirstOffset on).
inline constexpr int kFirstOffsetSetpoint = 32;
inline constexpr uint16_t kPasswordRegister = 0x047F;
inline constexpr uint16_t kModeRegister = 0x04FF;

// ---- the relay's stored protocols: 64 of each kind, newest first ----
inline constexpr int kProtocolCount = 64;
inline constexpr uint16_t kTripProtocols = 0x1000;
inline constexpr uint16_t kTripProtocolSize = 32;
inline constexpr uint16_t kInsulationProtocols = 0x3000;
inline constexpr uint16_t kInsulationProtocolSize = 8;

// Words of both protocol records: the stamp.
namespace protocol {
inline constexpr int kNumberAndMonth = 0;  // protocol number in the high byte, month in the low
inline constexpr int kDayAndHour = 1;
inline constexpr int kMinuteAndSecond = 2;
}  // namespace protocol

// Words of a trip protocol after the stamp.
namespace trip {
inline constexpr int kRemoteness = 3;
inline constexpr int kAlpha1 = 4;
inline constexpr int kAlpha2 = 5;
inline constexpr int kInsulationResistance = 6;
inline constexpr int kExcitationVoltage = 7;
inline constexpr int kInjectedVoltage = 8;
inline constexpr int kStatusRegister = 27;
inline constexpr int kSign = 31;  // what tripped: 0-4 a status bit, 54 a failure of the relay
}  // namespace trip

// Words of an insulation-change protocol after the stamp.
namespace insulation {
inline constexpr int kInitial = 3;
inline constexpr int kFinal = 4;
inline constexpr int kKind = 5;
}  // namespace insulation

// The protocol read for a number as typed: a number outside 1 to 64 (typed into a spin box before
// the box has limited it) reads the first, so a request never leaves the protocol area.
constexpr int protocolRead(int typed) {
    return typed >= 1 && typed <= kProtocolCount ? typed : 1;
}

constexpr uint16_t tripProtocolRegister(int typed) {
    return static_cast<uint16_t>(kTripProtocols + kTripProtocolSize * (protocolRead(typed) - 1));
}

constexpr uint16_t insulationProtocolRegister(int typed) {
    return static_cast<uint16_t>(kInsulationProtocols +
                                 kInsulationProtocolSize * (protocolRead(typed) - 1));
}

}  // namespace terval::registers
