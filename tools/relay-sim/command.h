#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "faults.h"

namespace relaysim {

// Which relay a command is for.
struct Target {
    enum class Kind { One, All, Any };
    Kind kind = Kind::One;
    uint8_t address = 0;
};

enum class Verb {
    Event,     // event RELAY|any [SIGN]
    Change,    // change RELAY|any down|up
    SetFault,  // silent|late|badcrc|exception|split|close|double|foreign|noise RELAY|all ...
    Clear,     // clear RELAY|all
    Set,       // set RELAY REG VALUE
    Unset,     // unset RELAY REG
    Get,       // get RELAY REG [COUNT]
    Every,     // every SECONDS [RELAY|any] | every off
    Drift,     // drift RELAY|all SLOPE [NOISE] | drift RELAY|all off
    Drop,      // drop RELAY|any KOHM
    Status,    // status [RELAY]
    Relays,    // relays
    CloseNow,  // close
    Help,      // help
    Quit,      // quit
};

struct Command {
    Verb verb = Verb::Help;
    std::optional<Target> target;

    // SetFault
    Fault fault = Fault::Silent;
    bool on = false;
    std::optional<int> requests;  // switched on for this many requests; none: until off
    // late, split: milliseconds; exception: code; noise: percent; foreign: the address to
    // answer under, 0 for each relay's next one
    int parameter = 0;
    int pieces = kDefaultSplitPieces;  // split

    // Set, Unset, Get
    uint16_t reg = 0;
    uint16_t value = 0;
    uint16_t count = 1;

    // Event, Change
    std::optional<uint16_t> sign;
    bool decrease = true;

    // Every: 0 switches the schedule off
    double seconds = 0;

    // Drift (on: false for "off"); Drop takes its resistance in `value`
    double kohmPerHour = 0;
    double noiseKohm = 0;
};

// The limits of a drift, in the units the commands and options take them.
inline constexpr double kMaxDriftPerHour = 1000000;  // kΩ per hour either way
inline constexpr double kMaxDriftNoise = 65535;      // kΩ

struct ParsedLine {
    enum class Kind { Blank, Command, Error };
    Kind kind = Kind::Blank;
    Command command;
    std::string error;  // without the leading "error "
};

// One line of the control channel. Blank lines and lines starting with '#' are Blank.
ParsedLine parseCommand(std::string_view line);

// One line naming every command, for "help".
std::string commandSummary();

// Numbers as people type them: decimal or 0x-prefixed hexadecimal.
std::optional<uint32_t> parseNumber(std::string_view text, uint32_t max);
// A decimal fraction with an optional sign ("-2.5", "+40", "0"), within [min, max].
std::optional<double> parseDecimal(std::string_view text, double min, double max);
// "-2.5", "40": a drift's numbers as replies and status write them.
std::string decimalText(double value);

}  // namespace relaysim
