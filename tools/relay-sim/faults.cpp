#include "faults.h"

namespace relaysim {

namespace {
constexpr const char* kNames[kFaultKinds] = {"silent",    "late",  "badcrc",
                                             "exception", "split", "close"};
}

const char* faultName(Fault fault) {
    return kNames[static_cast<int>(fault)];
}

std::optional<Fault> faultFromName(const std::string& name) {
    for (int i = 0; i < kFaultKinds; ++i) {
        if (name == kNames[i]) {
            return static_cast<Fault>(i);
        }
    }
    return std::nullopt;
}

void FaultSet::switchOn(Fault fault, int parameter, std::optional<int> requests) {
    Setting& s = at(fault);
    s.on = true;
    s.parameter = parameter;
    s.remaining = requests.value_or(-1);
}

void FaultSet::switchOff(Fault fault) {
    at(fault) = Setting{};
}

void FaultSet::clear() {
    settings_.fill(Setting{});
}

bool FaultSet::active(Fault fault) const {
    return at(fault).on;
}

AppliedFaults FaultSet::takeForRequest() {
    AppliedFaults applied;
    for (int i = 0; i < kFaultKinds; ++i) {
        Setting& s = settings_[static_cast<size_t>(i)];
        if (!s.on) {
            continue;
        }
        switch (static_cast<Fault>(i)) {
            case Fault::Silent:
                applied.silent = true;
                break;
            case Fault::Late:
                applied.lateMs = s.parameter;
                break;
            case Fault::BadCrc:
                applied.badCrc = true;
                break;
            case Fault::Exception:
                applied.exception = static_cast<uint8_t>(s.parameter);
                break;
            case Fault::Split:
                applied.splitPauseMs = s.parameter;
                break;
            case Fault::Close:
                applied.close = true;
                break;
        }
        if (s.remaining > 0 && --s.remaining == 0) {
            s = Setting{};
        }
    }
    return applied;
}

std::string FaultSet::describe() const {
    std::string text;
    for (int i = 0; i < kFaultKinds; ++i) {
        const Setting& s = settings_[static_cast<size_t>(i)];
        if (!s.on) {
            continue;
        }
        if (!text.empty()) {
            text += ' ';
        }
        text += kNames[i];
        switch (static_cast<Fault>(i)) {
            case Fault::Late:
            case Fault::Split:
                text += '=' + std::to_string(s.parameter) + "ms";
                break;
            case Fault::Exception:
                text += '=' + std::to_string(s.parameter);
                break;
            default:
                text += "=on";
                break;
        }
        if (s.remaining > 0) {
            text += '(' + std::to_string(s.remaining) + " left)";
        }
    }
    return text.empty() ? "none" : text;
}

}  // namespace relaysim
