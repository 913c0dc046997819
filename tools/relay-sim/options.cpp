#include "options.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <set>

#include "command.h"

namespace relaysim {

namespace {

constexpr int kBaudRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

bool loopback(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address);
        if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) {
            return true;
        }
        return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

bool splitHostPort(const std::string& text, std::string& host, uint16_t& port, std::string& error) {
    size_t colon = std::string::npos;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "bad --tcp '" + text + "': expected [IPV6]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        colon = close + 1;
    } else {
        colon = text.rfind(':');
        if (colon == std::string::npos) {
            error = "bad --tcp '" + text + "': expected HOST:PORT, e.g. 127.0.0.1:5020";
            return false;
        }
        host = text.substr(0, colon);
    }
    if (host.empty()) {
        error = "bad --tcp '" + text + "': no host before the port";
        return false;
    }
    const auto n = parseNumber(text.substr(colon + 1), 65535);
    if (!n || text.substr(colon + 1).rfind("0x", 0) == 0) {
        error = "bad port in --tcp '" + text + "': expected 0..65535 (0 picks a free port)";
        return false;
    }
    port = static_cast<uint16_t>(*n);
    return true;
}

bool parseSeconds(const std::string& text, double& seconds) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    return ec == std::errc() && end == text.data() + text.size() && std::isfinite(seconds) &&
           seconds >= 0.05 && seconds <= 86400;
}

// RELAY:SLOPE[:NOISE], RELAY an address or "all"; the address is checked against --relays
// once they are all known.
bool parseDrift(const std::string& text, DriftOption& drift, std::string& relay,
                std::string& error) {
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    const auto fail = [&](const std::string& why) {
        error = "bad --drift '" + text + "': " + why;
        return false;
    };
    if (first == std::string::npos) {
        return fail("expected RELAY:SLOPE[:NOISE], e.g. 2:-120 or all:-40:5");
    }
    relay = text.substr(0, first);
    const std::string slope = text.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    const auto perHour = parseDecimal(slope, -kMaxDriftPerHour, kMaxDriftPerHour);
    if (!perHour) {
        return fail("expected a slope of " + decimalText(-kMaxDriftPerHour) + ".." +
                    decimalText(kMaxDriftPerHour) + " kOhm per hour");
    }
    drift.kohmPerHour = *perHour;
    if (second != std::string::npos) {
        const auto noise = parseDecimal(text.substr(second + 1), 0, kMaxDriftNoise);
        if (!noise) {
            return fail("expected a noise of 0.." + decimalText(kMaxDriftNoise) + " kOhm");
        }
        drift.noiseKohm = *noise;
    }
    return true;
}

}  // namespace

bool isLoopbackHost(const std::string& host) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
        return false;
    }
    bool all = found != nullptr;
    for (addrinfo* ai = found; ai; ai = ai->ai_next) {
        all = all && loopback(ai->ai_addr);
    }
    freeaddrinfo(found);
    return all;
}

std::optional<std::vector<uint8_t>> parseRelayList(const std::string& text, std::string& error) {
    std::set<uint8_t> addresses;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        const size_t dash = item.find('-');
        const auto first = parseNumber(item.substr(0, dash), 246);
        const auto last =
            dash == std::string::npos ? first : parseNumber(item.substr(dash + 1), 246);
        if (!first || !last || *first < 1 || *last < *first) {
            error = "bad relay list '" + text + "' at '" + item +
                    "': expected addresses 1..246 such as 1,2,3 or 1-5";
            return std::nullopt;
        }
        for (uint32_t a = *first; a <= *last; ++a) {
            if (!addresses.insert(static_cast<uint8_t>(a)).second) {
                error = "bad relay list '" + text + "': relay " + std::to_string(a) +
                        " is listed twice";
                return std::nullopt;
            }
        }
        start = comma + 1;
    }
    return std::vector<uint8_t>(addresses.begin(), addresses.end());
}

