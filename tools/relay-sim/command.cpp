#include "command.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

namespace relaysim {

namespace {

std::vector<std::string> split(std::string_view line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
        }
        const size_t start = i;
        while (i < line.size() && !std::isspace(static_cast<unsigned char>(line[i]))) {
            ++i;
        }
        if (i > start) {
            words.emplace_back(line.substr(start, i - start));
        }
    }
    return words;
}

std::string lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

struct Failure {
    std::string message;
};

// Throwing keeps each command's grammar readable as a straight line; nothing escapes parseCommand.
[[noreturn]] void fail(std::string message) {
    throw Failure{std::move(message)};
}

uint32_t number(const std::string& text, const char* what, uint32_t min, uint32_t max) {
    const auto n = parseNumber(text, max);
    if (!n || *n < min) {
        fail("bad " + std::string(what) + " '" + text + "': expected " + std::to_string(min) +
             ".." + std::to_string(max));
    }
    return *n;
}

double decimal(const std::string& text, const char* what, double min, double max,
               const char* unit) {
    const auto d = parseDecimal(text, min, max);
    if (!d) {
        fail("bad " + std::string(what) + " '" + text + "': expected " + decimalText(min) + ".." +
             decimalText(max) + ' ' + unit);
    }
    return *d;
}

Target target(const std::string& text, bool allowAll, bool allowAny) {
    const std::string t = lower(text);
    if (allowAll && t == "all") {
        return {Target::Kind::All, 0};
    }
    if (allowAny && (t == "any" || t == "random")) {
        return {Target::Kind::Any, 0};
    }
    const auto n = parseNumber(t, 246);
    if (!n || *n < 1) {
        std::string expected = "1..246";
        if (allowAll) {
            expected += " or all";
        }
        if (allowAny) {
            expected += " or any";
        }
        fail("bad relay '" + text + "': expected " + expected);
    }
    return {Target::Kind::One, static_cast<uint8_t>(*n)};
}

void argCount(const std::vector<std::string>& w, size_t min, size_t max, const char* usage) {
    if (w.size() < min || w.size() > max) {
        fail(std::string("usage: ") + usage);
    }
}

// "on", "off" or a number of requests.
void onOffOrCount(Command& c, const std::string& text) {
    const std::string t = lower(text);
    if (t == "on") {
        c.on = true;
    } else if (t == "off") {
        c.on = false;
    } else {
        c.on = true;
        c.requests = static_cast<int>(number(text, "request count", 1, 1000000));
    }
}

Command faultCommand(Fault fault, const std::vector<std::string>& w) {
    Command c;
    c.verb = Verb::SetFault;
    c.fault = fault;
    switch (fault) {
        case Fault::Late: {
            const char* usage = "late RELAY|all MS [on|K] | late RELAY|all off";
            argCount(w, 3, 4, usage);
            c.target = target(w[1], true, false);
            if (lower(w[2]) == "off") {
                argCount(w, 3, 3, usage);
                return c;
            }
            c.parameter = static_cast<int>(number(w[2], "delay", 0, 60000));
            c.on = c.parameter > 0;
            if (w.size() == 4) {
                onOffOrCount(c, w[3]);
                if (c.parameter == 0) {
                    c.on = false;
                }
            }
            return c;
        }
        case Fault::Exception:
        case Fault::Foreign: {
            const bool isException = fault == Fault::Exception;
            const char* usage = isException ? "exception RELAY|all on|off|K [CODE]"
                                            : "foreign RELAY|all on|off|K [ADDRESS]";
            argCount(w, 3, 4, usage);
            c.target = target(w[1], true, false);
            onOffOrCount(c, w[2]);
            c.parameter = isException ? 4 : 0;
            if (w.size() == 4) {
                if (!c.on) {
                    fail(std::string("usage: ") + usage);
                }
                // Any code fits the byte: the station must cope with codes no standard names.
                c.parameter = isException ? static_cast<int>(number(w[3], "exception code", 1, 255))
                                          : static_cast<int>(number(w[3], "address", 1, 247));
            }
            return c;
        }
        case Fault::Split: {
            const char* usage = "split RELAY|all on|off|K [PAUSE_MS] [PIECES]";
            argCount(w, 3, 5, usage);
            c.target = target(w[1], true, false);
            onOffOrCount(c, w[2]);
            c.parameter = 50;
            if (w.size() >= 4) {
                if (!c.on) {
                    fail(std::string("usage: ") + usage);
                }
                c.parameter = static_cast<int>(number(w[3], "pause", 1, 10000));
            }
            if (w.size() == 5) {
                c.pieces = static_cast<int>(number(w[4], "piece count", 2, kMaxSplitPieces));
            }
            return c;
        }
        case Fault::Noise: {
            argCount(w, 3, 3, "noise RELAY|all PERCENT|off");
            c.target = target(w[1], true, false);
            if (lower(w[2]) == "off") {
                return c;
            }
            std::string_view digits = w[2];
            if (digits.size() > 1 && digits.back() == '%') {
                digits.remove_suffix(1);
            }
            const auto percent = parseNumber(digits, 100);
            if (!percent) {
                fail("bad percentage '" + w[2] + "': expected 0..100 or off");
            }
            c.parameter = static_cast<int>(*percent);
            c.on = c.parameter > 0;
            return c;
        }
        default: {
            const std::string usage = std::string(faultName(fault)) + " RELAY|all on|off|K";
            argCount(w, 3, 3, usage.c_str());
            c.target = target(w[1], true, false);
            onOffOrCount(c, w[2]);
            return c;
        }
    }
}

