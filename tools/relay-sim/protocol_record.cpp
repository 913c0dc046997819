#include "protocol_record.h"

namespace relaysim {

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
    w[3] = r.remoteness;
    w[4] = r.alpha1;
    w[5] = r.alpha2;
    w[6] = r.resistance;
    w[7] = r.excitation;
    w[8] = r.injected;
    w[27] = r.status;
    w[31] = r.sign;
    return w;
}

ChangeWords encode(const InsulationChangeRecord& r) {
    ChangeWords w{};
    encodeStamp(w, r);
    w[3] = r.initial;
    w[4] = r.final;
    w[5] = r.kind;
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
    r.remoteness = w[3];
    r.alpha1 = w[4];
    r.alpha2 = w[5];
    r.resistance = w[6];
    r.excitation = w[7];
    r.injected = w[8];
    r.status = w[27];
    r.sign = w[31];
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