ParsedOptions parseOptions(const std::vector<std::string>& args) {
    ParsedOptions parsed;
    Options& o = parsed.options;
    std::string& error = parsed.error;
    bool tcp = false;
    bool rtu = false;
    std::string eventRelay;
    std::vector<std::pair<std::string, std::string>> driftRelays;  // as given, and the option
    for (size_t i = 0; i < args.size() && error.empty(); ++i) {
        std::string name = args[i];
        std::optional<std::string> inlineValue;
        if (const size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        // Takes the option's value from "--name=value" or from the next argument.
        auto value = [&]() -> std::optional<std::string> {
            if (inlineValue) {
                return inlineValue;
            }
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return std::nullopt;
            }
            return args[++i];
        };
        auto flag = [&]() {
            if (inlineValue) {
                error = "option " + name + " takes no value";
            }
        };
        if (name == "--help" || name == "-h") {
            flag();
            o.help = true;
        } else if (name == "--tcp") {
            if (const auto v = value()) {
                tcp = true;
                o.link = LinkKind::Tcp;
                splitHostPort(*v, o.host, o.port, error);
            }
        } else if (name == "--any-host") {
            flag();
            o.anyHost = true;
        } else if (name == "--rtu") {
            if (const auto v = value()) {
                rtu = true;
                o.link = LinkKind::Rtu;
                o.ttyPath = *v;
                if (v->empty()) {
                    error = "bad --rtu: empty path";
                }
            }
        } else if (name == "--baud") {
            if (const auto v = value()) {
                const auto n = parseNumber(*v, 1000000);
                if (!n || std::find(std::begin(kBaudRates), std::end(kBaudRates),
                                    static_cast<int>(*n)) == std::end(kBaudRates)) {
                    error = "bad --baud '" + *v +
                            "': expected 1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200";
                } else {
                    o.baud = static_cast<int>(*n);
                }
            }
        } else if (name == "--parity") {
            if (const auto v = value()) {
                const std::string p = *v;
                if (p == "N" || p == "n" || p == "none") {
                    o.parity = 'N';
                } else if (p == "E" || p == "e" || p == "even") {
                    o.parity = 'E';
                } else if (p == "O" || p == "o" || p == "odd") {
                    o.parity = 'O';
                } else {
                    error = "bad --parity '" + p + "': expected none, even or odd";
                }
            }
        } else if (name == "--stop-bits") {
            if (const auto v = value()) {
                if (*v != "1" && *v != "2") {
                    error = "bad --stop-bits '" + *v + "': expected 1 or 2";
                } else {
                    o.stopBits = *v == "1" ? 1 : 2;
                }
            }
        } else if (name == "--relays") {
            if (const auto v = value()) {
                if (auto list = parseRelayList(*v, error)) {
                    o.relays = std::move(*list);
                }
            }
        } else if (name == "--event-every") {
            if (const auto v = value()) {
                double seconds = 0;
                if (!parseSeconds(*v, seconds)) {
                    error = "bad --event-every '" + *v + "': expected seconds from 0.05 to 86400";
                } else {
                    o.eventEvery = seconds;
                }
            }
        } else if (name == "--event-relay") {
            if (const auto v = value()) {
                eventRelay = *v;
            }
        } else if (name == "--seed") {
            if (const auto v = value()) {
                const auto n = parseNumber(*v, 0xFFFFFFFFu);
                if (!n) {
                    error = "bad --seed '" + *v + "': expected 0..4294967295";
                } else {
                    o.seed = *n;
                }
            }
        } else if (name == "--drift") {
            if (const auto v = value()) {
                DriftOption drift;
                std::string relay;
                if (parseDrift(*v, drift, relay, error)) {
                    o.drifts.push_back(drift);
                    driftRelays.emplace_back(relay, *v);
                }
            }
        } else if (name == "--history-end") {
            if (const auto v = value()) {
                o.historyEnd = parseLocalTime(*v);
                if (!o.historyEnd) {
                    error = "bad --history-end '" + *v +
                            "': expected a local date and time, e.g. 2026-12-07 14:05:09";
                }
            }
        } else if (name == "--control") {
            if (const auto v = value()) {
                o.controlPath = *v;
                if (v->empty()) {
                    error = "bad --control: empty path";
                }
            }
        } else if (name == "--no-stdin") {
            flag();
            o.readStdin = false;
        } else if (name == "--log") {
            flag();
            o.log = true;
        } else if (name.rfind("-", 0) == 0) {
            error = "unknown option " + name;
        } else {
            error = "unexpected argument '" + name + "'";
        }
    }
    if (!error.empty() || o.help) {
        return parsed;
    }
    if (tcp == rtu) {
        error = tcp ? "give either --tcp or --rtu, not both"
                    : "give --tcp HOST:PORT or --rtu PATH to say where to answer";
        return parsed;
    }
    if (tcp && !o.anyHost && !isLoopbackHost(o.host)) {
        error = "host " + o.host +
                " is not a loopback address; the simulator answers on 127.0.0.1 or ::1 "
                "unless --any-host is given";
        return parsed;
    }
    if (!eventRelay.empty() && eventRelay != "any") {
        const auto n = parseNumber(eventRelay, 246);
        if (!n || std::find(o.relays.begin(), o.relays.end(), *n) == o.relays.end()) {
            error = "bad --event-relay '" + eventRelay + "': expected any or one of the --relays";
            return parsed;
        }
        o.eventRelay = static_cast<uint8_t>(*n);
    }
    if (!eventRelay.empty() && !o.eventEvery) {
        error = "--event-relay needs --event-every";
        return parsed;
    }
    for (size_t i = 0; i < driftRelays.size(); ++i) {
        const auto& [relay, given] = driftRelays[i];
        if (relay == "all") {
            continue;
        }
        const auto n = parseNumber(relay, 246);
        if (!n || std::find(o.relays.begin(), o.relays.end(), *n) == o.relays.end()) {
            error = "bad --drift '" + given + "': relay '" + relay +
                    "' is not one of the --relays (or all)";
            return parsed;
        }
        o.drifts[i].relay = static_cast<uint8_t>(*n);
    }
    return parsed;
}

