#include "poll/scheduler.h"

#include "modbus/register_map.h"
#include "station/main_view.h"
#include "station/station.h"
#include "station/station_display.h"

namespace terval {

using namespace registers;

const PollState& Scheduler::state() const {
    return station_.poll;
}

PollState& Scheduler::poll() {
    return station_.poll;
}

void Scheduler::buildRead(int relay, uint16_t firstRegister, uint16_t count) {
    poll().PolledDevice_ = static_cast<uint8_t>(relay);
    const uint8_t address = static_cast<uint8_t>(station_.devices.entry(relay).Address & 0xFF);
    station_.request.buildRead(address, firstRegister, count);
}

void Scheduler::buildStatusOfNextRelay() {
    PollState& p = poll();
    ++p.RoundRobinIndex_;
    if (p.RoundRobinIndex_ > station_.devices.DeviceCount) {
        p.RoundRobinIndex_ = 1;
    }
    buildRead(p.RoundRobinIndex_, kStatusBlock, kStatusCount);
}

void Scheduler::buildWrite() {
    PollState& p = poll();
    const int relay = station_.devices.SelectedDevice;
    p.PolledDevice_ = static_cast<uint8_t>(relay);
    const uint8_t address = static_cast<uint8_t>(station_.devices.entry(relay).Address & 0xFF);
    station_.request.buildWrite(address, p.WriteRegister_,
                                p.WriteValues_[p.WriteIndex_ % kMaxWriteValues]);
}

// The queued write becomes the one under way. It is a copy: a write queued after this one can
// never move the registers of this one, nor this one's echoes those of the next.
void Scheduler::takeQueuedWrite() {
    PollState& p = poll();
    // Replaced before its end: what went out of it was never all confirmed.
    endRunningWrite(p.WriteIndex_ > 0 ? WriteOutcome::NoEcho : WriteOutcome::NotSent);
    runningNote_ = std::move(queuedNote_);
    queuedNote_.reset();
    if (!runningNote_) {
        runningNote_ = WriteNote{station_.devices.SelectedDevice, {}, {}, {}, {}, false, {}, {}};
    }
    p.WriteRequest_ = kNoWrite;
    p.WriteRegister_ = p.queued_.firstRegister;
    p.WriteCount_ = p.queued_.count;
    p.WriteValues_ = p.queued_.values;
    p.WriteIndex_ = 0;
    p.PollStep_ = kStepWrite;
}

void Scheduler::TimersMain() {
    switch (poll().PollStep_) {
        case kStepStatus:
            buildStatusOfNextRelay();
            break;
        case kStepNewestProtocol:
            buildRead(poll().RoundRobinIndex_, kTripProtocols, kTripProtocolSize);
            break;
        default:
            break;
    }
}

void Scheduler::TimersCurParam() {
    PollState& p = poll();
    const int selected = station_.devices.SelectedDevice;
    const bool haveSelected = station_.devices.hasSelection();
    // A queued write goes out in place of the request due. It is taken before that request is
    // built, so a background relay whose turn it was keeps its turn.
    if (p.WriteRequest_ == kWriteQueued) {
        if (haveSelected) {
            takeQueuedWrite();
            buildWrite();
            return;
        }
        dropQueuedWrite();
    }
    switch (p.PollStep_) {
        case kStepStatus:
        case kStepNewestProtocol:
            // The background relays are read as in the round robin of the main phase.
            TimersMain();
            break;
        case kStepSelectedStatus:
            if (haveSelected)
                buildRead(selected, kStatusBlock, kStatusCount);
            break;
        case kStepSetpoints:
            if (haveSelected)
                buildRead(selected, kSetpointBlock, kSetpointCount);
            break;
        case kStepPassword:
            if (haveSelected)
                buildRead(selected, kPasswordRegister, 1);
            break;
        case kStepMode:
            if (haveSelected)
                buildRead(selected, kModeRegister, 1);
            break;
        case kStepTripProtocol:
            if (haveSelected) {
                buildRead(selected, tripProtocolRegister(p.tripProtocolNumber_), kTripProtocolSize);
            }
            break;
        case kStepInsulationProtocol:
            if (haveSelected) {
                buildRead(selected, insulationProtocolRegister(p.insulationProtocolNumber_),
                          kInsulationProtocolSize);
            }
            break;
        case kStepWrite:
            if (haveSelected)
                buildWrite();
            break;
        default:
            break;
    }
    if (p.PollStep_ == kStepStatus) {
        p.PollPhase_ = p.ParamWindowOpen_ ? kPhaseCurParam : kPhaseMain;
    }
}

void Scheduler::Timers() {
    PollState& p = poll();
    DeviceTable& table = station_.devices;
    if (table.SelectedDevice > 0 && table.hasSelection()) {
        display_.EnableMenu(station_.tile(table.SelectedDevice).state != kTileNoAnswer
                                ? menu_masks::kPollingAnswering
                                : menu_masks::kLinkUpSilent);
    }
    view_.setLed(MainView::Led::RxD, false);
    view_.setLed(MainView::Led::TxD, false);

    ++p.TickCounter_;
    if (p.ReadyToSend_) {
        if (p.TickCounter_ <= 1) {
            return;
        }
        // Nothing to poll in an empty table; the link menu is not offered then anyway.
        if (table.DeviceCount == 0 && !p.CloseRequested_) {
            return;
        }
        if (p.PollPhase_ == kPhaseMain) {
            TimersMain();
        } else if (p.PollPhase_ == kPhaseCurParam) {
            TimersCurParam();
        }
        if (p.CloseRequested_) {
            link_->CloseConnect();
            return;
        }
        p.ReadyToSend_ = false;
        p.requestCounted_ = false;
        p.ticksSinceSent_ = 0;
        station_.receive.clear();
        p.TickCounter_ = 0;
        if (p.PolledDevice_ >= 1 && p.PolledDevice_ <= table.DeviceCount) {
            ++table.entry(p.PolledDevice_).RequestsSent;
        }
        view_.setLed(MainView::Led::TxD, true);
        link_->sendRequest();
        return;
    }
    // Bytes restart the silence, but a stream of them never holds the round for long.
    ++p.ticksSinceSent_;
    if (p.TickCounter_ <= kSilentTicksAllowed && p.ticksSinceSent_ < kLongestRequestTicks) {
        return;
    }
    endUnanswered();
    ++p.ConsecutiveTimeouts_;
}

void Scheduler::countAnswer(bool good) {
    PollState& p = poll();
    if (p.requestCounted_) {
        return;
    }
    p.requestCounted_ = true;
    const int polled = p.PolledDevice_;
    if (polled >= 1 && polled <= station_.devices.DeviceCount) {
        DeviceEntry& e = station_.devices.entry(polled);
        ++(good ? e.GoodAnswers : e.BadAnswers);
    }
}

void Scheduler::endUnanswered() {
    PollState& p = poll();
    if (p.PollStep_ == kStepWrite) {
        endRunningWrite(WriteOutcome::NoEcho);
    }
    if (p.ParamWindowOpen_) {
        p.PollPhase_ = kPhaseCurParam;
        p.PollStep_ = kStepSelectedStatus;
    } else {
        p.PollStep_ = kStepStatus;
    }
    p.ReadyToSend_ = true;
    countAnswer(false);
    const int polled = p.PolledDevice_;
    if (polled >= 1 && polled <= station_.devices.DeviceCount) {
        p.badFramesInRow_[static_cast<size_t>(polled)] = 0;
        if (station_.tile(polled).state != kTileNoAnswer) {
            display_.setTileState(polled, kTileNoAnswer);
            station_.journal.relaySilent(polled);
        }
    }
}

// ---- the link ----

void Scheduler::linkStarting() {
    PollState& p = poll();
    p.ConsecutiveTimeouts_ = 0;
    p.CloseRequested_ = false;
    p.ReadyToSend_ = true;
    // The operator's connection starts the round with relay 1.
    p.RoundRobinIndex_ = 0;
}

void Scheduler::linkOpened(bool tcp) {
    PollState& p = poll();
    // A request sent on the connection that was dropped has had its only chance.
    if (p.awaitingAnswer()) {
        countAnswer(false);
    }
    if (p.PollStep_ == kStepWrite) {
        endRunningWrite(WriteOutcome::NoEcho);
    }
    p.PollPhase_ = kPhaseMain;
    // A step of the parameter window's phase left over from an earlier link would never be built
    // again in the round robin.
    p.PollStep_ = kStepStatus;
    p.CloseRequested_ = false;
    p.ReadyToSend_ = true;
    // A connection made again goes on with the relay after the one asked last: a relay whose
    // requests make a gateway drop the connection would otherwise starve every relay after it.
    if (tcp) {
        p.TickCounter_ = 0;
    }
}

void Scheduler::requestClose() {
    poll().CloseRequested_ = true;
}

void Scheduler::reconnecting() {
    poll().ConsecutiveTimeouts_ = 0;
}

void Scheduler::requestNotSent() {
    PollState& p = poll();
    if (p.PollStep_ == kStepStatus && p.RoundRobinIndex_ > 0) {
        --p.RoundRobinIndex_;
    }
}

void Scheduler::bytesArrived() {
    if (poll().awaitingAnswer()) {
        poll().TickCounter_ = 0;
    }
}

// ---- answers ----

void Scheduler::answerMatched() {
    PollState& p = poll();
    countAnswer(true);
    p.ReadyToSend_ = true;
    p.ConsecutiveTimeouts_ = 0;
    const int polled = p.PolledDevice_;
    if (polled >= 1 && polled <= kMaxDevices) {
        p.badFramesInRow_[static_cast<size_t>(polled)] = 0;
    }
}

void Scheduler::answerForeign() {
    countAnswer(false);
    // Something answers on the connection, so dropping it would not help.
    poll().ConsecutiveTimeouts_ = 0;
}

bool Scheduler::answerRefused(uint8_t exceptionCode) {
    const bool write = poll().PollStep_ == kStepWrite;
    if (write) {
        endRunningWrite(WriteOutcome::Refused, exceptionCode);
    }
    poll().ConsecutiveTimeouts_ = 0;
    endUnanswered();
    return write;
}

void Scheduler::answerBroken() {
    PollState& p = poll();
    const int polled = p.PolledDevice_;
    countAnswer(false);
    if (polled >= 1 && polled <= kMaxDevices &&
        ++p.badFramesInRow_[static_cast<size_t>(polled)] >= kBadFramesAllowed) {
        endUnanswered();
        return;
    }
    p.ReadyToSend_ = true;
}

int Scheduler::stepAfterNewestProtocol() const {
    switch (state().activePage()) {
        case kPageSetpoints:
        case kPageSettings:
            return kStepSetpoints;
        case kPageTripProtocols:
            return kStepTripProtocol;
        case kPageInsulationProtocols:
            return kStepInsulationProtocol;
        case kPageCurrent:
            return kStepSelectedStatus;
        default:
            // No page chosen yet: nothing of the selected relay, only the background relays.
            return kStepStatus;
    }
}

void Scheduler::stepAnswered() {
    PollState& p = poll();
    if (p.PollPhase_ == kPhaseMain) {
        if (p.PollStep_ == kStepStatus) {
            p.PollStep_ = kStepNewestProtocol;
        } else if (p.PollStep_ == kStepNewestProtocol) {
            p.PollStep_ = kStepStatus;
        }
        if (p.ParamWindowOpen_) {
            p.PollPhase_ = kPhaseCurParam;
            p.PollStep_ = kStepSelectedStatus;
        }
        return;
    }
    if (p.PollPhase_ != kPhaseCurParam) {
        return;
    }
    const bool initial = p.InitialRead_;
    switch (p.PollStep_) {
        case kStepStatus:
            if (!p.ParamWindowOpen_) {
                p.PollPhase_ = kPhaseMain;
            } else {
                p.PollStep_ = initial ? kStepSelectedStatus : kStepNewestProtocol;
            }
            break;
        case kStepNewestProtocol:
            if (!p.ParamWindowOpen_) {
                p.PollPhase_ = kPhaseMain;
            } else {
                p.PollStep_ = initial ? kStepSelectedStatus : stepAfterNewestProtocol();
            }
            break;
        case kStepSelectedStatus:
            p.PollStep_ = initial ? kStepSetpoints : kStepStatus;
            break;
        case kStepSetpoints:
            p.PollStep_ = kStepPassword;
            break;
        case kStepPassword:
            p.PollStep_ = kStepMode;
            break;
        case kStepMode:
            p.PollStep_ = initial ? kStepTripProtocol : kStepSelectedStatus;
            break;
        case kStepTripProtocol:
            p.PollStep_ = initial ? kStepInsulationProtocol : kStepStatus;
            break;
        case kStepInsulationProtocol:
            p.InitialRead_ = false;
            p.PollStep_ = kStepStatus;
            break;
        case kStepWrite:
            ++p.WriteRegister_;
            ++p.WriteIndex_;
            if (p.WriteIndex_ >= p.WriteCount_) {
                endRunningWrite(WriteOutcome::Echoed);
                p.PollStep_ = kStepSelectedStatus;
            }
            break;
        default:
            break;
    }
    if (p.PollPhase_ == kPhaseCurParam && p.WriteRequest_ == kWriteQueued &&
        station_.devices.hasSelection()) {
        takeQueuedWrite();
    }
}

// ---- the parameter window ----

void Scheduler::windowOpened() {
    poll().ParamWindowOpen_ = true;
    poll().InitialRead_ = true;
    // A value asked for in an earlier opening, never sent, would land long after the operator
    // stopped expecting it.
    dropQueuedWrite();
}

void Scheduler::windowClosed() {
    poll().ParamWindowOpen_ = false;
}

void Scheduler::pageChosen(int page) {
    poll().activePage_ = page;
}

void Scheduler::tripProtocolChosen(int number) {
    poll().tripProtocolNumber_ = number;
}

void Scheduler::insulationProtocolChosen(int number) {
    poll().insulationProtocolNumber_ = number;
}

bool Scheduler::queueWrite(uint16_t firstRegister, const uint16_t* values, int count,
                           WriteNote note) {
    if (count < 1 || count > kMaxWriteValues) {
        return false;
    }
    PollState& p = poll();
    dropQueuedWrite();
    if (note.relay == 0) {
        note.relay = station_.devices.SelectedDevice;
    }
    queuedNote_ = std::move(note);
    p.queued_.firstRegister = firstRegister;
    p.queued_.count = static_cast<uint16_t>(count);
    for (int i = 0; i < count; ++i) {
        p.queued_.values[static_cast<size_t>(i)] = values[i];
    }
    p.WriteRequest_ = kWriteQueued;
    return true;
}

}  // namespace terval

