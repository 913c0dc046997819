#include "relay.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace relaysim {

namespace {

struct Block {
    uint16_t first;
    uint16_t count;
};

constexpr Block kBlocks[] = {
    {regs::kCurrentFirst, regs::kCurrentCount},
    {regs::kSetpointFirst, regs::kSetpointCount},
    {regs::kPassword, 1},
    {regs::kMode, 1},
    {regs::kTripFirst, kProtocolCount* kTripWords},
    {regs::kChangeFirst, kProtocolCount* kChangeWords},
};

bool within(const Block& b, uint32_t first, uint32_t count) {
    return first >= b.first && first + count <= static_cast<uint32_t>(b.first) + b.count;
}

bool inCurrent(uint16_t reg) {
    return within(kBlocks[0], reg, 1);
}
bool inSetpoints(uint16_t reg) {
    return within(kBlocks[1], reg, 1);
}
bool inTrips(uint16_t reg) {
    return within(kBlocks[4], reg, 1);
}
bool inChanges(uint16_t reg) {
    return within(kBlocks[5], reg, 1);
}
bool isClockWord(int word) {
    return word >= kWordClock && word < kWordClock + RelayClock::kFieldCount;
}

// How long the output behind a recorded condition stays on after the event.
constexpr auto kLatchTime = std::chrono::seconds(60);

// The most the insulation level can be: what the register holds.
constexpr double kMaxLevel = 65535;

uint16_t toWord(double v) {
    return static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
}

double wave(double t, double period, double phase) {
    return std::sin(2 * std::numbers::pi * t / period + phase);
}

std::array<uint16_t, regs::kSetpointCount> defaultSetpoints(uint8_t address) {
    std::array<uint16_t, regs::kSetpointCount> s{};
    s[kSetpointAddress] = address;
    s[1] = 5;      // minutes back from a submenu
    s[2] = 10;     // minutes of backlight
    s[3] = 38400;  // RS-485 baud rate
    s[kSetpointSignalLevel] = 500;
    s[9] = 10;
    s[kSetpointTripLevel] = 250;
    s[11] = 5;
    s[12] = 300;
    s[13] = 20;
    s[kSetpointAlphaLevel] = 50;
    s[15] = 20;
    s[16] = 200;
    s[17] = 30;
    s[18] = 500;
    s[19] = 300;
    s[kSetpointBreakLevel] = 5000;
    s[23] = 10;
    s[kSetpointOffsetFirst] = 2048;
    s[kSetpointOffsetFirst + 1] = 2051;
    s[kSetpointOffsetFirst + 2] = 2046;
    s[40] = 1000;
    s[41] = 12;
    s[42] = 1000;
    s[43] = 8;
    s[44] = 1024;
    s[45] = 1010;
    s[46] = 2048;
    s[47] = 200;
    return s;
}

// Every relay gets values of its own, so that tiles side by side can be told apart.
Measurements nominalFor(uint8_t a) {
    Measurements m;
    m.resistance = static_cast<uint16_t>(900 + 137 * (a % 11));
    m.excitation = static_cast<uint16_t>(2100 + 25 * (a % 5));
    m.injected = static_cast<uint16_t>(240 + 5 * (a % 3));
    m.remoteness = static_cast<uint16_t>(320 + 11 * (a % 9));
    m.alpha1 = static_cast<uint16_t>(118 + 4 * (a % 7));
    m.alpha2 = static_cast<uint16_t>(290 + 6 * (a % 5));
    m.controlResistance = static_cast<uint16_t>(98 + a % 5);
    return m;
}

}  // namespace

Relay::Relay(uint8_t address, const CivilTime& localNow, TimePoint now, uint32_t seed,
             std::optional<CivilTime> historyEnd)
    : address_(address),
      start_(now),
      clock_(localNow, now),
      nominal_(nominalFor(address)),
      level_(nominal_.resistance),
      levelAt_(now),
      setpoints_(defaultSetpoints(address)),
      stored_(makeHistory(address, historyEnd.value_or(localNow), nominal_, levels())) {
    // A stream apart from the one the simulator draws this relay's CRC noise from.
    std::seed_seq noiseSeed{seed, static_cast<uint32_t>(address), 1u};
    readingNoise_.seed(noiseSeed);
}

