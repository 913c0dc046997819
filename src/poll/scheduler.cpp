#include "poll/scheduler.h"

#include "app/main_controller.h"
#include "app/station.h"

namespace terval {
namespace {

constexpr uint16_t kStatusBlock = 0x0100;
constexpr uint16_t kStatusCount = 48;
constexpr uint16_t kSetpointBlock = 0x0400;
constexpr uint16_t kSetpointCount = 64;
constexpr uint16_t kPasswordRegister = 0x047F;
constexpr uint16_t kModeRegister = 0x04FF;
constexpr uint16_t kTripProtocols = 0x1000;
constexpr uint16_t kTripProtocolSize = 32;
constexpr uint16_t kInsulationProtocols = 0x3000;
constexpr uint16_t kInsulationProtocolSize = 8;
constexpr int kProtocolCount = 64;

// A number typed into a protocol spin box is used before the box has limited it; outside 1 to 64
// the first protocol is read, so a request never leaves the protocol area.
uint16_t protocolStart(uint16_t base, uint16_t size, int number) {
    const int n = number >= 1 && number <= kProtocolCount ? number : 1;
    return static_cast<uint16_t>(base + size * (n - 1));
}

}  // namespace

void Scheduler::buildRead(int relay, uint16_t firstRegister, uint16_t count) {
    PollState& poll = station_.poll;
    poll.PolledDevice = static_cast<uint8_t>(relay);
    const uint8_t address = static_cast<uint8_t>(station_.devices.entry(relay).Address & 0xFF);
    station_.request.buildRead(address, firstRegister, count);
}

void Scheduler::buildStatusOfNextRelay() {
    PollState& poll = station_.poll;
    ++poll.RoundRobinIndex;
    if (poll.RoundRobinIndex > station_.devices.DeviceCount) {
        poll.RoundRobinIndex = 1;
    }
    buildRead(poll.RoundRobinIndex, kStatusBlock, kStatusCount);
}

void Scheduler::buildWrite() {
    PollState& poll = station_.poll;
    const int relay = station_.devices.SelectedDevice;
    poll.PolledDevice = static_cast<uint8_t>(relay);
    const uint8_t address = static_cast<uint8_t>(station_.devices.entry(relay).Address & 0xFF);
    station_.request.buildWrite(address, poll.WriteRegister,
                                poll.WriteValues[poll.WriteIndex % kMaxWriteValues]);
}

void Scheduler::TimersMain() {
    PollState& poll = station_.poll;
    switch (poll.PollStep) {
        case kStepStatus:
            buildStatusOfNextRelay();
            break;
        case kStepNewestProtocol:
            buildRead(poll.RoundRobinIndex, kTripProtocols, kTripProtocolSize);
            break;
        default:
            break;
    }
}

void Scheduler::TimersCurParam() {
    PollState& poll = station_.poll;
    const int selected = station_.devices.SelectedDevice;
    const bool haveSelected = station_.devices.hasSelection();
    switch (poll.PollStep) {
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
                buildRead(selected,
                          protocolStart(kTripProtocols, kTripProtocolSize, poll.tripProtocolNumber),
                          kTripProtocolSize);
            }
            break;
        case kStepInsulationProtocol:
            if (haveSelected) {
                buildRead(selected,
                          protocolStart(kInsulationProtocols, kInsulationProtocolSize,
                                        poll.insulationProtocolNumber),
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
    if (poll.WriteRequest == kWriteQueued) {
        poll.WriteRequest = kNoWrite;
        if (haveSelected) {
            poll.PollStep = kStepWrite;
            poll.WriteIndex = 0;
            buildWrite();
        }
    } else if (poll.WriteRequest == kNoWrite && poll.PollStep == kStepStatus) {
        poll.PollPhase = poll.ParamWindowOpen ? kPhaseCurParam : kPhaseMain;
    }
}

void Scheduler::Timers() {
    PollState& poll = station_.poll;
    DeviceTable& table = station_.devices;
    if (table.SelectedDevice > 0 && table.hasSelection()) {
        main_.EnableMenu(station_.tile(table.SelectedDevice).state != kTileNoAnswer
                             ? menu_masks::kPollingAnswering
                             : menu_masks::kLinkUpSilent);
    }
    main_.view().setLed(MainView::Led::RxD, false);
    main_.view().setLed(MainView::Led::TxD, false);

    ++poll.TickCounter;
    if (poll.TickCounter <= 1) {
        return;
    }
    if (poll.ReadyToSend) {
        // Nothing to poll in an empty table; the link menu is not offered then anyway.
        if (table.DeviceCount == 0 && !poll.CloseRequested) {
            return;
        }
        if (poll.PollPhase == kPhaseMain) {
            TimersMain();
        } else if (poll.PollPhase == kPhaseCurParam) {
            TimersCurParam();
        }
        if (poll.CloseRequested) {
            link_.CloseConnect();
            return;
        }
        poll.ReadyToSend = false;
        station_.receive.clear();
        poll.TickCounter = 0;
        if (poll.PolledDevice >= 1 && poll.PolledDevice <= table.DeviceCount) {
            ++table.entry(poll.PolledDevice).RequestsSent;
        }
        main_.view().setLed(MainView::Led::TxD, true);
        link_.sendRequest();
        return;
    }
    if (poll.TickCounter <= 5) {
        return;
    }
    // The request has timed out.
    if (poll.ParamWindowOpen) {
        poll.PollPhase = kPhaseCurParam;
        poll.PollStep = kStepSelectedStatus;
    } else {
        poll.PollStep = kStepStatus;
    }
    poll.ReadyToSend = true;
    const int polled = poll.PolledDevice;
    if (polled >= 1 && polled <= table.DeviceCount) {
        ++table.entry(polled).BadAnswers;
        if (station_.tile(polled).state != kTileNoAnswer) {
            main_.setTileState(polled, kTileNoAnswer);
        }
    }
    ++poll.ConsecutiveTimeouts;
}

}  // namespace terval
