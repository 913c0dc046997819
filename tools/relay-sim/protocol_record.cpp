#include "protocol_record.h"

namespace relaysim {

namespace trip = terval::registers::trip;
namespace insulation = terval::registers::insulation;

static uint16_t pack(unsigned high, unsigned low) {
    return static_cast<uint16_t>((high & 0xFF) << 8 | (low & 0xFF));
}

// Both kinds of record open with the same three words: number and month, day and hour, minute
// and second.
template <typename Words, typename Record>
static void encodeStamp(Words& w, const Record& r) {
    w[0] = pack(r.number, r.at.month);
    w[1] = pack(r.at.day, r.at.hour);
    w[2] = pack(r.at.minute, r.at.second);
}

TripWords encode(const TripRecord& r) {
    TripWords w{};
    encodeStamp(w, r);
    w[trip::kRemoteness] = r.remoteness;
    w[trip::kAlpha1] = r.alpha1;
    w[trip::kAlpha2] = r.alpha2;
    w[trip::kInsulationResistance] = r.resistance;
    w[trip::kExcitationVoltage] = r.excitation;
    w[trip::kInjectedVoltage] = r.injected;
    w[trip::kStatusRegister] = r.status;
    w[trip::kSign] = r.sign;
    return w;
}

ChangeWords encode(const InsulationChangeRecord& r) {
    ChangeWords w{};
    encodeStamp(w, r);
    w[insulation::kInitial] = r.initial;
    w[insulation::kFinal] = r.final;
    w[insulation::kKind] = r.kind;
    return w;
}

TripRecord decodeTrip(const TripWords& w) {
    TripRecord r;
    r.number = static_cast<uint8_t>(w[0] >> 8);
    r.at.month = static_cast<uint8_t>(w[0]);
    r.at.day = static_cast<uint8_t>(w[1] >> 8);
    r.at.hour = static_cast<uint8_t>(w[1]);
    r.at.minute = static_cast<uint8_t>(w[2] >> 8);
    r.at.second = static_cast<uint8_t>(w[2]);
    r.remoteness = w[trip::kRemoteness];
    r.alpha1 = w[trip::kAlpha1];
    r.alpha2 = w[trip::kAlpha2];
    r.resistance = w[trip::kInsulationResistance];
    r.excitation = w[trip::kExcitationVoltage];
    r.injected = w[trip::kInjectedVoltage];
    r.status = w[trip::kStatusRegister];
    r.sign = w[trip::kSign];
    return r;
}

uint16_t statusForSign(uint16_t sign) {
    switch (sign) {
        case kSignSignalRelay:
            return kStatusSignalRelay;
        case kSignTripRelay:
            return kStatusSignalRelay | kStatusTripRelay;
        case kSignAlpha1Fixation:
            return kStatusAlpha1Fixation;
        case kSignAlpha2Fixation:
            return kStatusAlpha2Fixation;
        case kSignCircuitBreak:
            return kStatusCircuitBreak;
        default:
            return 0;
    }
}

uint8_t nextProtocolNumber(uint8_t number) {
    return number == 255 ? 1 : static_cast<uint8_t>(number + 1);
}

}  // namespace relaysim
