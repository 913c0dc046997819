#pragma once

#include <QString>
#include <cstdint>
#include <optional>

namespace terval {

// A register value carrying `decimals` digits after the point, as the operator reads it: "." is
// the separator whatever the machine's locale, so that values read the same on every station.
QString ValueToText(uint16_t value, uint16_t decimals);

// The inverse for typed text: the digits after the point set the scale (12.5 is 125, 12.50 is
// 1250), and the arithmetic wraps at 16 bits as the register does. Nothing when a part that must
// be a number is not one (".5", "1.2.3", "1a").
std::optional<uint16_t> TextToValue(const QString& text);

}  // namespace terval
