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
    Split,      // the answer in pieces with a pause between them (parameter: milliseconds)
    Close,      // the TCP connection is closed instead of answering
    Double,     // the answer twice over in one write
    Foreign,    // the answer under another address (parameter: that address)
    Noise,      // a wrong CRC now and then (parameter: percent of answers); RTU
};
inline constexpr int kFaultKinds = 9;

inline constexpr int kDefaultSplitPieces = 2;
inline constexpr int kMaxSplitPieces = 16;

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
    int splitPieces = kDefaultSplitPieces;
    bool twice = false;
    uint8_t foreignAddress = 0;  // 0: none
    int noisePercent = 0;        // the chance of a wrong CRC, drawn by the simulator per answer

    bool any() const {
        return silent || close || badCrc || lateMs > 0 || exception != 0 || splitPauseMs || twice ||
               foreignAddress != 0 || noisePercent > 0;
    }
};

// The faults of one relay. Each is switched on either until it is switched off or for a number
// of requests to that relay; every request the relay receives counts, whatever else happens to
// it, so "the next K requests" means exactly that.
class FaultSet {
  public:
    // `pieces` only means something for Split.
    void switchOn(Fault fault, int parameter, std::optional<int> requests,
                  int pieces = kDefaultSplitPieces);
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
        int pieces = kDefaultSplitPieces;
        int remaining = -1;  // -1: until switched off
    };
    Setting& at(Fault fault) { return settings_[static_cast<size_t>(fault)]; }
    const Setting& at(Fault fault) const { return settings_[static_cast<size_t>(fault)]; }

    std::array<Setting, kFaultKinds> settings_{};
};

// How a fault that is on reads in replies and in status: "on", "700ms", "4", "50ms,3pieces",
// "25%". Without spaces, so that a status line stays a list of words.
std::string faultSettingText(Fault fault, int parameter, int pieces);

}  // namespace relaysim
