#include "protocol_history.h"

#include <algorithm>
#include <set>
#include <vector>

namespace relaysim {

namespace {

uint16_t clampWord(double v) {
    if (v < 0) {
        return 0;
    }
    if (v > 65535) {
        return 65535;
    }
    return static_cast<uint16_t>(v + 0.5);
}

int uniform(std::mt19937& rng, int low, int high) {
    if (high < low) {
        return low;
    }
    return std::uniform_int_distribution<int>(low, high)(rng);
}

double scale(std::mt19937& rng, double low, double high) {
    return std::uniform_real_distribution<double>(low, high)(rng);
}

// The most recent 29 February whose 13:07:42 lies before `limit`.
int64_t latestLeapDay(int64_t limit, int fromYear) {
    for (int year = fromYear;; --year) {
        if (!isLeapYear(year)) {
            continue;
        }
        const int64_t t = daysFromCivil(year, 2, 29) * 86400 + 13 * 3600 + 7 * 60 + 42;
        if (t < limit) {
            return t;
        }
    }
}

// `count` distinct moments (to the minute, so that no two protocols look alike to the station)
// between `oldest` and `newest`, the `fixed` one among them, newest first.
std::vector<int64_t> eventTimes(std::mt19937& rng, int64_t oldest, int64_t newest, int64_t fixed,
                                int count) {
    std::set<int64_t> minutes{fixed / 60};
    std::vector<int64_t> times{fixed};
    while (static_cast<int>(times.size()) < count) {
        const int64_t t = std::uniform_int_distribution<int64_t>(oldest, newest)(rng);
        if (minutes.insert(t / 60).second) {
            times.push_back(t);
        }
    }
    std::sort(times.rbegin(), times.rend());
    return times;
}

Measurements jitter(const Measurements& m, std::mt19937& rng) {
    Measurements j = m;
    j.remoteness = clampWord(m.remoteness * scale(rng, 0.9, 1.1));
    j.alpha1 = clampWord(m.alpha1 * scale(rng, 0.9, 1.1));
    j.alpha2 = clampWord(m.alpha2 * scale(rng, 0.9, 1.1));
    j.resistance = clampWord(m.resistance * scale(rng, 0.85, 1.15));
    j.excitation = clampWord(m.excitation * scale(rng, 0.95, 1.05));
    j.injected = clampWord(m.injected * scale(rng, 0.98, 1.02));
    return j;
}

}  // namespace

EventStamp stampOf(const CivilTime& t) {
    EventStamp s;
    s.month = static_cast<uint8_t>(t.month);
    s.day = static_cast<uint8_t>(t.day);
    s.hour = static_cast<uint8_t>(t.hour);
    s.minute = static_cast<uint8_t>(t.minute);
    s.second = static_cast<uint8_t>(t.second);
    return s;
}

uint16_t randomSign(std::mt19937& rng) {
    const int roll = uniform(rng, 0, 99);
    if (roll < 40) {
        return kSignSignalRelay;
    }
    if (roll < 70) {
        return kSignTripRelay;
    }
    if (roll < 80) {
        return kSignAlpha1Fixation;
    }
    if (roll < 90) {
        return kSignAlpha2Fixation;
    }
    if (roll < 97) {
        return kSignCircuitBreak;
    }
    return kSignUnitFailure;
}

TripRecord tripRecordFor(uint16_t sign, const Measurements& present, const Levels& levels,
                         std::mt19937& rng) {
    TripRecord r;
    r.remoteness = present.remoteness;
    r.alpha1 = present.alpha1;
    r.alpha2 = present.alpha2;
    r.resistance = present.resistance;
    r.excitation = present.excitation;
    r.injected = present.injected;
    r.sign = sign;
    r.status = statusForSign(sign);
    const int alphaLevel = levels.alphaFixation * 10;
    switch (sign) {
        case kSignSignalRelay:
            // Below the signal level, still above the trip level.
            r.resistance = static_cast<uint16_t>(
                uniform(rng, std::min<int>(levels.trip + 1, levels.signal), levels.signal));
            break;
        case kSignTripRelay:
            r.resistance = static_cast<uint16_t>(
                uniform(rng, std::max(1, levels.trip / 5), std::max<int>(1, levels.trip)));
            break;
        case kSignAlpha1Fixation:
            r.alpha1 = static_cast<uint16_t>(uniform(rng, alphaLevel, alphaLevel + 250));
            break;
        case kSignAlpha2Fixation:
            r.alpha2 = static_cast<uint16_t>(uniform(rng, alphaLevel, alphaLevel + 250));
            break;
        case kSignCircuitBreak:
            // With the measuring circuit open nothing is injected and the resistance reads
            // the top of the scale.
            r.resistance = 9999;
            r.injected = static_cast<uint16_t>(uniform(rng, 0, 12));
            break;
        case kSignUnitFailure:
            r.remoteness = r.alpha1 = r.alpha2 = r.resistance = r.excitation = r.injected = 0;
            break;
        default:
            break;
    }
    return r;
}

StoredHistory makeHistory(uint8_t address, const CivilTime& now, const Measurements& nominal,
                          const Levels& levels) {
    std::mt19937 rng(7919u * address + 17u);
    StoredHistory h;
    const int64_t nowSeconds = secondsFromCivil(now);

    // Trip protocols.
    const int64_t newestTrip = nowSeconds - (95 + (address * 37) % 180) * 60 - uniform(rng, 0, 59);
    const int64_t tripLeap = latestLeapDay(newestTrip - 86400, now.year);
    std::vector<int64_t> trips =
        eventTimes(rng, tripLeap - 150 * 86400LL, newestTrip - 86400, tripLeap, kStoredTrips - 1);
    trips.insert(trips.begin(), newestTrip);
    for (int slot = 0; slot < kStoredTrips; ++slot) {
        uint16_t sign = randomSign(rng);
        switch (slot + 1) {
            case 1:
                sign = kSignSignalRelay;
                break;
            case 2:
                sign = kSignTripRelay;
                break;
            case 3:
                sign = kSignAlpha1Fixation;
                break;
            case 4:
                sign = kSignAlpha2Fixation;
                break;
            case 5:
                sign = kSignCircuitBreak;
                break;
            case 6:
                sign = kSignUnitFailure;
                break;
            case 8:
                sign = 7;  // a code the sign table does not know
                break;
            default:
                break;
        }
        TripRecord r = tripRecordFor(sign, jitter(nominal, rng), levels, rng);
        r.number = static_cast<uint8_t>(kStoredTrips - slot);
        r.at = stampOf(civilFromSeconds(trips[static_cast<size_t>(slot)]));
        h.trips[static_cast<size_t>(slot)] = encode(r);
    }
    // A slot cleared to zeros, then erased memory.
    h.trips[kStoredTrips].fill(0x0000);
    for (int slot = kStoredTrips + 1; slot < kProtocolCount; ++slot) {
        h.trips[static_cast<size_t>(slot)].fill(0xFFFF);
    }
    h.lastTripNumber = kStoredTrips;

    // Insulation-change protocols.
    const int64_t newestChange =
        nowSeconds - (40 + (address * 53) % 200) * 60 - uniform(rng, 0, 59);
    const int64_t changeLeap = latestLeapDay(newestChange - 86400, now.year) - 8 * 3600 - 16 * 60;
    std::vector<int64_t> changes = eventTimes(rng, changeLeap - 150 * 86400LL, newestChange - 86400,
                                              changeLeap, kStoredChanges - 1);
    changes.insert(changes.begin(), newestChange);
    for (int slot = 0; slot < kStoredChanges; ++slot) {
        uint16_t kind = uniform(rng, 0, 1) ? kChangeDecrease : kChangeIncrease;
        if (slot == 0) {
            kind = kChangeDecrease;
        } else if (slot == 1) {
            kind = kChangeIncrease;
        } else if (slot == 4) {
            kind = kChangeNone;
        }
        InsulationChangeRecord r;
        r.number = static_cast<uint8_t>(kStoredChanges - slot);
        r.at = stampOf(civilFromSeconds(changes[static_cast<size_t>(slot)]));
        r.kind = kind;
        if (kind == kChangeDecrease) {
            r.initial = clampWord(nominal.resistance * scale(rng, 1.3, 1.8));
            r.final = clampWord(r.initial * scale(rng, 0.45, 0.75));
        } else if (kind == kChangeIncrease) {
            r.initial = clampWord(nominal.resistance * scale(rng, 0.4, 0.7));
            r.final = clampWord(r.initial * scale(rng, 1.4, 1.9));
        } else {
            r.initial = clampWord(nominal.resistance * scale(rng, 0.9, 1.1));
            r.final = r.initial;
        }
        h.changes[static_cast<size_t>(slot)] = encode(r);
    }
    h.changes[kStoredChanges].fill(0x0000);
    for (int slot = kStoredChanges + 1; slot < kProtocolCount; ++slot) {
        h.changes[static_cast<size_t>(slot)].fill(0xFFFF);
    }
    h.lastChangeNumber = kStoredChanges;
    return h;
}

}  // namespace relaysim