Command parseWords(const std::vector<std::string>& w) {
    const std::string verb = lower(w[0]);
    Command c;
    if (verb == "event") {
        argCount(w, 2, 3, "event RELAY|any [SIGN]");
        c.verb = Verb::Event;
        c.target = target(w[1], false, true);
        if (w.size() == 3) {
            c.sign = static_cast<uint16_t>(number(w[2], "sign code", 0, 65535));
        }
        return c;
    }
    if (verb == "change") {
        argCount(w, 3, 3, "change RELAY|any down|up");
        c.verb = Verb::Change;
        c.target = target(w[1], false, true);
        const std::string kind = lower(w[2]);
        if (kind == "down" || kind == "decrease") {
            c.decrease = true;
        } else if (kind == "up" || kind == "increase") {
            c.decrease = false;
        } else {
            fail("bad kind of change '" + w[2] + "': expected down or up");
        }
        return c;
    }
    if (verb == "close" && w.size() == 1) {
        c.verb = Verb::CloseNow;
        return c;
    }
    if (const auto fault = faultFromName(verb)) {
        return faultCommand(*fault, w);
    }
    if (verb == "clear") {
        argCount(w, 2, 2, "clear RELAY|all");
        c.verb = Verb::Clear;
        c.target = target(w[1], true, false);
        return c;
    }
    if (verb == "set") {
        argCount(w, 4, 4, "set RELAY REGISTER VALUE");
        c.verb = Verb::Set;
        c.target = target(w[1], false, false);
        c.reg = static_cast<uint16_t>(number(w[2], "register", 0, 0xFFFF));
        c.value = static_cast<uint16_t>(number(w[3], "value", 0, 0xFFFF));
        return c;
    }
    if (verb == "unset") {
        argCount(w, 3, 3, "unset RELAY REGISTER");
        c.verb = Verb::Unset;
        c.target = target(w[1], false, false);
        c.reg = static_cast<uint16_t>(number(w[2], "register", 0, 0xFFFF));
        return c;
    }
    if (verb == "get") {
        argCount(w, 3, 4, "get RELAY REGISTER [COUNT]");
        c.verb = Verb::Get;
        c.target = target(w[1], false, false);
        c.reg = static_cast<uint16_t>(number(w[2], "register", 0, 0xFFFF));
        if (w.size() == 4) {
            c.count = static_cast<uint16_t>(number(w[3], "count", 1, 125));
        }
        return c;
    }
    if (verb == "every") {
        const char* usage = "every SECONDS [RELAY|any] | every off";
        argCount(w, 2, 3, usage);
        c.verb = Verb::Every;
        if (lower(w[1]) == "off") {
            argCount(w, 2, 2, usage);
            return c;
        }
        double seconds = 0;
        const auto [end, ec] = std::from_chars(w[1].data(), w[1].data() + w[1].size(), seconds);
        if (ec != std::errc() || end != w[1].data() + w[1].size() || !std::isfinite(seconds) ||
            seconds < 0.05 || seconds > 86400) {
            fail("bad period '" + w[1] + "': expected seconds from 0.05 to 86400");
        }
        c.seconds = seconds;
        c.target = w.size() == 3 ? target(w[2], false, true) : Target{Target::Kind::Any, 0};
        return c;
    }
    if (verb == "drift") {
        const char* usage = "drift RELAY|all SLOPE [NOISE] | drift RELAY|all off";
        argCount(w, 3, 4, usage);
        c.verb = Verb::Drift;
        c.target = target(w[1], true, false);
        if (lower(w[2]) == "off") {
            argCount(w, 3, 3, usage);
            return c;
        }
        c.on = true;
        c.kohmPerHour =
            decimal(w[2], "slope", -kMaxDriftPerHour, kMaxDriftPerHour, "kOhm per hour");
        if (w.size() == 4) {
            c.noiseKohm = decimal(w[3], "noise", 0, kMaxDriftNoise, "kOhm");
        }
        return c;
    }
    if (verb == "drop") {
        argCount(w, 3, 3, "drop RELAY|any KOHM");
        c.verb = Verb::Drop;
        c.target = target(w[1], false, true);
        c.value = static_cast<uint16_t>(number(w[2], "resistance", 0, 65535));
        return c;
    }
    if (verb == "status") {
        argCount(w, 1, 2, "status [RELAY]");
        c.verb = Verb::Status;
        if (w.size() == 2) {
            c.target = target(w[1], false, false);
        }
        return c;
    }
    if (verb == "relays" || verb == "help" || verb == "quit" || verb == "exit") {
        argCount(w, 1, 1, verb.c_str());
        c.verb = verb == "relays" ? Verb::Relays : verb == "help" ? Verb::Help : Verb::Quit;
        return c;
    }
    fail("unknown command '" + w[0] + "' (try help)");
}

}  // namespace