std::optional<CivilTime> parseLocalTime(const std::string& text) {
    // YYYY-MM-DD, a blank or T, HH:MM and optionally :SS: every field its fixed width.
    const bool withSeconds = text.size() == 19;
    if ((text.size() != 16 && !withSeconds) || text[4] != '-' || text[7] != '-' ||
        (text[10] != ' ' && text[10] != 'T') || text[13] != ':' ||
        (withSeconds && text[16] != ':')) {
        return std::nullopt;
    }
    auto field = [&text](size_t at, size_t width) -> std::optional<int> {
        int value = 0;
        const char* first = text.data() + at;
        const auto [end, ec] = std::from_chars(first, first + width, value);
        if (ec != std::errc() || end != first + width || *first == '-' || *first == '+') {
            return std::nullopt;
        }
        return value;
    };
    const auto year = field(0, 4);
    const auto month = field(5, 2);
    const auto day = field(8, 2);
    const auto hour = field(11, 2);
    const auto minute = field(14, 2);
    const auto second = withSeconds ? field(17, 2) : std::optional<int>(0);
    if (!year || !month || !day || !hour || !minute || !second || *year < 2000 || *year > 2099 ||
        *month < 1 || *month > 12 || *day < 1 || *day > daysInMonth(*year, *month) || *hour > 23 ||
        *minute > 59 || *second > 59) {
        return std::nullopt;
    }
    CivilTime t;
    t.year = *year;
    t.month = *month;
    t.day = *day;
    t.hour = *hour;
    t.minute = *minute;
    t.second = *second;
    t.weekday = weekdayOf(t.year, t.month, t.day);
    return t;
}

