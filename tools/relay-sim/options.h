#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simulator.h"

namespace relaysim {

// A relay drifting from the start: --drift RELAY:SLOPE[:NOISE].
struct DriftOption {
    std::optional<uint8_t> relay;  // none: all relays
    double kohmPerHour = 0;
    double noiseKohm = 0;
};

struct Options {
    LinkKind link = LinkKind::Tcp;
    std::string host;
    uint16_t port = 0;
    bool anyHost = false;
    std::string ttyPath;
    int baud = 38400;
    char parity = 'N';
    int stopBits = 1;
    std::vector<uint8_t> relays{1};
    std::optional<double> eventEvery;
    std::optional<uint8_t> eventRelay;  // none: a relay drawn at random each time
    std::optional<uint32_t> seed;
    std::vector<DriftOption> drifts;  // in the order given: a later one for a relay wins
    // The local time the stored protocols end at, instead of the start.
    std::optional<CivilTime> historyEnd;
    std::string controlPath;
    bool readStdin = true;
    bool log = false;
    bool help = false;
};

struct ParsedOptions {
    Options options;
    std::string error;  // empty when the arguments are good
};

// The arguments after the program name.
ParsedOptions parseOptions(const std::vector<std::string>& args);

// "1,2,3", "1-5", "1-3,7": sorted, each address once.
std::optional<std::vector<uint8_t>> parseRelayList(const std::string& text, std::string& error);

// True when every address the name stands for is a loopback address.
bool isLoopbackHost(const std::string& host);

// "2026-12-07 14:05:09" or "2026-12-07T14:05" (seconds 0), a real date of 2000..2099.
std::optional<CivilTime> parseLocalTime(const std::string& text);

std::string usageText();

}  // namespace relaysim
