#include "poll/dispatcher.h"

#include "app/main_controller.h"
#include "app/station.h"
#include "poll/event_detection.h"

namespace terval {

void Dispatcher::Receive() {
    const ReceiveBuffer& rx = station_.receive;
    if (rx.at(1) == kReadHoldingRegisters) {
        const int count = rx.at(2) / 2;
        for (int i = 0; i < count; ++i) {
            station_.words[static_cast<size_t>(i)] =
                static_cast<uint16_t>(rx.at(3 + 2 * i) << 8 | rx.at(4 + 2 * i));
        }
    }
    const int polled = station_.poll.PolledDevice;
    if (polled >= 1 && polled <= station_.devices.DeviceCount) {
        ++station_.devices.entry(polled).GoodAnswers;
    }
    switch (station_.poll.PollPhase) {
        case kPhaseMain:
            ReceiveMain();
            break;
        case kPhaseCurParam:
            ReceiveCurParam();
            break;
        default:
            break;
    }
}

void Dispatcher::ReceiveMain() {
    PollState& poll = station_.poll;
    const int relay = poll.RoundRobinIndex;
    switch (poll.PollStep) {
        case kStepStatus:
            if (relay >= 1 && relay <= station_.devices.DeviceCount) {
                main_.setTileValue(relay, QString::number(station_.words[27]));
            }
            poll.PollStep = kStepNewestProtocol;
            break;
        case kStepNewestProtocol:
            if (!ProcessingInitProt(station_, main_)) {
                return;
            }
            poll.PollStep = kStepStatus;
            break;
        default:
            break;
    }
    if (poll.ParamWindowOpen) {
        poll.PollPhase = kPhaseCurParam;
        poll.PollStep = kStepSelectedStatus;
    }
}

int Dispatcher::stepAfterNewestProtocol() const {
    switch (station_.poll.activePage) {
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

void Dispatcher::ReceiveCurParam() {
    PollState& poll = station_.poll;
    const RegisterWords& words = station_.words;
    switch (poll.PollStep) {
        case kStepStatus:
            if (!poll.ParamWindowOpen) {
                poll.PollPhase = kPhaseMain;
            } else {
                poll.PollStep = poll.InitialRead ? kStepSelectedStatus : kStepNewestProtocol;
            }
            break;
        case kStepNewestProtocol:
            if (!ProcessingInitProt(station_, main_)) {
                return;
            }
            if (!poll.ParamWindowOpen) {
                poll.PollPhase = kPhaseMain;
            } else {
                poll.PollStep = poll.InitialRead ? kStepSelectedStatus : stepAfterNewestProtocol();
            }
            break;
        case kStepSelectedStatus:
            if (paramWindow_) {
                paramWindow_->showCurrentParameters(words);
            }
            poll.PollStep = poll.InitialRead ? kStepSetpoints : kStepStatus;
            break;
        case kStepSetpoints:
            if (paramWindow_) {
                paramWindow_->showSetpoints(words);
            }
            poll.PollStep = kStepPassword;
            break;
        case kStepPassword:
            if (paramWindow_) {
                paramWindow_->showPassword(words);
            }
            poll.PollStep = kStepMode;
            break;
        case kStepMode:
            if (paramWindow_) {
                paramWindow_->showMode(words);
            }
            poll.PollStep = poll.InitialRead ? kStepTripProtocol : kStepSelectedStatus;
            break;
        case kStepTripProtocol:
            if (paramWindow_) {
                paramWindow_->showTripProtocol(words);
            }
            poll.PollStep = poll.InitialRead ? kStepInsulationProtocol : kStepStatus;
            break;
        case kStepInsulationProtocol:
            if (paramWindow_) {
                paramWindow_->showInsulationProtocol(words);
            }
            poll.InitialRead = false;
            poll.PollStep = kStepStatus;
            break;
        case kStepWrite:
            ++poll.WriteRegister;
            ++poll.WriteIndex;
            poll.PollStep = poll.WriteIndex >= poll.WriteCount ? kStepSelectedStatus : kStepWrite;
            break;
        default:
            break;
    }
    if (poll.WriteRequest == kWriteQueued) {
        poll.PollStep = kStepWrite;
        poll.WriteIndex = 0;
    }
    poll.WriteRequest = kNoWrite;
}

}  // namespace terval
