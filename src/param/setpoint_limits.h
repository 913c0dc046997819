#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <optional>

#include "modbus/register_map.h"

namespace terval {

// The range a setpoint register accepts, and how many digits after the point its value carries.
struct SetpointLimit {
    uint16_t Min;
    uint16_t Max;
    uint8_t Decimals;
};

inline constexpr int kSetpointLimitCount = 48;
// The relay's password register sits past the setpoint block and has no entry of its own.
inline constexpr int kPasswordSetpoint = registers::kPasswordRegister - registers::kSetpointBlock;

extern const std::array<SetpointLimit, kSetpointLimitCount> SetpointLimits;

// The limits of setpoint number n: the table for 0 to 47, the whole 16-bit range for the password,
// nothing for any other number.
std::optional<SetpointLimit> setpointLimit(int n);

// The setpoint number a panel edits: the decimal number after the first six characters of its
// name (PanUst12 edits 12, PanPar33 edits 33). Nothing when that is not a number.
std::optional<int> setpointNumber(const QString& panelName);

// The register a setpoint is written to.
constexpr uint16_t setpointRegister(int n) {
    return static_cast<uint16_t>(registers::kSetpointBlock + n);
}

// The panels of the setpoint and settings pages that the operator edits in place.
const std::array<const char*, 30>& editablePanelNames();
bool isEditablePanel(const QString& panelName);

}  // namespace terval
