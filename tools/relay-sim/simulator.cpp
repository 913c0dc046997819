#include "simulator.h"

#include <algorithm>
#include <cstdio>

namespace relaysim {

std::string hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string stampText(const EventStamp& at) {
    char text[32];
    std::snprintf(text, sizeof text, "%02u/%02u %02u:%02u:%02u", at.day, at.month, at.hour,
                  at.minute, at.second);
    return text;
}

namespace {

constexpr uint8_t kReadHoldingRegisters = 3;
constexpr uint8_t kWriteSingleRegister = 6;
constexpr uint8_t kBroadcast = 0;

std::string ok(const std::string& text) {
    return "ok " + text;
}
CommandResult reply(std::string text) {
    return {CommandResult::Action::None, std::move(text)};
}
CommandResult error(const std::string& text) {
    return reply("error " + text);
}

// The address a relay answers under when told to answer under a foreign one without naming it.
int nextAddress(uint8_t own) {
    return own + 1 >= 247 ? 1 : own + 1;
}

// "drift=-120kOhm/h,noise=5kOhm" or "drift=off"; `separator` is '=' in replies, ' ' in status.
std::string driftText(const Relay& relay, char separator) {
    if (relay.driftPerHour() == 0 && relay.driftNoise() == 0) {
        return std::string("drift") + separator + "off";
    }
    std::string text =
        std::string("drift") + separator + decimalText(relay.driftPerHour()) + "kOhm/h";
    if (relay.driftNoise() > 0) {
        text += ",noise=" + decimalText(relay.driftNoise()) + "kOhm";
    }
    return text;
}

std::string dateText(const CivilTime& t) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    return text;
}

}  // namespace

Simulator::Simulator(LinkKind link, const std::vector<uint8_t>& addresses,
                     const CivilTime& localNow, TimePoint now, uint32_t seed,
                     std::optional<CivilTime> historyEnd)
    : link_(link), addresses_(addresses), rng_(seed) {
    for (uint8_t a : addresses_) {
        RelayState& s = relays_[a];
        s.relay = std::make_unique<Relay>(a, localNow, now, seed, historyEnd);
        std::seed_seq noiseSeed{seed, static_cast<uint32_t>(a)};
        s.noise.seed(noiseSeed);
    }
}

std::string Simulator::addressList(const char* separator) const {
    std::string list;
    for (uint8_t a : addresses_) {
        list += (list.empty() ? "" : separator) + std::to_string(a);
    }
    return list;
}

Simulator::RelayState* Simulator::state(uint8_t address) {
    const auto it = relays_.find(address);
    return it == relays_.end() ? nullptr : &it->second;
}

Relay* Simulator::relay(uint8_t address) {
    RelayState* s = state(address);
    return s ? s->relay.get() : nullptr;
}

uint8_t Simulator::pick(const Target& target) {
    if (target.kind != Target::Kind::Any) {
        return target.address;
    }
    std::uniform_int_distribution<size_t> index(0, addresses_.size() - 1);
    return addresses_[index(rng_)];
}

Decision Simulator::handle(const Request& request, TimePoint now) {
    Decision d;
    if (request.unit == kBroadcast && link_ == LinkKind::Rtu) {
        // Every relay on the line carries out a broadcast write; none of them answers.
        if (request.function == kWriteSingleRegister) {
            for (auto& [address, s] : relays_) {
                s.relay->write(request.address, request.countOrValue, now);
            }
            d.note = "broadcast write, no answer";
        } else {
            d.note = "broadcast of a function that cannot be broadcast, ignored";
        }
        return d;
    }
    RelayState* s = state(request.unit);
    if (!s) {
        d.note = "no relay at this address";
        return d;
    }
    ++s->requests;
    const AppliedFaults faults = s->faults.takeForRequest();
    if (faults.silent) {
        d.note = "silent";
        return d;
    }
    if (faults.close) {
        d.action = Decision::Action::CloseConnection;
        d.note = "closing the connection";
        return d;
    }
    d.action = Decision::Action::Answer;
    d.delayMs = faults.lateMs;
    d.badCrc = faults.badCrc;
    d.splitPauseMs = faults.splitPauseMs;
    d.splitPieces = faults.splitPieces;
    d.twice = faults.twice;
    d.foreignAddress = faults.foreignAddress;
    if (faults.noisePercent > 0) {
        // The engine's output is fixed by the standard (a distribution's is not), so one seed
        // gives the same noise wherever relay-sim runs.
        d.noisy = s->noise() % 100 < static_cast<uint32_t>(faults.noisePercent);
        d.badCrc = d.badCrc || d.noisy;
    }
    if (faults.exception != 0) {
        // The relay refuses without carrying the request out.
        d.exception = faults.exception;
    } else if (request.function == kReadHoldingRegisters) {
        ReadResult r = s->relay->read(request.address, request.countOrValue, now);
        d.exception = static_cast<uint8_t>(r.error);
        d.words = std::move(r.words);
    } else if (request.function == kWriteSingleRegister) {
        d.exception =
            static_cast<uint8_t>(s->relay->write(request.address, request.countOrValue, now));
    } else {
        d.exception = static_cast<uint8_t>(ModbusError::IllegalFunction);
    }
    ++s->answers;
    return d;
}