bool Relay::setpointAcceptable(int n, uint16_t value) {
    switch (n) {
        case kSetpointAddress:
            return value >= 1 && value <= 246;
        case 24:
        case 26:
        case 28:
        case 30:
        case 40:
            return value <= 10000;
        default:
            return true;
    }
}

bool Relay::exists(uint16_t reg) {
    return std::any_of(std::begin(kBlocks), std::end(kBlocks),
                       [reg](const Block& b) { return within(b, reg, 1); });
}

Levels Relay::levels() const {
    Levels l;
    l.signal = setpoints_[kSetpointSignalLevel];
    l.trip = setpoints_[kSetpointTripLevel];
    l.alphaFixation = setpoints_[kSetpointAlphaLevel];
    l.circuitBreak = setpoints_[kSetpointBreakLevel];
    return l;
}

bool Relay::forced(int word, uint16_t& value) const {
    const auto it = forced_.find(word);
    if (it == forced_.end()) {
        return false;
    }
    value = it->second;
    return true;
}

double Relay::wander(TimePoint now) const {
    const double t = std::chrono::duration<double>(now - start_).count();
    const double a = address_;
    return 1 + 0.05 * wave(t, 600, a) + 0.015 * wave(t, 53, 2 * a);
}

double Relay::insulationLevel(TimePoint now) const {
    const double hours = std::chrono::duration<double, std::ratio<3600>>(now - levelAt_).count();
    return std::clamp(level_ + driftPerHour_ * hours, 0.0, kMaxLevel);
}

uint16_t Relay::insulationReading(TimePoint now) const {
    return toWord(insulationLevel(now) * wander(now));
}

void Relay::readsFrom(double kohm, TimePoint now) {
    level_ = std::clamp(kohm / wander(now), 0.0, kMaxLevel);
    levelAt_ = now;
}

void Relay::setDrift(double kohmPerHour, double noiseKohm, TimePoint now) {
    // From where the level stands now: a level held at 0 by a long fall rises at once when the
    // drift turns upwards, instead of first making up the fall below zero.
    level_ = insulationLevel(now);
    levelAt_ = now;
    driftPerHour_ = kohmPerHour;
    driftNoise_ = std::max(0.0, noiseKohm);
}

void Relay::dropTo(uint16_t kohm, TimePoint now) {
    readsFrom(kohm, now);
}

Measurements Relay::measure(TimePoint now) const {
    const double t = std::chrono::duration<double>(now - start_).count();
    const double a = address_;
    Measurements m;
    m.resistance = insulationReading(now);
    m.excitation = toWord(nominal_.excitation + 45 * wave(t, 300, a) + 8 * wave(t, 17, a));
    m.injected = toWord(nominal_.injected + 3 * wave(t, 120, a));
    m.remoteness = toWord(nominal_.remoteness + 12 * wave(t, 900, a));
    m.alpha1 = toWord(nominal_.alpha1 + 6 * wave(t, 420, a + 1));
    m.alpha2 = toWord(nominal_.alpha2 + 9 * wave(t, 480, a + 2));
    m.controlResistance = nominal_.controlResistance;
    forced(kWordResistance, m.resistance);
    forced(kWordExcitation, m.excitation);
    forced(kWordInjected, m.injected);
    forced(kWordRemoteness, m.remoteness);
    forced(kWordAlpha1, m.alpha1);
    forced(kWordAlpha2, m.alpha2);
    forced(kWordControlResistance, m.controlResistance);
    return m;
}

uint16_t Relay::statusOf(const Measurements& m, TimePoint now) const {
    uint16_t forcedStatus = 0;
    if (forced(kWordStatus, forcedStatus)) {
        return forcedStatus;
    }
    const Levels l = levels();
    uint16_t s = 0;
    if (m.resistance <= l.signal) {
        s |= kStatusSignalRelay;
    }
    if (m.resistance <= l.trip) {
        s |= kStatusSignalRelay | kStatusTripRelay;
    }
    if (m.alpha1 >= l.alphaFixation * 10) {
        s |= kStatusAlpha1Fixation;
    }
    if (m.alpha2 >= l.alphaFixation * 10) {
        s |= kStatusAlpha2Fixation;
    }
    if (m.controlResistance >= l.circuitBreak) {
        s |= kStatusCircuitBreak;
    }
    for (size_t bit = 0; bit < latchedUntil_.size(); ++bit) {
        if (now < latchedUntil_[bit]) {
            s = static_cast<uint16_t>(s | 1u << bit);
        }
    }
    return s;
}

