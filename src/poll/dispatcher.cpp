#include "poll/dispatcher.h"

#include <algorithm>

#include "modbus/answer_framer.h"
#include "modbus/register_map.h"
#include "poll/event_detection.h"
#include "poll/scheduler.h"
#include "station/clock.h"
#include "station/station.h"
#include "station/station_display.h"

namespace terval {

namespace {

// The registers a read answer carries, word i the request's first register + i.
RegisterWords wordsOf(const Answer& answer) {
    RegisterWords words{};
    if (answer.function() != kReadHoldingRegisters) {
        return words;
    }
    const int count = std::min<int>(
        {answer.thirdByte() / 2, (answer.size() - 3) / 2, static_cast<int>(words.size())});
    for (int i = 0; i < count; ++i) {
        words[static_cast<size_t>(i)] =
            static_cast<uint16_t>(answer.at(3 + 2 * i) << 8 | answer.at(4 + 2 * i));
    }
    return words;
}

}  // namespace

void Dispatcher::receive(const Answer& answer) {
    const RegisterWords words = wordsOf(answer);
    // Every status block that belongs to its request is a reading of the relay's insulation and
    // status, whichever step asked for it.
    const RequestFrame& request = station_.request;
    if (answer.function() == kReadHoldingRegisters &&
        request.registerAddress() == registers::kStatusBlock &&
        request.countOrValue() == registers::kStatusCount) {
        station_.journal.statusRead(
            station_.poll.PolledDevice(),
            {words[registers::status::kInsulationResistance],
             words[registers::status::kControlResistance], words[registers::status::kSerialNumber],
             words[registers::status::kStatusRegister],
             words[registers::status::kExcitationVoltage],
             words[registers::status::kInjectedVoltage]});
    }
    bool used = false;
    switch (station_.poll.PollPhase()) {
        case kPhaseMain:
            used = ReceiveMain(words);
            break;
        case kPhaseCurParam:
            used = ReceiveCurParam(words);
            break;
        default:
            break;
    }
    if (used) {
        scheduler_.stepAnswered();
    }
}

bool Dispatcher::ReceiveMain(const RegisterWords& words) {
    const PollState& poll = station_.poll;
    const int relay = poll.RoundRobinIndex();
    switch (poll.PollStep()) {
        case kStepStatus:
            if (relay >= 1 && relay <= station_.devices.DeviceCount) {
                display_.setTileValue(
                    relay, QString::number(words[registers::status::kInsulationResistance]));
            }
            return true;
        case kStepNewestProtocol:
            return ProcessingInitProt(station_, display_, words, clock_.now(), locale_);
        default:
            return true;
    }
}

bool Dispatcher::ReceiveCurParam(const RegisterWords& words) {
    const auto show = [this, &words](void (ParamWindowDecoder::*page)(const RegisterWords&)) {
        if (paramWindow_) {
            (paramWindow_->*page)(words);
        }
        return true;
    };
    switch (station_.poll.PollStep()) {
        case kStepNewestProtocol:
            return ProcessingInitProt(station_, display_, words, clock_.now(), locale_);
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