std::string Simulator::makeEvent(uint8_t address, std::optional<uint16_t> sign, TimePoint now) {
    const uint16_t code = sign.value_or(kSignTripRelay);
    const TripRecord r = relay(address)->recordEvent(code, now, rng_);
    return "event relay " + std::to_string(address) + " number " + std::to_string(r.number) +
           " date " + stampText(r.at) + " sign " + std::to_string(r.sign);
}

void Simulator::scheduleEvents(double seconds, std::optional<uint8_t> relay, TimePoint now) {
    if (seconds <= 0) {
        nextEvent_.reset();
        return;
    }
    eventPeriod_ = std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000 + 0.5));
    eventRelay_ = relay;
    nextEvent_ = now + eventPeriod_;
}

std::vector<std::string> Simulator::runDueEvents(TimePoint now) {
    std::vector<std::string> made;
    if (!nextEvent_ || now < *nextEvent_) {
        return made;
    }
    const uint8_t address = eventRelay_ ? *eventRelay_ : pick({Target::Kind::Any, 0});
    made.push_back(makeEvent(address, randomSign(rng_), now));
    // One event per due time; after a long stall the schedule starts afresh instead of bursting.
    *nextEvent_ += eventPeriod_;
    if (*nextEvent_ <= now) {
        *nextEvent_ = now + eventPeriod_;
    }
    return made;
}

std::string Simulator::setDrift(const Target& target, double kohmPerHour, double noiseKohm,
                                TimePoint now) {
    for (auto& [address, s] : relays_) {
        if (target.kind == Target::Kind::All || address == target.address) {
            s.relay->setDrift(kohmPerHour, noiseKohm, now);
        }
    }
    if (target.kind == Target::Kind::All) {
        // Every relay now drifts alike; the first says how.
        return "all relays " + driftText(*relays_.begin()->second.relay, '=');
    }
    return "relay " + std::to_string(target.address) + ' ' + driftText(*relay(target.address), '=');
}

CommandResult Simulator::setFault(const Command& c) {
    if (c.on && (c.fault == Fault::BadCrc || c.fault == Fault::Noise) && link_ != LinkKind::Rtu) {
        return error(std::string(faultName(c.fault)) +
                     " needs an RTU line: Modbus TCP carries no CRC");
    }
    if (c.on && c.fault == Fault::Close && link_ != LinkKind::Tcp) {
        return error("close needs a TCP link: a serial line has no connection to close");
    }
    std::vector<std::pair<uint8_t, RelayState*>> targets;
    if (c.target->kind == Target::Kind::All) {
        for (auto& [address, s] : relays_) {
            targets.emplace_back(address, &s);
        }
    } else {
        targets.emplace_back(c.target->address, state(c.target->address));
    }
    const bool foreign = c.on && c.fault == Fault::Foreign;
    if (foreign && c.parameter != 0) {
        for (const auto& [address, s] : targets) {
            if (address == c.parameter) {
                return error("foreign address " + std::to_string(address) + " is relay " +
                             std::to_string(address) + "'s own");
            }
        }
    }
    for (const auto& [address, s] : targets) {
        if (c.on) {
            const int parameter = foreign && c.parameter == 0 ? nextAddress(address) : c.parameter;
            s->faults.switchOn(c.fault, parameter, c.requests, c.pieces);
        } else {
            s->faults.switchOff(c.fault);
        }
    }
    std::string setting = std::string(faultName(c.fault)) + '=';
    if (!c.on) {
        setting += "off";
    } else if (foreign && c.parameter == 0) {
        setting += c.target->kind == Target::Kind::All
                       ? std::string("next")
                       : std::to_string(nextAddress(c.target->address));
    } else {
        setting += faultSettingText(c.fault, c.parameter, c.pieces);
    }
    if (c.on && c.requests) {
        setting +=
            " for " + std::to_string(*c.requests) + (*c.requests == 1 ? " request" : " requests");
    }
    const std::string who = c.target->kind == Target::Kind::All
                                ? "all relays"
                                : "relay " + std::to_string(c.target->address);
    return reply(ok(who + ' ' + setting));
}