std::string usageText() {
    return R"(Usage: relay-sim (--tcp HOST:PORT | --rtu PATH) [options]

Simulated insulation-monitoring relays for the station: each answers Modbus function 3
(read holding registers) and 6 (write single register) on its own address, over Modbus TCP
(the unit identifier picks the relay) or over Modbus RTU on a tty (the address byte picks the
relay). Requests for addresses that are not simulated get no answer.

Where to answer:
  --tcp HOST:PORT      listen for Modbus TCP; PORT 0 picks a free port. HOST must be a loopback
                       address (127.0.0.1, ::1, localhost) unless --any-host is given.
  --any-host           allow any HOST for --tcp.
  --rtu PATH           serve Modbus RTU on the tty PATH, e.g. one end of a socat pty pair.
  --baud N             RTU speed: 1200 .. 115200 (default 38400).
  --parity none|even|odd   (default none)
  --stop-bits 1|2          (default 1)

Relays and events:
  --relays LIST        relay addresses, e.g. 1,2,3 or 1-5 or 1-3,7 (1..246; default 1).
  --event-every SEC    a new trip protocol every SEC seconds (0.05 .. 86400).
  --event-relay N|any  on relay N, or on one drawn at random each time (default any).
  --seed N             seed of the random draws (relay and sign of scheduled events, noise,
                       drift noise).
  --drift RELAY:SLOPE[:NOISE]   the insulation resistance of RELAY (or all) changes by SLOPE
                       kOhm per hour (negative falls), each reading up to NOISE kOhm off;
                       repeatable, e.g. --drift 2:-120 --drift 4:-60:10.
  --history-end TIME   the stored protocols end at this local time ("2026-12-07 14:05:09"),
                       not at the start: a simulator started again with the same TIME holds
                       the same protocols, and none newer than what a station saw before.

Control:
  --control PATH       also take commands on a Unix socket at PATH
                       (e.g. socat - UNIX-CONNECT:PATH); each line is answered there.
  --no-stdin           do not read commands from stdin (for running in the background).
  --log                one line on stderr for every request and answer.
  -h, --help           this text.

Once it answers, relay-sim prints one line on stdout and flushes it:
  listening tcp 127.0.0.1 5020      or      listening rtu /tmp/relay-line
Then it reads commands, one per line, from stdin and answers each with one line on stdout,
"ok ..." or "error ...". Blank lines and lines starting with # are skipped.

  event RELAY|any [SIGN]          new trip protocol 1, dated by the relay's clock; the others
                                  move down one slot and protocol 64 is lost. SIGN is the
                                  sign code of word 31 (default 1, trip relay).
  change RELAY|any down|up        new insulation-change protocol 1; the insulation resistance
                                  stays at its new value.
  silent RELAY|all on|off|K       no answer (K: for the next K requests to that relay).
  late RELAY|all MS [on|K]        answer MS milliseconds late; "late RELAY off" ends it.
  badcrc RELAY|all on|off|K       answer with a wrong CRC (RTU only).
  exception RELAY|all on|off|K [CODE]   exception response, CODE 1..255 (default 4).
  split RELAY|all on|off|K [MS] [PIECES]   answer in PIECES pieces (2..16, default 2; never
                                  more than it has bytes), MS apart (default 50).
  double RELAY|all on|off|K       the answer twice over, back to back in one write.
  foreign RELAY|all on|off|K [ADDRESS]   answer under another address (RTU, with a CRC that
                                  fits it) or unit identifier (TCP), ADDRESS 1..247;
                                  by default the relay's own plus 1, and 1 for relay 246.
  noise RELAY|all PERCENT|off     a wrong CRC on each answer with a chance of PERCENT
                                  (0..100), drawn from --seed (RTU only).
  close RELAY|all on|off|K        close the TCP connection instead of answering (TCP only).
  close                           drop every TCP connection now.
  clear RELAY|all                 every misbehaviour off.
  set RELAY REG VALUE             put VALUE into register REG (decimal or 0x..), past the
                                  relay's own range checks; a measured value stays put
                                  until unset, a clock register runs on from it.
  unset RELAY REG                 the measured value follows the simulation again.
  get RELAY REG [COUNT]           the values of COUNT registers (default 1), in decimal.
  every SEC [RELAY|any] | every off   change the event schedule.
  drift RELAY|all SLOPE [NOISE]   the insulation resistance changes by SLOPE kOhm per hour
                                  (-1000000..1000000, negative falls), within 0..65535, each
                                  reading up to NOISE kOhm off (default 0) drawn from --seed;
                                  "drift RELAY|all off" holds it where it is.
  drop RELAY|any KOHM             an insulation failure: the resistance reads KOHM at once
                                  (below what it reads now) and drifts on from there.
  status [RELAY]                  faults, counters, clock, newest protocol and drift of a relay.
  relays | help | quit

When stdin is a pipe or a terminal, its end stops relay-sim; from a file or /dev/null it is
read and relay-sim goes on. SIGTERM and SIGINT stop it too.

Exit status: 0 after quit or a signal, 1 when the line cannot be opened, 2 for bad arguments.
)";
}

}  // namespace relaysim