uint16_t Relay::status(TimePoint now) const {
    return statusOf(measure(now), now);
}

std::array<uint16_t, regs::kCurrentCount> Relay::currentBlock(TimePoint now) {
    std::array<uint16_t, regs::kCurrentCount> w{};
    Measurements m = measure(now);
    if (driftNoise_ > 0 && !forced_.count(kWordResistance)) {
        // The engine's output is fixed by the standard (a distribution's is not), so one seed
        // gives the same readings wherever relay-sim runs.
        const double unit = static_cast<double>(readingNoise_()) / 4294967296.0;
        m.resistance = toWord(m.resistance + (2 * unit - 1) * driftNoise_);
    }
    w[kWordSerialNumber] = static_cast<uint16_t>(2400 + address_);
    w[kWordManufactureDate] =
        static_cast<uint16_t>((address_ % 12 + 1) << 12 | (2019 + address_ % 5));
    w[kWordProgramVersion] = 0x0207;
    w[kWordVersionDate] = static_cast<uint16_t>(17 << 11 | 6 << 7 | 19);
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(now - start_).count();
    w[kWordRunMinutes] = static_cast<uint16_t>(8000 + 613 * address_ + minutes);
    const RelayClock::Fields clock = clock_.read(now);
    std::copy(clock.begin(), clock.end(), w.begin() + kWordClock);
    w[kWordStatus] = statusOf(m, now);
    w[kWordRemoteness] = m.remoteness;
    w[kWordAlpha1] = m.alpha1;
    w[kWordAlpha2] = m.alpha2;
    w[kWordResistance] = m.resistance;
    w[kWordExcitation] = m.excitation;
    w[kWordInjected] = m.injected;
    w[kWordControlResistance] = m.controlResistance;
    // The present offsets are the ones set in the settings block; the station edits them here.
    for (int i = 0; i < 3; ++i) {
        w[static_cast<size_t>(kWordOffsetFirst + i)] =
            setpoints_[static_cast<size_t>(kSetpointOffsetFirst + i)];
    }
    for (const auto& [word, value] : forced_) {
        w[static_cast<size_t>(word)] = value;
    }
    return w;
}

ReadResult Relay::read(uint16_t first, uint16_t count, TimePoint now) {
    ReadResult result;
    if (count == 0 || count > regs::kMaxReadCount) {
        result.error = ModbusError::IllegalDataValue;
        return result;
    }
    const auto block = std::find_if(std::begin(kBlocks), std::end(kBlocks),
                                    [&](const Block& b) { return within(b, first, count); });
    if (block == std::end(kBlocks)) {
        result.error = ModbusError::IllegalDataAddress;
        return result;
    }
    result.words.reserve(count);
    if (block->first == regs::kCurrentFirst) {
        const auto current = currentBlock(now);
        result.words.assign(current.begin() + (first - regs::kCurrentFirst),
                            current.begin() + (first - regs::kCurrentFirst + count));
        return result;
    }
    for (uint32_t reg = first; reg < static_cast<uint32_t>(first) + count; ++reg) {
        const auto r = static_cast<uint16_t>(reg);
        if (inSetpoints(r)) {
            result.words.push_back(setpoints_[r - regs::kSetpointFirst]);
        } else if (r == regs::kPassword) {
            result.words.push_back(password_);
        } else if (r == regs::kMode) {
            result.words.push_back(mode_);
        } else if (inTrips(r)) {
            const int offset = r - regs::kTripFirst;
            result.words.push_back(stored_.trips[static_cast<size_t>(offset / kTripWords)]
                                                [static_cast<size_t>(offset % kTripWords)]);
        } else {
            const int offset = r - regs::kChangeFirst;
            result.words.push_back(stored_.changes[static_cast<size_t>(offset / kChangeWords)]
                                                  [static_cast<size_t>(offset % kChangeWords)]);
        }
    }
    return result;
}