CommandResult Simulator::execute(const Command& c, TimePoint now) {
    if (c.target && c.target->kind == Target::Kind::One && !state(c.target->address)) {
        return error("no relay " + std::to_string(c.target->address) +
                     " (relays: " + addressList(" ") + ")");
    }
    switch (c.verb) {
        case Verb::Event:
            return reply(ok(makeEvent(pick(*c.target), c.sign, now)));
        case Verb::Change: {
            const uint8_t address = pick(*c.target);
            const InsulationChangeRecord r =
                relay(address)->recordInsulationChange(c.decrease, now);
            return reply(ok("change relay " + std::to_string(address) + " number " +
                            std::to_string(r.number) + " date " + stampText(r.at) + ' ' +
                            (c.decrease ? "down " : "up ") + std::to_string(r.initial) + " -> " +
                            std::to_string(r.final)));
        }
        case Verb::SetFault:
            return setFault(c);
        case Verb::Clear:
            for (auto& [address, s] : relays_) {
                if (c.target->kind == Target::Kind::All || address == c.target->address) {
                    s.faults.clear();
                }
            }
            return reply(
                ok(c.target->kind == Target::Kind::All
                       ? "all relays without faults"
                       : "relay " + std::to_string(c.target->address) + " without faults"));
        case Verb::Set:
            if (!relay(c.target->address)->force(c.reg, c.value, now)) {
                return error("relay has no register " + hex16(c.reg));
            }
            return reply(ok("relay " + std::to_string(c.target->address) + ' ' + hex16(c.reg) +
                            '=' + std::to_string(c.value)));
        case Verb::Unset:
            if (!relay(c.target->address)->release(c.reg)) {
                return error(hex16(c.reg) + " is not held by set (only measured values are)");
            }
            return reply(ok("relay " + std::to_string(c.target->address) + ' ' + hex16(c.reg) +
                            " measured again"));
        case Verb::Get: {
            const ReadResult r = relay(c.target->address)->read(c.reg, c.count, now);
            if (r.error != ModbusError::None) {
                return error("relay cannot read " + std::to_string(c.count) + " registers from " +
                             hex16(c.reg));
            }
            std::string values;
            for (uint16_t w : r.words) {
                values += (values.empty() ? "" : " ") + std::to_string(w);
            }
            return reply(ok(values));
        }
        case Verb::Every:
            if (c.seconds <= 0) {
                scheduleEvents(0, std::nullopt, now);
                return reply(ok("every off"));
            }
            scheduleEvents(c.seconds,
                           c.target->kind == Target::Kind::Any
                               ? std::nullopt
                               : std::optional<uint8_t>(c.target->address),
                           now);
            return reply(ok("every " + std::to_string(eventPeriod_.count()) + "ms relay " +
                            (eventRelay_ ? std::to_string(*eventRelay_) : std::string("any"))));
        case Verb::Drift:
            return reply(
                ok(setDrift(*c.target, c.on ? c.kohmPerHour : 0, c.on ? c.noiseKohm : 0, now)));
        case Verb::Drop: {
            uint8_t address = c.target->address;
            if (c.target->kind == Target::Kind::Any) {
                // Any relay that has that far to fall.
                std::vector<uint8_t> above;
                for (auto& [a, s] : relays_) {
                    if (s.relay->insulationReading(now) > c.value) {
                        above.push_back(a);
                    }
                }
                if (above.empty()) {
                    return error("no relay reads more than " + std::to_string(c.value) +
                                 " kOhm now");
                }
                std::uniform_int_distribution<size_t> index(0, above.size() - 1);
                address = above[index(rng_)];
            }
            Relay& r = *relay(address);
            const uint16_t before = r.insulationReading(now);
            if (c.value >= before) {
                return error("relay " + std::to_string(address) + " reads " +
                             std::to_string(before) + " kOhm now: a drop must go below that");
            }
            r.dropTo(c.value, now);
            return reply(ok("drop relay " + std::to_string(address) + ' ' + std::to_string(before) +
                            " -> " + std::to_string(r.insulationReading(now))));
        }
        case Verb::Status: {
            if (!c.target) {
                return reply(
                    ok(std::string("link ") + (link_ == LinkKind::Tcp ? "tcp" : "rtu") +
                       " relays " + addressList(",") + " every " +
                       (nextEvent_ ? std::to_string(eventPeriod_.count()) + "ms" : "off")));
            }
            RelayState* s = state(c.target->address);
            const ReadResult protocol1 = s->relay->read(regs::kTripFirst, kTripWords, now);
            TripWords words{};
            std::copy(protocol1.words.begin(), protocol1.words.end(), words.begin());
            const TripRecord newest = decodeTrip(words);
            return reply(ok("relay " + std::to_string(c.target->address) + " requests " +
                            std::to_string(s->requests) + " answers " + std::to_string(s->answers) +
                            " faults " + s->faults.describe() + " clock " +
                            dateText(s->relay->clock(now)) + " status " +
                            hex16(s->relay->status(now)) + " protocol1 number " +
                            std::to_string(newest.number) + " date " + stampText(newest.at) + ' ' +
                            driftText(*s->relay, ' ')));
        }
        case Verb::Relays:
            return reply(ok(addressList(" ")));
        case Verb::CloseNow:
            if (link_ != LinkKind::Tcp) {
                return error("close needs a TCP link");
            }
            return {CommandResult::Action::CloseConnections, ""};
        case Verb::Help:
            return reply(ok(commandSummary()));
        case Verb::Quit:
            return {CommandResult::Action::Quit, "ok bye"};
    }
    return error("command not handled");
}

}  // namespace relaysim