namespace terval {

void Scheduler::endRunningWrite(WriteOutcome outcome, uint8_t exceptionCode) {
    if (!runningNote_) {
        return;
    }
    const PollState& p = poll();
    const WriteNote note = std::move(*runningNote_);
    runningNote_.reset();
    station_.journal.writeEnded(note, static_cast<uint16_t>(p.WriteRegister_ - p.WriteIndex_),
                                p.WriteValues_[0], outcome, exceptionCode);
}

void Scheduler::dropQueuedWrite() {
    PollState& p = poll();
    if (p.WriteRequest_ == kWriteQueued && queuedNote_) {
        station_.journal.writeEnded(*queuedNote_, p.queued_.firstRegister, p.queued_.values[0],
                                    WriteOutcome::NotSent);
    }
    queuedNote_.reset();
    p.WriteRequest_ = kNoWrite;
}

void Scheduler::abandonWrites() {
    PollState& p = poll();
    if (p.PollStep_ == kStepWrite) {
        endRunningWrite(p.WriteIndex_ > 0 || p.awaitingAnswer() ? WriteOutcome::NoEcho
                                                                : WriteOutcome::NotSent);
    }
    runningNote_.reset();
    if (p.WriteRequest_ == kWriteQueued && queuedNote_) {
        station_.journal.writeEnded(*queuedNote_, p.queued_.firstRegister, p.queued_.values[0],
                                    WriteOutcome::NotSent);
    }
    queuedNote_.reset();
}

}  // namespace terval
