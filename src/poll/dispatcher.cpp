#include "poll/dispatcher.h"

#include "modbus/register_map.h"
#include "poll/event_detection.h"
#include "poll/scheduler.h"
#include "station/clock.h"
#include "station/station.h"
#include "station/station_display.h"

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
    // Every status block that belongs to its request is a reading of the relay's insulation,
    // whichever step asked for it.
    const RequestFrame& request = station_.request;
    if (rx.at(1) == kReadHoldingRegisters && request.registerAddress() == registers::kStatusBlock &&
        request.countOrValue() == registers::kStatusCount) {
        station_.journal.insulationRead(station_.poll.PolledDevice(),
                                        station_.words[registers::status::kInsulationResistance],
                                        station_.words[registers::status::kControlResistance]);
    }
    bool used = false;
    switch (station_.poll.PollPhase()) {
        case kPhaseMain:
            used = ReceiveMain();
            break;
        case kPhaseCurParam:
            used = ReceiveCurParam();
            break;
        default:
            break;
    }
    if (used) {
        scheduler_.stepAnswered();
    }
}

bool Dispatcher::ReceiveMain() {
    const PollState& poll = station_.poll;
    const int relay = poll.RoundRobinIndex();
    switch (poll.PollStep()) {
        case kStepStatus:
            if (relay >= 1 && relay <= station_.devices.DeviceCount) {
                display_.setTileValue(
                    relay,
                    QString::number(station_.words[registers::status::kInsulationResistance]));
            }
            return true;
        case kStepNewestProtocol:
            return ProcessingInitProt(station_, display_, clock_.now(), locale_);
        default:
            return true;
    }
}

bool Dispatcher::ReceiveCurParam() {
    const RegisterWords& words = station_.words;
    const auto show = [this, &words](void (ParamWindowDecoder::*page)(const RegisterWords&)) {
        if (paramWindow_) {
            (paramWindow_->*page)(words);
        }
        return true;
    };
    switch (station_.poll.PollStep()) {
        case kStepNewestProtocol:
            return ProcessingInitProt(station_, display_, clock_.now(), locale_);
        case kStepSelectedStatus:
            return show(&ParamWindowDecoder::showCurrentParameters);
        case kStepSetpoints:
            return show(&ParamWindowDecoder::showSetpoints);
        case kStepPassword:
            return show(&ParamWindowDecoder::showPassword);
        case kStepMode:
            return show(&ParamWindowDecoder::showMode);
        case kStepTripProtocol:
            return show(&ParamWindowDecoder::showTripProtocol);
        case kStepInsulationProtocol:
            return show(&ParamWindowDecoder::showInsulationProtocol);
        default:
            // The background status block shows nothing while the window is open; a write echo
            // carries no words.
            return true;
    }
}

}  // namespace terval
