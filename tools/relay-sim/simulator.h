#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "command.h"
#include "faults.h"
#include "relay.h"

namespace relaysim {

enum class LinkKind { Tcp, Rtu };

// A request as the relays see it, whatever line it came over.
struct Request {
    uint8_t unit = 0;  // RTU address or TCP unit identifier
    uint8_t function = 0;
    uint16_t address = 0;
    uint16_t countOrValue = 0;  // function 3: count; function 6: value
};

// What to do about one request.
struct Decision {
    enum class Action { Ignore, Answer, CloseConnection };
    Action action = Action::Ignore;
    std::string note;  // for the log: why nothing is sent, or what is sent

    uint8_t exception = 0;        // non-zero: an exception response with this code
    std::vector<uint16_t> words;  // the registers of a function-3 answer
    int delayMs = 0;
    bool badCrc = false;  // set by badcrc, or by noise on this answer
    bool noisy = false;   // noise hit this answer
    std::optional<int> splitPauseMs;
    int splitPieces = kDefaultSplitPieces;
    bool twice = false;
    uint8_t foreignAddress = 0;  // non-zero: the address or unit the answer carries instead
};

struct CommandResult {
    enum class Action { None, Quit, CloseConnections };
    Action action = Action::None;
    std::string reply;  // one line, "ok ..." or "error ..."
};

// The relays on one line, their faults and the event schedule. Knows nothing of sockets: the
// servers hand it requests and control commands and carry out its decisions.
class Simulator {
  public:
    // The relays' stored protocols end at `historyEnd`, or at `localNow` without one.
    Simulator(LinkKind link, const std::vector<uint8_t>& addresses, const CivilTime& localNow,
              TimePoint now, uint32_t seed, std::optional<CivilTime> historyEnd = std::nullopt);

    Decision handle(const Request& request, TimePoint now);
    CommandResult execute(const Command& command, TimePoint now);

    // New trip events at a fixed period, on one relay or on one drawn at random each time.
    void scheduleEvents(double seconds, std::optional<uint8_t> relay, TimePoint now);
    std::optional<TimePoint> nextEventDue() const { return nextEvent_; }
    // Makes the events that are due and says what was made.
    std::vector<std::string> runDueEvents(TimePoint now);

    // The insulation of one relay or of all drifting (both numbers 0: the drift off). Says who
    // drifts how, as a reply does.
    std::string setDrift(const Target& target, double kohmPerHour, double noiseKohm, TimePoint now);

    Relay* relay(uint8_t address);
    const std::vector<uint8_t>& addresses() const { return addresses_; }
    LinkKind link() const { return link_; }

  private:
    struct RelayState {
        std::unique_ptr<Relay> relay;
        FaultSet faults;
        uint64_t requests = 0;
        uint64_t answers = 0;
        // Each relay draws its noise from its own stream of the seed, so what one relay's
        // answers suffer does not depend on how the station interleaves its polls of the others.
        std::mt19937 noise;
    };

    RelayState* state(uint8_t address);
    std::string addressList(const char* separator) const;
    uint8_t pick(const Target& target);
    std::string makeEvent(uint8_t address, std::optional<uint16_t> sign, TimePoint now);
    CommandResult setFault(const Command& c);

    LinkKind link_;
    std::vector<uint8_t> addresses_;
    std::map<uint8_t, RelayState> relays_;
    std::mt19937 rng_;
    std::optional<TimePoint> nextEvent_;
    std::chrono::milliseconds eventPeriod_{0};
    std::optional<uint8_t> eventRelay_;
};

// "0x0100" and "07/12 14:05:09": how registers and protocol times are written in replies and logs.
std::string hex16(uint16_t value);
std::string stampText(const EventStamp& at);

}  // namespace relaysim
