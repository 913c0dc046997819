#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace relaysim {

// Ways a relay can be told to misbehave, for tests of the station's error handling.
enum class Fault {
    Silent,     // no answer at all
    Late,       // the answer after a delay (parameter: milliseconds)
    BadCrc,     // the answer with a wrong CRC (RTU)
    Exception,  // an exception response instead of the answer (parameter: exception code)
    Split,      // the answer in two pieces with a pause between them (parameter: milliseconds)
    Close,      // the TCP connection is closed instead of answering
};
inline constexpr int kFaultKinds = 6;

const char* faultName(Fault fault);
std::optional<Fault> faultFromName(const std::string& name);

// What the faults make of one request.
struct AppliedFaults {
    bool silent = false;
    bool close = false;
    bool badCrc = false;
    int lateMs = 0;
    uint8_t exception = 0;  // 0: none
    std::optional<int> splitPauseMs;

    bool any() const {
        return silent || close || badCrc || lateMs > 0 || exception != 0 || splitPauseMs;
    }
};

// The faults of one relay. Each is switched on either until it is switched off or for a number
// of requests to that relay; every request the relay receives counts, whatever else happens to
// it, so "the next K requests" means exactly that.
class FaultSet {
  public:
    void switchOn(Fault fault, int parameter, std::optional<int> requests);
    void switchOff(Fault fault);
    void clear();
    bool active(Fault fault) const;

    AppliedFaults takeForRequest();

    // "silent=on late=700ms(3 left) ..." or "none".
    std::string describe() const;

  private:
    struct Setting {
        bool on = false;
        int parameter = 0;
        int remaining = -1;  // -1: until switched off
    };
    Setting& at(Fault fault) { return settings_[static_cast<size_t>(fault)]; }
    const Setting& at(Fault fault) const { return settings_[static_cast<size_t>(fault)]; }

    std::array<Setting, kFaultKinds> settings_{};
};

}  // namespace relaysim