ModbusError Relay::write(uint16_t reg, uint16_t value, TimePoint now) {
    if (inCurrent(reg) && isClockWord(reg - regs::kCurrentFirst)) {
        const auto field = static_cast<RelayClock::Field>(reg - regs::kClockFirst);
        if (!RelayClock::acceptable(field, value)) {
            return ModbusError::IllegalDataValue;
        }
        clock_.set(field, value, now);
        return ModbusError::None;
    }
    if (inSetpoints(reg)) {
        const int n = reg - regs::kSetpointFirst;
        if (!setpointAcceptable(n, value)) {
            return ModbusError::IllegalDataValue;
        }
        setpoints_[static_cast<size_t>(n)] = value;
        return ModbusError::None;
    }
    if (reg == regs::kPassword) {
        password_ = value;
        return ModbusError::None;
    }
    if (reg == regs::kMode) {
        mode_ = value;
        return ModbusError::None;
    }
    // Measurements and protocols are the relay's own: they cannot be written.
    return ModbusError::IllegalDataAddress;
}

bool Relay::force(uint16_t reg, uint16_t value, TimePoint now) {
    if (inCurrent(reg)) {
        const int word = reg - regs::kCurrentFirst;
        if (isClockWord(word)) {
            clock_.set(static_cast<RelayClock::Field>(word - kWordClock), value, now);
        } else {
            forced_[word] = value;
        }
        return true;
    }
    if (inSetpoints(reg)) {
        setpoints_[static_cast<size_t>(reg - regs::kSetpointFirst)] = value;
        return true;
    }
    if (reg == regs::kPassword) {
        password_ = value;
        return true;
    }
    if (reg == regs::kMode) {
        mode_ = value;
        return true;
    }
    if (inTrips(reg)) {
        const int offset = reg - regs::kTripFirst;
        stored_.trips[static_cast<size_t>(offset / kTripWords)]
                     [static_cast<size_t>(offset % kTripWords)] = value;
        return true;
    }
    if (inChanges(reg)) {
        const int offset = reg - regs::kChangeFirst;
        stored_.changes[static_cast<size_t>(offset / kChangeWords)]
                       [static_cast<size_t>(offset % kChangeWords)] = value;
        return true;
    }
    return false;
}

bool Relay::release(uint16_t reg) {
    return inCurrent(reg) && forced_.erase(reg - regs::kCurrentFirst) > 0;
}

TripRecord Relay::recordEvent(uint16_t sign, TimePoint now, std::mt19937& rng) {
    TripRecord r = tripRecordFor(sign, measure(now), levels(), rng);
    stored_.lastTripNumber = nextProtocolNumber(stored_.lastTripNumber);
    r.number = stored_.lastTripNumber;
    r.at = stampOf(clock_.readCivil(now));
    std::move_backward(stored_.trips.begin(), stored_.trips.end() - 1, stored_.trips.end());
    stored_.trips[0] = encode(r);
    for (size_t bit = 0; bit < latchedUntil_.size(); ++bit) {
        if (r.status & (1u << bit)) {
            latchedUntil_[bit] = now + kLatchTime;
        }
    }
    return r;
}

InsulationChangeRecord Relay::recordInsulationChange(bool decrease, TimePoint now) {
    InsulationChangeRecord r;
    r.initial = std::max<uint16_t>(1, measure(now).resistance);
    r.final = toWord(std::clamp(r.initial * (decrease ? 0.55 : 1.6), 1.0, 60000.0));
    r.kind = decrease ? kChangeDecrease : kChangeIncrease;
    stored_.lastChangeNumber = nextProtocolNumber(stored_.lastChangeNumber);
    r.number = stored_.lastChangeNumber;
    r.at = stampOf(clock_.readCivil(now));
    std::move_backward(stored_.changes.begin(), stored_.changes.end() - 1, stored_.changes.end());
    stored_.changes[0] = encode(r);
    // The insulation stays where it went, and any drift goes on from there.
    readsFrom(r.final, now);
    return r;
}

}  // namespace relaysim
