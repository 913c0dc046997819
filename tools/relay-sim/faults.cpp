#include "faults.h"

namespace relaysim {

namespace {
constexpr const char* kNames[kFaultKinds] = {"silent", "late",   "badcrc",  "exception", "split",
                                             "close",  "double", "foreign", "noise"};
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

std::string faultSettingText(Fault fault, int parameter, int pieces) {
    switch (fault) {
        case Fault::Late:
            return std::to_string(parameter) + "ms";
        case Fault::Split: {
            std::string text = std::to_string(parameter) + "ms";
            if (pieces != kDefaultSplitPieces) {
                text += ',' + std::to_string(pieces) + "pieces";
            }
            return text;
        }
        case Fault::Exception:
        case Fault::Foreign:
            return std::to_string(parameter);
        case Fault::Noise:
            return std::to_string(parameter) + '%';
        default:
            return "on";
    }
}

void FaultSet::switchOn(Fault fault, int parameter, std::optional<int> requests, int pieces) {
    Setting& s = at(fault);
    s.on = true;
    s.parameter = parameter;
    s.pieces = pieces;
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
                applied.splitPieces = s.pieces;
                break;
            case Fault::Close:
                applied.close = true;
                break;
            case Fault::Double:
                applied.twice = true;
                break;
            case Fault::Foreign:
                applied.foreignAddress = static_cast<uint8_t>(s.parameter);
                break;
            case Fault::Noise:
                applied.noisePercent = s.parameter;
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
        text += '=' + faultSettingText(static_cast<Fault>(i), s.parameter, s.pieces);
        if (s.remaining > 0) {
            text += '(' + std::to_string(s.remaining) + " left)";
        }
    }
    return text.empty() ? "none" : text;
}

}  // namespace relaysim