std::optional<uint32_t> parseNumber(std::string_view text, uint32_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end != text.data() + text.size() || value > max) {
        return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::optional<double> parseDecimal(std::string_view text, double min, double max) {
    // from_chars takes a minus but not a plus; people write both.
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') {
        text.remove_prefix(1);
    }
    double value = 0;
    const auto [end, ec] =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value) || value < min || value > max) {
        return std::nullopt;
    }
    return value == 0 ? 0.0 : value;  // no "-0" in replies
}

std::string decimalText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

ParsedLine parseCommand(std::string_view line) {
    ParsedLine parsed;
    const std::vector<std::string> words = split(line);
    if (words.empty() || words[0][0] == '#') {
        return parsed;
    }
    try {
        parsed.command = parseWords(words);
        parsed.kind = ParsedLine::Kind::Command;
    } catch (const Failure& f) {
        parsed.kind = ParsedLine::Kind::Error;
        parsed.error = f.message;
    }
    return parsed;
}

std::string commandSummary() {
    return "commands: event RELAY|any [SIGN]; change RELAY|any down|up; "
           "silent|badcrc|close|double RELAY|all on|off|K; late RELAY|all MS [on|K]|off; "
           "exception RELAY|all on|off|K [CODE]; split RELAY|all on|off|K [PAUSE_MS] [PIECES]; "
           "foreign RELAY|all on|off|K [ADDRESS]; noise RELAY|all PERCENT|off; "
           "clear RELAY|all; close; set RELAY REG VALUE; unset RELAY REG; get RELAY REG [COUNT]; "
           "every SECONDS [RELAY|any]|off; drift RELAY|all SLOPE [NOISE]|off; "
           "drop RELAY|any KOHM; status [RELAY]; relays; help; quit";
}

}  // namespace relaysim
