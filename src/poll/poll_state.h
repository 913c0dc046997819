#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace terval {

enum PollPhaseValue : int32_t {
    kPhaseMain = -1,     // round robin over all relays
    kPhaseCurParam = 0,  // the parameter window's relay interleaved with the round robin
};

inline constexpr int32_t kNoWrite = -1;
inline constexpr int32_t kWriteQueued = 8;
inline constexpr int kMaxWriteValues = 8;

// Poll steps, the same numbers in both phases where they mean the same request.
enum PollStepValue : int32_t {
    kStepStatus = 0,              // 0x0100 x 48 of the next round robin relay
    kStepNewestProtocol = 1,      // 0x1000 x 32 of the same relay
    kStepSelectedStatus = 2,      // 0x0100 x 48 of the selected relay
    kStepSetpoints = 3,           // 0x0400 x 64
    kStepPassword = 4,            // 0x047F x 1
    kStepMode = 5,                // 0x04FF x 1
    kStepTripProtocol = 6,        // trip protocol n
    kStepInsulationProtocol = 7,  // insulation-change protocol n
    kStepWrite = 8,               // one register of a queued write, function 6
};

// Pages of the parameter window, as the scheduler chooses what to read next.
enum ParamPage : int {
    kNoPage = -1,
    kPageCurrent = 0,
    kPageSetpoints = 1,
    kPageSettings = 2,
    kPageTripProtocols = 3,
    kPageInsulationProtocols = 4,
};

// The scheduler's state: one instance for the whole run, shared with the links and the dispatcher
// that move it on.
struct PollState {
    int32_t PollPhase = kPhaseMain;
    int32_t PollStep = kStepStatus;
    bool ReadyToSend = false;
    uint16_t TickCounter = 0;
    uint16_t ConsecutiveTimeouts = 0;
    bool CloseRequested = false;
    uint8_t RoundRobinIndex = 0;
    uint8_t PolledDevice = 0;
    bool ParamWindowOpen = false;
    bool InitialRead = false;
    int32_t WriteRequest = kNoWrite;
    uint16_t WriteRegister = 0;
    uint16_t WriteCount = 0;
    uint16_t WriteIndex = 0;
    std::array<uint16_t, kMaxWriteValues> WriteValues{};

    // What the parameter window shows: its active page and the protocol numbers as typed.
    int activePage = kNoPage;
    int tripProtocolNumber = 1;
    int insulationProtocolNumber = 1;

    // Queues a write of consecutive registers; it goes out at the next send point of the
    // parameter window's phase.
    bool queueWrite(uint16_t firstRegister, const uint16_t* values, int count);
};

// The words of the last read answer; word i is register (start + i). Room for the most that a
// one-byte byte count can describe.
using RegisterWords = std::array<uint16_t, 127>;

}  // namespace terval
