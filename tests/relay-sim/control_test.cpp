// Command line, control commands, faults and the simulator's decisions, without any line.
#include <gtest/gtest.h>

#include <algorithm>

#include "command.h"
#include "faults.h"
#include "options.h"
#include "simulator.h"

namespace relaysim {
namespace {

using namespace std::chrono_literals;

const TimePoint kStart = TimePoint{} + 1000h;
const CivilTime kNow{2026, 12, 7, 9, 0, 0, 1};

Command parsed(const std::string& line) {
    const ParsedLine p = parseCommand(line);
    EXPECT_EQ(p.kind, ParsedLine::Kind::Command) << line << ": " << p.error;
    return p.command;
}

std::string parseError(const std::string& line) {
    const ParsedLine p = parseCommand(line);
    EXPECT_EQ(p.kind, ParsedLine::Kind::Error) << line;
    return p.error;
}

TEST(CommandParser, FaultCommands) {
    Command c = parsed("silent 2 on");
    EXPECT_EQ(c.verb, Verb::SetFault);
    EXPECT_EQ(c.fault, Fault::Silent);
    EXPECT_EQ(c.target->address, 2);
    EXPECT_TRUE(c.on);
    EXPECT_FALSE(c.requests);

    c = parsed("badcrc 2 1");
    EXPECT_EQ(c.fault, Fault::BadCrc);
    EXPECT_TRUE(c.on);
    EXPECT_EQ(c.requests, 1);

    c = parsed("late 2 700");
    EXPECT_EQ(c.fault, Fault::Late);
    EXPECT_EQ(c.parameter, 700);
    EXPECT_TRUE(c.on);
    EXPECT_FALSE(c.requests);
    c = parsed("LATE all 700 3");
    EXPECT_EQ(c.target->kind, Target::Kind::All);
    EXPECT_EQ(c.requests, 3);
    EXPECT_FALSE(parsed("late 2 off").on);
    EXPECT_FALSE(parsed("late 2 0").on);

    c = parsed("exception 2 1");
    EXPECT_EQ(c.fault, Fault::Exception);
    EXPECT_EQ(c.requests, 1);
    EXPECT_EQ(c.parameter, 4);
    EXPECT_EQ(parsed("exception 2 on 6").parameter, 6);

    c = parsed("split 2 on");
    EXPECT_EQ(c.parameter, 50);
    EXPECT_EQ(parsed("split 2 2 120").parameter, 120);
    EXPECT_EQ(parsed("close 7 off").fault, Fault::Close);
    EXPECT_EQ(parsed("close").verb, Verb::CloseNow);
}

TEST(CommandParser, OtherCommands) {
    Command c = parsed("event 3");
    EXPECT_EQ(c.verb, Verb::Event);
    EXPECT_EQ(c.target->address, 3);
    EXPECT_FALSE(c.sign);
    EXPECT_EQ(parsed("event any 54").sign, 54);
    EXPECT_EQ(parsed("event random").target->kind, Target::Kind::Any);
    EXPECT_FALSE(parsed("change 3 up").decrease);
    EXPECT_TRUE(parsed("change 3 down").decrease);

    c = parsed("set 3 0x011B 250");
    EXPECT_EQ(c.verb, Verb::Set);
    EXPECT_EQ(c.reg, 0x011B);
    EXPECT_EQ(c.value, 250);
    EXPECT_EQ(parsed("set 3 283 0xFFFF").value, 0xFFFF);
    EXPECT_EQ(parsed("get 3 0x1000 32").count, 32);
    EXPECT_EQ(parsed("get 3 0x1000").count, 1);
    EXPECT_EQ(parsed("unset 3 0x011B").verb, Verb::Unset);

    c = parsed("every 2.5 4");
    EXPECT_DOUBLE_EQ(c.seconds, 2.5);
    EXPECT_EQ(c.target->address, 4);
    EXPECT_EQ(parsed("every 10").target->kind, Target::Kind::Any);
    EXPECT_EQ(parsed("every off").seconds, 0);
    EXPECT_FALSE(parsed("status").target);
    EXPECT_EQ(parsed("status 9").target->address, 9);
    EXPECT_EQ(parsed("  quit  ").verb, Verb::Quit);
    EXPECT_EQ(parsed("relays").verb, Verb::Relays);
    EXPECT_EQ(parseCommand("").kind, ParsedLine::Kind::Blank);
    EXPECT_EQ(parseCommand("   # a note").kind, ParsedLine::Kind::Blank);
}

TEST(CommandParser, BadLinesSayWhatIsWrong) {
    EXPECT_EQ(parseError("frobnicate 1"), "unknown command 'frobnicate' (try help)");
    EXPECT_NE(parseError("silent 0 on").find("bad relay '0'"), std::string::npos);
    EXPECT_NE(parseError("silent 247 on").find("1..246 or all"), std::string::npos);
    EXPECT_NE(parseError("event all").find("1..246 or any"), std::string::npos);
    EXPECT_NE(parseError("silent 2").find("usage: silent"), std::string::npos);
    EXPECT_NE(parseError("silent 2 sometimes").find("bad request count"), std::string::npos);
    EXPECT_NE(parseError("late 2 -5").find("bad delay"), std::string::npos);
    EXPECT_NE(parseError("late 2 60001").find("0..60000"), std::string::npos);
    EXPECT_NE(parseError("exception 2 on 256").find("exception code"), std::string::npos);
    EXPECT_NE(parseError("exception 2 off 3").find("usage"), std::string::npos);
    EXPECT_NE(parseError("set 2 0x10000 1").find("bad register"), std::string::npos);
    EXPECT_NE(parseError("set 2 0x0400 65536").find("bad value"), std::string::npos);
    EXPECT_NE(parseError("set 2 0x0400").find("usage"), std::string::npos);
    EXPECT_NE(parseError("get 2 0x1000 126").find("bad count"), std::string::npos);
    EXPECT_NE(parseError("every 0").find("bad period"), std::string::npos);
    EXPECT_NE(parseError("every soon").find("bad period"), std::string::npos);
    EXPECT_NE(parseError("change 2 sideways").find("down or up"), std::string::npos);
    EXPECT_NE(parseError("quit now").find("usage"), std::string::npos);
}

TEST(Options, GoodCommandLines) {
    ParsedOptions p = parseOptions({"--tcp", "127.0.0.1:0", "--relays", "1-3,7"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.link, LinkKind::Tcp);
    EXPECT_EQ(p.options.host, "127.0.0.1");
    EXPECT_EQ(p.options.port, 0);
    EXPECT_EQ(p.options.relays, (std::vector<uint8_t>{1, 2, 3, 7}));

    p = parseOptions({"--rtu=/tmp/line", "--baud", "9600", "--parity", "even", "--stop-bits", "2",
                      "--relays", "5,2", "--event-every", "0.5", "--event-relay", "5", "--seed",
                      "42", "--log", "--no-stdin", "--control", "/tmp/ctl"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(p.options.link, LinkKind::Rtu);
    EXPECT_EQ(p.options.ttyPath, "/tmp/line");
    EXPECT_EQ(p.options.baud, 9600);
    EXPECT_EQ(p.options.parity, 'E');
    EXPECT_EQ(p.options.stopBits, 2);
    EXPECT_EQ(p.options.relays, (std::vector<uint8_t>{2, 5}));
    EXPECT_DOUBLE_EQ(*p.options.eventEvery, 0.5);
    EXPECT_EQ(p.options.eventRelay, 5);
    EXPECT_EQ(p.options.seed, 42u);
    EXPECT_TRUE(p.options.log);
    EXPECT_FALSE(p.options.readStdin);
    EXPECT_EQ(p.options.controlPath, "/tmp/ctl");

    p = parseOptions({"--tcp", "127.0.0.1:0", "--relays", "1-3", "--drift", "2:-120",
                      "--drift=all:-2.5:5", "--drift", "3:+40:0"});
    ASSERT_EQ(p.error, "");
    ASSERT_EQ(p.options.drifts.size(), 3u);
    EXPECT_EQ(p.options.drifts[0].relay, 2);
    EXPECT_EQ(p.options.drifts[0].kohmPerHour, -120);
    EXPECT_EQ(p.options.drifts[0].noiseKohm, 0);
    EXPECT_FALSE(p.options.drifts[1].relay);
    EXPECT_EQ(p.options.drifts[1].kohmPerHour, -2.5);
    EXPECT_EQ(p.options.drifts[1].noiseKohm, 5);
    EXPECT_EQ(p.options.drifts[2].relay, 3);
    EXPECT_EQ(p.options.drifts[2].kohmPerHour, 40);

    p = parseOptions({"--tcp", "127.0.0.1:0", "--history-end", "2028-02-29 23:59:07"});
    ASSERT_EQ(p.error, "");
    ASSERT_TRUE(p.options.historyEnd);
    EXPECT_EQ(*p.options.historyEnd, (CivilTime{2028, 2, 29, 23, 59, 7, 2}));
    p = parseOptions({"--tcp", "127.0.0.1:0", "--history-end=2026-12-07T09:05"});
    ASSERT_EQ(p.error, "");
    EXPECT_EQ(*p.options.historyEnd, (CivilTime{2026, 12, 7, 9, 5, 0, 1}));

    EXPECT_EQ(parseOptions({"--tcp", "[::1]:502"}).options.host, "::1");
    EXPECT_EQ(parseOptions({"--tcp", "localhost:1502"}).error, "");
    EXPECT_EQ(parseOptions({"--tcp", "0.0.0.0:1502", "--any-host"}).error, "");
    EXPECT_TRUE(parseOptions({"--help"}).options.help);
}

TEST(Options, BadCommandLinesAreRefusedWithAReason) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, "give --tcp HOST:PORT or --rtu PATH"},
        {{"--tcp", "127.0.0.1:1", "--rtu", "/dev/null"}, "not both"},
        {{"--tcp", "10.1.2.3:502"}, "not a loopback address"},
        {{"--tcp", "0.0.0.0:502"}, "not a loopback address"},
        {{"--tcp", "127.0.0.1"}, "expected HOST:PORT"},
        {{"--tcp", "127.0.0.1:65536"}, "bad port"},
        {{"--tcp", ":502"}, "no host"},
        {{"--tcp"}, "needs a value"},
        {{"--rtu", "/dev/x", "--baud", "12345"}, "bad --baud"},
        {{"--rtu", "/dev/x", "--parity", "mark"}, "bad --parity"},
        {{"--tcp", "127.0.0.1:0", "--relays", "0"}, "bad relay list"},
        {{"--tcp", "127.0.0.1:0", "--relays", "247"}, "bad relay list"},
        {{"--tcp", "127.0.0.1:0", "--relays", "5-3"}, "bad relay list"},
        {{"--tcp", "127.0.0.1:0", "--relays", "1,,2"}, "bad relay list"},
        {{"--tcp", "127.0.0.1:0", "--relays", "1-3,2"}, "relay 2 is listed twice"},
        {{"--tcp", "127.0.0.1:0", "--event-every", "0"}, "bad --event-every"},
        {{"--tcp", "127.0.0.1:0", "--event-every", "5", "--event-relay", "9"}, "bad --event-relay"},
        {{"--tcp", "127.0.0.1:0", "--event-relay", "1"}, "needs --event-every"},
        {{"--tcp", "127.0.0.1:0", "--seed", "x"}, "bad --seed"},
        {{"--tcp", "127.0.0.1:0", "--log=yes"}, "takes no value"},
        {{"--tcp", "127.0.0.1:0", "--colour"}, "unknown option --colour"},
        {{"--tcp", "127.0.0.1:0", "extra"}, "unexpected argument 'extra'"},
        {{"--tcp", "127.0.0.1:0", "--drift", "1"}, "bad --drift '1': expected RELAY:SLOPE"},
        {{"--tcp", "127.0.0.1:0", "--drift", "1:fast"}, "expected a slope of -1000000..1000000"},
        {{"--tcp", "127.0.0.1:0", "--drift", "1:-2000000"}, "expected a slope of"},
        {{"--tcp", "127.0.0.1:0", "--drift", "1:-5:-1"}, "expected a noise of 0..65535"},
        {{"--tcp", "127.0.0.1:0", "--drift", "1:-5:"}, "expected a noise of"},
        {{"--tcp", "127.0.0.1:0", "--relays", "1-3", "--drift", "4:-5"},
         "bad --drift '4:-5': relay '4' is not one of the --relays (or all)"},
        {{"--tcp", "127.0.0.1:0", "--drift", "any:-5"}, "relay 'any' is not one of"},
        {{"--tcp", "127.0.0.1:0", "--history-end", "2026-12-07"}, "bad --history-end"},
        {{"--tcp", "127.0.0.1:0", "--history-end", "2027-02-29 10:00"}, "bad --history-end"},
        {{"--tcp", "127.0.0.1:0", "--history-end", "2026-12-07 24:00"}, "bad --history-end"},
        {{"--tcp", "127.0.0.1:0", "--history-end", "1999-12-31 10:00"}, "bad --history-end"},
        {{"--tcp", "127.0.0.1:0", "--history-end", "2026-12-07 10:00:5x"}, "bad --history-end"},
        {{"--tcp", "127.0.0.1:0", "--history-end", "2026-1-07 10:00:05"}, "bad --history-end"},
        {{"--tcp", "127.0.0.1:0", "--history-end", "2026-12-07 +9:00"}, "bad --history-end"},
    };
    for (const auto& [args, message] : cases) {
        const std::string error = parseOptions(args).error;
        EXPECT_NE(error.find(message), std::string::npos)
            << "for " << ::testing::PrintToString(args) << " got: " << error;
    }
}

TEST(FaultSet, CountsRequestsAndSwitchesItselfOff) {
    FaultSet faults;
    EXPECT_FALSE(faults.takeForRequest().any());
    faults.switchOn(Fault::Silent, 0, 2);
    faults.switchOn(Fault::Late, 700, std::nullopt);
    faults.switchOn(Fault::Exception, 6, 1);
    EXPECT_EQ(faults.describe(), "silent=on(2 left) late=700ms exception=6(1 left)");
    AppliedFaults a = faults.takeForRequest();
    EXPECT_TRUE(a.silent);
    EXPECT_EQ(a.lateMs, 700);
    EXPECT_EQ(a.exception, 6);
    a = faults.takeForRequest();
    EXPECT_TRUE(a.silent);
    EXPECT_EQ(a.exception, 0);  // its one request was the first, silent or not
    a = faults.takeForRequest();
    EXPECT_FALSE(a.silent);
    EXPECT_EQ(a.lateMs, 700);
    faults.switchOff(Fault::Late);
    EXPECT_FALSE(faults.takeForRequest().any());
    faults.switchOn(Fault::Split, 80, std::nullopt);
    faults.switchOn(Fault::BadCrc, 0, std::nullopt);
    faults.clear();
    EXPECT_EQ(faults.describe(), "none");
}

TEST(Simulator, AnswersItsRelaysAndNoOneElse) {
    Simulator sim(LinkKind::Tcp, {1, 2}, kNow, kStart, 1);
    Decision d = sim.handle({2, 3, 0x0100, 48}, kStart);
    EXPECT_EQ(d.action, Decision::Action::Answer);
    EXPECT_EQ(d.exception, 0);
    ASSERT_EQ(d.words.size(), 48u);
    EXPECT_EQ(d.words[1], 2402);
    EXPECT_EQ(sim.handle({3, 3, 0x0100, 48}, kStart).action, Decision::Action::Ignore);
    EXPECT_EQ(sim.handle({0, 6, 0x0408, 1}, kStart).action, Decision::Action::Ignore);

    d = sim.handle({1, 6, 0x0408, 321}, kStart);
    EXPECT_EQ(d.action, Decision::Action::Answer);
    EXPECT_EQ(d.exception, 0);
    EXPECT_EQ(sim.relay(1)->read(0x0408, 1, kStart).words[0], 321);
    EXPECT_EQ(sim.handle({1, 6, 0x0100, 1}, kStart).exception, 2);
    EXPECT_EQ(sim.handle({1, 3, 0x0100, 200}, kStart).exception, 3);
    EXPECT_EQ(sim.handle({1, 16, 0x0400, 2}, kStart).exception, 1);
}

TEST(Simulator, BroadcastWritesReachEveryRelayOnASerialLine) {
    Simulator sim(LinkKind::Rtu, {1, 2, 3}, kNow, kStart, 1);
    EXPECT_EQ(sim.handle({0, 6, 0x0409, 77}, kStart).action, Decision::Action::Ignore);
    for (uint8_t a : {1, 2, 3}) {
        EXPECT_EQ(sim.relay(a)->read(0x0409, 1, kStart).words[0], 77);
    }
}

TEST(Simulator, FaultsShapeTheDecision) {
    Simulator sim(LinkKind::Rtu, {1, 2}, kNow, kStart, 1);
    auto run = [&](const std::string& line) { return sim.execute(parsed(line), kStart).reply; };
    EXPECT_EQ(run("exception 1 1 3"), "ok relay 1 exception=3 for 1 request");
    // An exception answer means the relay did not carry the write out.
    Decision d = sim.handle({1, 6, 0x0408, 999}, kStart);
    EXPECT_EQ(d.exception, 3);
    EXPECT_EQ(sim.relay(1)->read(0x0408, 1, kStart).words[0], 500);

    EXPECT_EQ(run("silent all 1"), "ok all relays silent=on for 1 request");
    EXPECT_EQ(sim.handle({1, 3, 0x0100, 1}, kStart).action, Decision::Action::Ignore);
    EXPECT_EQ(sim.handle({2, 3, 0x0100, 1}, kStart).action, Decision::Action::Ignore);
    EXPECT_EQ(sim.handle({2, 3, 0x0100, 1}, kStart).action, Decision::Action::Answer);

    run("late 2 300");
    run("badcrc 2 on");
    run("split 2 on 70");
    d = sim.handle({2, 3, 0x0100, 1}, kStart);
    EXPECT_EQ(d.delayMs, 300);
    EXPECT_TRUE(d.badCrc);
    EXPECT_EQ(d.splitPauseMs, 70);
    EXPECT_EQ(run("clear 2"), "ok relay 2 without faults");
    d = sim.handle({2, 3, 0x0100, 1}, kStart);
    EXPECT_EQ(d.delayMs, 0);
    EXPECT_FALSE(d.badCrc);
    EXPECT_FALSE(d.splitPauseMs);

    EXPECT_EQ(run("close 2 on").rfind("error close needs a TCP link", 0), 0u);
    EXPECT_EQ(run("silent 9 on"), "error no relay 9 (relays: 1 2)");
    EXPECT_EQ(sim.execute(parsed("close"), kStart).reply.rfind("error", 0), 0u);
}

TEST(Simulator, TcpRefusesWhatOnlyASerialLineHas) {
    Simulator sim(LinkKind::Tcp, {1}, kNow, kStart, 1);
    EXPECT_EQ(sim.execute(parsed("badcrc 1 on"), kStart).reply.rfind("error badcrc needs", 0), 0u);
    EXPECT_EQ(sim.execute(parsed("close 1 1"), kStart).reply, "ok relay 1 close=on for 1 request");
    EXPECT_EQ(sim.handle({1, 3, 0x0100, 1}, kStart).action, Decision::Action::CloseConnection);
    EXPECT_EQ(sim.execute(parsed("close"), kStart).action, CommandResult::Action::CloseConnections);
    // The broadcast address means nothing on TCP: unit 0 is simply not a relay.
    sim.handle({0, 6, 0x0409, 77}, kStart);
    EXPECT_EQ(sim.relay(1)->read(0x0409, 1, kStart).words[0], 10);
}

// A control line answered the way relay-sim answers it: parse errors and simulator replies alike.
std::string answer(Simulator& sim, const std::string& line) {
    const ParsedLine p = parseCommand(line);
    if (p.kind == ParsedLine::Kind::Error) {
        return "error " + p.error;
    }
    return sim.execute(p.command, kStart).reply;
}

TEST(Simulator, FaultCommandReplies) {
    struct Case {
        LinkKind link;
        const char* line;
        const char* reply;
    };
    constexpr LinkKind rtu = LinkKind::Rtu;
    constexpr LinkKind tcp = LinkKind::Tcp;
    const Case cases[] = {
        {rtu, "split 2 on", "ok relay 2 split=50ms"},
        {rtu, "split 2 1 70", "ok relay 2 split=70ms for 1 request"},
        {tcp, "split all 3 20 4", "ok all relays split=20ms,4pieces for 3 requests"},
        {rtu, "split 2 on 20 2", "ok relay 2 split=20ms"},
        {rtu, "split 2 on 20 16", "ok relay 2 split=20ms,16pieces"},
        {rtu, "split 2 on 20 1", "error bad piece count '1': expected 2..16"},
        {rtu, "split 2 on 20 17", "error bad piece count '17': expected 2..16"},
        {rtu, "split 2 off 20", "error usage: split RELAY|all on|off|K [PAUSE_MS] [PIECES]"},
        {rtu, "split 2 on 20 3 1", "error usage: split RELAY|all on|off|K [PAUSE_MS] [PIECES]"},
        {rtu, "double 2 on", "ok relay 2 double=on"},
        {tcp, "double all 2", "ok all relays double=on for 2 requests"},
        {tcp, "double 2 off", "ok relay 2 double=off"},
        {rtu, "double 2 on 3", "error usage: double RELAY|all on|off|K"},
        {rtu, "foreign 2 1", "ok relay 2 foreign=3 for 1 request"},
        {rtu, "foreign 245 on", "ok relay 245 foreign=246"},
        {tcp, "foreign 246 on", "ok relay 246 foreign=1"},
        {rtu, "foreign all on", "ok all relays foreign=next"},
        {tcp, "foreign 2 on 247", "ok relay 2 foreign=247"},
        {rtu, "foreign all 5 1", "ok all relays foreign=1 for 5 requests"},
        {rtu, "foreign 2 on 2", "error foreign address 2 is relay 2's own"},
        {rtu, "foreign all on 245", "error foreign address 245 is relay 245's own"},
        {rtu, "foreign 2 on 0", "error bad address '0': expected 1..247"},
        {rtu, "foreign 2 on 248", "error bad address '248': expected 1..247"},
        {rtu, "foreign 2 off 5", "error usage: foreign RELAY|all on|off|K [ADDRESS]"},
        {rtu, "exception 2 on 200", "ok relay 2 exception=200"},
        {tcp, "exception 2 1 255", "ok relay 2 exception=255 for 1 request"},
        {rtu, "exception 2 on 256", "error bad exception code '256': expected 1..255"},
        {rtu, "exception 2 on 0", "error bad exception code '0': expected 1..255"},
        {rtu, "noise 2 25", "ok relay 2 noise=25%"},
        {rtu, "noise all 100%", "ok all relays noise=100%"},
        {rtu, "noise 2 0", "ok relay 2 noise=off"},
        {rtu, "noise 2 off", "ok relay 2 noise=off"},
        {tcp, "noise 2 25", "error noise needs an RTU line: Modbus TCP carries no CRC"},
        {tcp, "noise all off", "ok all relays noise=off"},
        {rtu, "noise 2 101", "error bad percentage '101': expected 0..100 or off"},
        {rtu, "noise 2 on", "error bad percentage 'on': expected 0..100 or off"},
        {rtu, "noise 2 %", "error bad percentage '%': expected 0..100 or off"},
        {rtu, "noise 2 5 3", "error usage: noise RELAY|all PERCENT|off"},
        {rtu, "noise 9 5", "error no relay 9 (relays: 2 245 246)"},
    };
    for (const Case& c : cases) {
        Simulator sim(c.link, {2, 245, 246}, kNow, kStart, 1);
        EXPECT_EQ(answer(sim, c.line), c.reply) << (c.link == rtu ? "rtu: " : "tcp: ") << c.line;
    }
}

TEST(Simulator, DriftAndDropCommands) {
    const std::pair<const char*, const char*> cases[] = {
        {"drift 2 -120", "ok relay 2 drift=-120kOhm/h"},
        {"drift all -2.5 5", "ok all relays drift=-2.5kOhm/h,noise=5kOhm"},
        {"drift 2 +40", "ok relay 2 drift=40kOhm/h"},
        {"drift 2 0 10", "ok relay 2 drift=0kOhm/h,noise=10kOhm"},
        {"drift 2 -1000000 65535", "ok relay 2 drift=-1000000kOhm/h,noise=65535kOhm"},
        {"drift 2 0", "ok relay 2 drift=off"},
        {"drift all off", "ok all relays drift=off"},
        {"drift 2 -1000001",
         "error bad slope '-1000001': expected -1000000..1000000 kOhm per hour"},
        {"drift 2 fast", "error bad slope 'fast': expected -1000000..1000000 kOhm per hour"},
        {"drift 2 +-5", "error bad slope '+-5': expected -1000000..1000000 kOhm per hour"},
        {"drift 2 nan", "error bad slope 'nan': expected -1000000..1000000 kOhm per hour"},
        {"drift 2 -5 -1", "error bad noise '-1': expected 0..65535 kOhm"},
        {"drift 2 off 5", "error usage: drift RELAY|all SLOPE [NOISE] | drift RELAY|all off"},
        {"drift 2", "error usage: drift RELAY|all SLOPE [NOISE] | drift RELAY|all off"},
        {"drift any -5", "error bad relay 'any': expected 1..246 or all"},
        {"drift 9 -5", "error no relay 9 (relays: 2 245 246)"},
        // Relay 2 reads 1214 kΩ at the start: its nominal 1174 on the crest of its waves.
        {"drop 2 300", "ok drop relay 2 1214 -> 300"},
        {"drop 2 0", "ok drop relay 2 1214 -> 0"},
        {"drop 2 1214", "error relay 2 reads 1214 kOhm now: a drop must go below that"},
        {"drop all 300", "error bad relay 'all': expected 1..246 or any"},
        {"drop 2 65536", "error bad resistance '65536': expected 0..65535"},
        {"drop 2", "error usage: drop RELAY|any KOHM"},
        {"drop any 60000", "error no relay reads more than 60000 kOhm now"},
    };
    for (const auto& [line, expected] : cases) {
        Simulator sim(LinkKind::Tcp, {2, 245, 246}, kNow, kStart, 1);
        EXPECT_EQ(answer(sim, line), expected) << line;
    }

    Simulator sim(LinkKind::Tcp, {2, 245, 246}, kNow, kStart, 1);
    EXPECT_NE(answer(sim, "status 2").find(" drift off"), std::string::npos);
    answer(sim, "drift 2 -120 5");
    const std::string status = answer(sim, "status 2");
    EXPECT_EQ(status.substr(status.size() - 29), " drift -120kOhm/h,noise=5kOhm") << status;
    // Only relay 246 has as far to fall as "any" asks.
    answer(sim, "drop 2 100");
    answer(sim, "drop 245 100");
    EXPECT_EQ(answer(sim, "drop any 150").rfind("ok drop relay 246 ", 0), 0u);
    EXPECT_EQ(answer(sim, "drop any 150"), "error no relay reads more than 150 kOhm now");
}

TEST(Simulator, FaultsCombineInOneAnswerAndShowInStatus) {
    Simulator sim(LinkKind::Rtu, {2, 246}, kNow, kStart, 1);
    for (const char* line : {"split 2 3 20 4", "double 2 on", "foreign all 1", "exception 2 on 200",
                             "noise 2 100", "late 2 300 2", "badcrc 246 on"}) {
        ASSERT_EQ(answer(sim, line).rfind("ok ", 0), 0u) << line;
    }
    const std::string status = answer(sim, "status 2");
    EXPECT_NE(status.find(" faults late=300ms(2 left) exception=200 split=20ms,4pieces(3 left) "
                          "double=on foreign=3(1 left) noise=100% clock "),
              std::string::npos)
        << status;
    EXPECT_NE(answer(sim, "status 246").find(" faults badcrc=on foreign=1(1 left) clock "),
              std::string::npos);

    Decision d = sim.handle({2, 6, 0x0408, 999}, kStart);
    EXPECT_EQ(d.action, Decision::Action::Answer);
    EXPECT_EQ(d.exception, 200);
    EXPECT_EQ(d.delayMs, 300);
    EXPECT_EQ(d.splitPauseMs, 20);
    EXPECT_EQ(d.splitPieces, 4);
    EXPECT_TRUE(d.twice);
    EXPECT_EQ(d.foreignAddress, 3);
    EXPECT_TRUE(d.badCrc);
    EXPECT_TRUE(d.noisy);
    EXPECT_EQ(sim.relay(2)->read(0x0408, 1, kStart).words[0], 500) << "refused, not carried out";

    d = sim.handle({2, 3, 0x0400, 1}, kStart);
    EXPECT_EQ(d.foreignAddress, 0) << "foreign was for one request";
    EXPECT_TRUE(d.twice);
    EXPECT_EQ(answer(sim, "clear 2"), "ok relay 2 without faults");
    d = sim.handle({2, 3, 0x0400, 1}, kStart);
    EXPECT_FALSE(d.twice || d.badCrc || d.noisy || d.splitPauseMs || d.exception || d.delayMs);
    EXPECT_NE(answer(sim, "status 2").find(" faults none clock "), std::string::npos);
}

// Which of the next `count` answers of `relay` have their CRC spoilt by noise.
std::string noisePattern(Simulator& sim, uint8_t relay, int count) {
    std::string pattern;
    for (int i = 0; i < count; ++i) {
        const Decision d = sim.handle({relay, 3, 0x0400, 1}, kStart);
        EXPECT_EQ(d.action, Decision::Action::Answer);
        pattern += d.badCrc ? 'x' : '.';
    }
    return pattern;
}

TEST(Simulator, NoiseFollowsTheSeedRelayByRelay) {
    Simulator sim(LinkKind::Rtu, {1, 2}, kNow, kStart, 42);
    answer(sim, "noise all 100");
    EXPECT_EQ(noisePattern(sim, 1, 50), std::string(50, 'x'));
    answer(sim, "noise all 0");
    EXPECT_EQ(noisePattern(sim, 1, 50), std::string(50, '.'));

    answer(sim, "noise all 30");
    const std::string many = noisePattern(sim, 1, 2000);
    const auto spoilt = std::count(many.begin(), many.end(), 'x');
    EXPECT_GT(spoilt, 450);
    EXPECT_LT(spoilt, 750);

    // The same seed gives the same noise, whatever the station asks of the other relays
    // in between; another seed gives other noise.
    auto pattern = [](uint32_t seed, bool pollRelay1Too) {
        Simulator s(LinkKind::Rtu, {1, 2}, kNow, kStart, seed);
        answer(s, "noise all 50");
        std::string p;
        for (int i = 0; i < 64; ++i) {
            if (pollRelay1Too) {
                noisePattern(s, 1, i % 3);
            }
            p += noisePattern(s, 2, 1);
        }
        return p;
    };
    const std::string first = pattern(7, false);
    EXPECT_NE(first.find('x'), std::string::npos);
    EXPECT_NE(first.find('.'), std::string::npos);
    EXPECT_EQ(pattern(7, true), first);
    EXPECT_NE(pattern(8, false), first);
}

TEST(Simulator, ControlCommandsReadAndChangeTheRelays) {
    Simulator sim(LinkKind::Tcp, {1, 2, 3}, kNow, kStart, 1);
    auto run = [&](const std::string& line) {
        return sim.execute(parsed(line), kStart + 30s).reply;
    };
    EXPECT_EQ(run("relays"), "ok 1 2 3");
    EXPECT_EQ(run("get 2 0x0109 7"), "ok 30 0 9 1 7 12 2026");
    EXPECT_EQ(run("event 2 3"), "ok event relay 2 number 62 date 07/12 09:00:30 sign 3");
    EXPECT_EQ(run("get 2 0x101F"), "ok 3");
    EXPECT_EQ(run("set 2 0x011B 250"), "ok relay 2 0x011B=250");
    EXPECT_EQ(run("get 2 0x011B"), "ok 250");
    EXPECT_EQ(run("unset 2 0x011B"), "ok relay 2 0x011B measured again");
    EXPECT_EQ(run("unset 2 0x011B").rfind("error", 0), 0u);
    EXPECT_EQ(run("set 2 0x0200 1"), "error relay has no register 0x0200");
    EXPECT_EQ(run("get 2 0x0120 32"), "error relay cannot read 32 registers from 0x0120");
    EXPECT_EQ(run("set 2 0x010E 0"), "ok relay 2 0x010E=0");  // month 0, past the checks
    EXPECT_EQ(run("get 2 0x010E"), "ok 0");
    EXPECT_EQ(run("status 2").rfind("ok relay 2 requests 0 answers 0 faults none clock ", 0), 0u);
    EXPECT_NE(run("status 2").find("protocol1 number 62 date 07/12 09:00:30"), std::string::npos);
    EXPECT_EQ(run("status"), "ok link tcp relays 1,2,3 every off");
    EXPECT_EQ(run("quit"), "ok bye");
}

TEST(Simulator, ScheduledEventsComeOnTime) {
    Simulator sim(LinkKind::Tcp, {1, 2, 3}, kNow, kStart, 7);
    sim.scheduleEvents(2.0, std::nullopt, kStart);
    EXPECT_EQ(sim.nextEventDue(), kStart + 2s);
    EXPECT_TRUE(sim.runDueEvents(kStart + 1999ms).empty());
    std::set<std::string> relays;
    for (int i = 1; i <= 30; ++i) {
        const auto made = sim.runDueEvents(kStart + std::chrono::seconds(2 * i));
        ASSERT_EQ(made.size(), 1u);
        relays.insert(made[0].substr(0, made[0].find(" number")));
    }
    EXPECT_EQ(relays.size(), 3u) << "a random relay each time";
    int total = 0;
    for (uint8_t a : {1, 2, 3}) {
        total += (sim.relay(a)->read(0x1000, 1, kStart).words[0] >> 8) - 61;
    }
    EXPECT_EQ(total, 30);

    sim.scheduleEvents(1.0, 2, kStart + 100s);
    const auto made = sim.runDueEvents(kStart + 101s);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].rfind("event relay 2 ", 0), 0u);
    sim.scheduleEvents(0, std::nullopt, kStart);
    EXPECT_FALSE(sim.nextEventDue());
}

}  // namespace
}  // namespace relaysim
