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
// Writes that may wait for their turn behind the one under way. An operator does not type faster
// than a slow relay echoes by more than this; one more is refused and he is told.
inline constexpr int kMaxQueuedWrites = 8;

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

// Silent ticks after which a request has timed out, and the ticks after which it ends however
// many bytes keep arriving for it.
inline constexpr uint16_t kSilentTicksAllowed = 5;
inline constexpr uint16_t kLongestRequestTicks = 20;
// At the pace of the line, a request ends after this many of its silent waits however many bytes
// keep arriving for it, as the ticks above allow four times the silence.
inline constexpr int kLongestWaits = 4;
// Broken frames in a row from one relay after which its request is given up as unanswered.
inline constexpr int kBadFramesAllowed = 3;

// When the poll machine sends: on the 100 ms tick (every other tick at most), or as soon as the
// line allows after the answer in flight is settled.
enum class PollPace { Tick, Wire };

// How the poll is paced, as the operator chose it; the margins and the pause only matter at the
// pace of the line.
struct PollPacing {
    PollPace pace = PollPace::Tick;
    // Added to the time a serial answer takes on the wire before it is given up: the relay's own
    // turnaround and the port driver's latency.
    int serialMarginMs = 50;
    // How long a TCP gateway may take to answer; there is no wire time to compute.
    int tcpMarginMs = 300;
    // The pause after each TCP answer, so that a gateway that answers at once is not asked
    // thousands of times a second.
    int tcpPauseMs = 20;
    bool operator==(const PollPacing&) const = default;
};
inline constexpr int kLeastMarginMs = 5;
inline constexpr int kMostMarginMs = 5000;
inline constexpr int kMostTcpPauseMs = 1000;

// A run of consecutive registers to write, one function-6 request each.
struct RegisterWrite {
    uint16_t firstRegister = 0;
    uint16_t count = 0;
    std::array<uint16_t, kMaxWriteValues> values{};
};

// The scheduler's state: one instance for the whole run. Only the scheduler changes it, through
// its event methods; everyone else reads it here.
class PollState {
  public:
    int32_t PollPhase() const { return PollPhase_; }
    int32_t PollStep() const { return PollStep_; }
    bool ReadyToSend() const { return ReadyToSend_; }
    uint16_t TickCounter() const { return TickCounter_; }
    uint16_t ConsecutiveTimeouts() const { return ConsecutiveTimeouts_; }
    bool CloseRequested() const { return CloseRequested_; }
    uint8_t RoundRobinIndex() const { return RoundRobinIndex_; }
    uint8_t PolledDevice() const { return PolledDevice_; }
    bool ParamWindowOpen() const { return ParamWindowOpen_; }
    bool InitialRead() const { return InitialRead_; }
    // kWriteQueued while a write waits for its send point, kNoWrite otherwise.
    int32_t WriteRequest() const { return WriteRequest_; }
    // The write being sent: the register of the value to go next, and how far it has come.
    uint16_t WriteRegister() const { return WriteRegister_; }
    uint16_t WriteCount() const { return WriteCount_; }
    uint16_t WriteIndex() const { return WriteIndex_; }
    const std::array<uint16_t, kMaxWriteValues>& WriteValues() const { return WriteValues_; }
    // The writes waiting, each with its own registers and values, in the order they were asked
    // for: number 0 goes out next, once the write under way has ended.
    int queuedWriteCount() const { return queuedCount_; }
    const RegisterWrite& queuedWrite(int k = 0) const {
        return queue_[static_cast<size_t>((queueHead_ + k) % kMaxQueuedWrites)];
    }

    // What the parameter window shows: its active page and the protocol numbers as typed.
    int activePage() const { return activePage_; }
    int tripProtocolNumber() const { return tripProtocolNumber_; }
    int insulationProtocolNumber() const { return insulationProtocolNumber_; }

    // A request has gone out and has not been settled by its answer or its end.
    bool awaitingAnswer() const { return !ReadyToSend_; }
    // The request in flight has been counted already, good or bad: each request is counted once.
    bool requestCounted() const { return requestCounted_; }

  private:
    friend class Scheduler;

    int32_t PollPhase_ = kPhaseMain;
    int32_t PollStep_ = kStepStatus;
    bool ReadyToSend_ = false;
    uint16_t TickCounter_ = 0;
    uint16_t ConsecutiveTimeouts_ = 0;
    bool CloseRequested_ = false;
    uint8_t RoundRobinIndex_ = 0;
    uint8_t PolledDevice_ = 0;
    bool ParamWindowOpen_ = false;
    bool InitialRead_ = false;
    int32_t WriteRequest_ = kNoWrite;
    uint16_t WriteRegister_ = 0;
    uint16_t WriteCount_ = 0;
    uint16_t WriteIndex_ = 0;
    std::array<uint16_t, kMaxWriteValues> WriteValues_{};
    std::array<RegisterWrite, kMaxQueuedWrites> queue_{};
    int queueHead_ = 0;
    int queuedCount_ = 0;

    int activePage_ = kNoPage;
    int tripProtocolNumber_ = 1;
    int insulationProtocolNumber_ = 1;

    bool requestCounted_ = false;
    uint16_t ticksSinceSent_ = 0;
    // Broken frames in a row, per relay (index = relay number).
    std::array<uint8_t, 33> badFramesInRow_{};
};

// The words of the last read answer; word i is register (start + i). Room for the most that a
// one-byte byte count can describe.
using RegisterWords = std::array<uint16_t, 127>;

}  // namespace terval
