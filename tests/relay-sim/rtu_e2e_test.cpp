// The real relay-sim on one end of a socat pty pair; the test is the station at the other end.
#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>

#include "command.h"
#include "sim_process.h"
#include "simulator.h"

namespace relaysim::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class RtuEndToEnd : public ::testing::Test {
  protected:
    PtyPair line;
    Simulator sim{{"--rtu", line.simulatorEnd(), "--relays", "1,2,7"}};
};

const Bytes kReadStatusOfRelay1 = {0x01, 0x03, 0x01, 0x00, 0x00, 0x30, 0x44, 0x22};

Bytes readRequest(uint8_t address, uint16_t first, uint16_t count) {
    return withCrc({address, 0x03, static_cast<uint8_t>(first >> 8), static_cast<uint8_t>(first),
                    static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count)});
}

Bytes joined(std::initializer_list<Bytes> frames) {
    Bytes all;
    for (const Bytes& f : frames) {
        all.insert(all.end(), f.begin(), f.end());
    }
    return all;
}

TEST_F(RtuEndToEnd, EveryAddressAnswersForItselfAndOthersStaySilent) {
    EXPECT_EQ(sim.listening(), "listening rtu " + line.simulatorEnd());
    auto client = rtuClient(line.stationEnd(), 1);
    for (int address : {1, 2, 7}) {
        modbus_set_slave(client.get(), address);
        const auto block = readRegisters(client.get(), 0x0100, 48);
        ASSERT_EQ(block.size(), 48u) << "address " << address;
        EXPECT_EQ(block[1], 2400 + address);
    }
    modbus_set_slave(client.get(), 3);
    setResponseTimeout(client.get(), 300ms);
    int error = 0;
    EXPECT_TRUE(readRegisters(client.get(), 0x0100, 48, &error).empty());
    EXPECT_EQ(error, ETIMEDOUT);

    modbus_set_slave(client.get(), 7);
    setResponseTimeout(client.get(), 1000ms);
    EXPECT_EQ(modbus_write_register(client.get(), 0x0416, 4500), 1);
    EXPECT_EQ(readRegisters(client.get(), 0x0416, 1)[0], 4500);
    EXPECT_EQ(readRegisters(client.get(), 0x1000, 32).size(), 32u);
    EXPECT_EQ(readRegisters(client.get(), 0x3000 + 63 * 8, 8).size(), 8u);
}

TEST_F(RtuEndToEnd, StationShapedRequestsAndDamagedOnes) {
    RawLine raw(line.stationEnd());
    raw.send(kReadStatusOfRelay1);
    const Bytes answer = raw.receive(101, 1000ms);
    ASSERT_EQ(answer.size(), 101u);
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 3), (Bytes{0x01, 0x03, 96}));
    EXPECT_TRUE(crcGood(answer));
    EXPECT_TRUE(raw.receiveFor(50ms).empty()) << "nothing beyond the frame";

    // A request with a damaged CRC is not answered; the next good one is.
    Bytes damaged = kReadStatusOfRelay1;
    damaged[7] ^= 0x40;
    raw.send(damaged);
    EXPECT_TRUE(raw.receiveFor(300ms).empty());
    raw.send(kReadStatusOfRelay1);
    EXPECT_EQ(raw.receive(101, 1000ms).size(), 101u);

    // The echo of a write is the request itself.
    const Bytes write = withCrc({0x02, 0x06, 0x04, 0x00, 0x00, 0x1E});
    raw.send(write);
    EXPECT_EQ(raw.receive(8, 1000ms), write);

    // A broadcast write reaches every relay and nobody answers it.
    raw.send(withCrc({0x00, 0x06, 0x04, 0x09, 0x00, 0x2A}));
    EXPECT_TRUE(raw.receiveFor(200ms).empty());
    for (int relay : {1, 2, 7}) {
        EXPECT_EQ(sim.command("get " + std::to_string(relay) + " 0x0409"), "ok 42");
    }

    // A function the relays do not have.
    raw.send(withCrc({0x07, 0x04, 0x01, 0x00, 0x00, 0x01}));
    EXPECT_EQ(raw.receive(5, 1000ms), withCrc({0x07, 0x84, 0x01}));
}

TEST_F(RtuEndToEnd, MisbehavesAsAsked) {
    auto client = rtuClient(line.stationEnd(), 2);
    EXPECT_EQ(sim.command("badcrc 2 1"), "ok relay 2 badcrc=on for 1 request");
    int error = 0;
    EXPECT_TRUE(readRegisters(client.get(), 0x0100, 48, &error).empty());
    EXPECT_EQ(error, EMBBADCRC);
    // The spoilt answer is a whole frame and the read took all of it, so nothing is left on the
    // line to run into the next answer; and the fault was for one request, so the next read
    // succeeds at once rather than after some retries.
    pollfd leftover{modbus_get_socket(client.get()), POLLIN, 0};
    EXPECT_EQ(poll(&leftover, 1, 0), 0) << "bytes beyond the spoilt answer";
    EXPECT_EQ(readRegisters(client.get(), 0x0100, 48).size(), 48u);

    EXPECT_EQ(sim.command("exception 2 1"), "ok relay 2 exception=4 for 1 request");
    EXPECT_TRUE(readRegisters(client.get(), 0x0100, 48, &error).empty());
    EXPECT_EQ(error, EMBXSFAIL);

    EXPECT_EQ(sim.command("silent 2 on"), "ok relay 2 silent=on");
    setResponseTimeout(client.get(), 300ms);
    for (int i = 0; i < 2; ++i) {
        readRegisters(client.get(), 0x0100, 48, &error);
        EXPECT_EQ(error, ETIMEDOUT);
    }
    EXPECT_EQ(sim.command("silent 2 off"), "ok relay 2 silent=off");
    EXPECT_EQ(readRegisters(client.get(), 0x0100, 48).size(), 48u);
    client.reset();

    RawLine raw(line.stationEnd());
    const Bytes request = withCrc({0x02, 0x03, 0x01, 0x00, 0x00, 0x30});

    // Split: the first half, a pause, the rest.
    EXPECT_EQ(sim.command("split 2 1 150"), "ok relay 2 split=150ms for 1 request");
    raw.send(request);
    const Bytes first = raw.receive(50, 1000ms);
    EXPECT_EQ(first.size(), 50u);
    EXPECT_FALSE(raw.waiting()) << "the rest came without its pause";
    Bytes whole = first;
    const Bytes rest = raw.receive(51, 1000ms);
    whole.insert(whole.end(), rest.begin(), rest.end());
    ASSERT_EQ(whole.size(), 101u);
    EXPECT_TRUE(crcGood(whole));

    // Late: nothing for a while, then the whole answer.
    EXPECT_EQ(sim.command("late 2 300 1"), "ok relay 2 late=300ms for 1 request");
    raw.send(request);
    EXPECT_TRUE(raw.receiveFor(200ms).empty());
    EXPECT_EQ(raw.receive(101, 1000ms).size(), 101u);

    EXPECT_EQ(sim.command("close 2 on").rfind("error close needs a TCP link", 0), 0u);
}

TEST_F(RtuEndToEnd, ShapedAnswersOnTheWire) {
    RawLine raw(line.stationEnd());
    const Bytes request = readRequest(2, 0x0400, 64);  // the setpoints: they hold still
    raw.send(request);
    const Bytes plain = raw.receive(133, 1000ms);
    ASSERT_EQ(plain.size(), 133u);
    ASSERT_TRUE(crcGood(plain));

    // Split: each piece comes whole and alone, the next still a pause away; the last no sooner
    // than two pauses after the request.
    EXPECT_EQ(sim.command("split 2 1 150 3"), "ok relay 2 split=150ms,3pieces for 1 request");
    const auto sent = Clock::now();
    raw.send(request);
    Bytes pieces;
    for (size_t size : {44u, 44u, 45u}) {
        const Bytes piece = raw.receive(size, 2000ms);
        EXPECT_EQ(piece.size(), size);
        EXPECT_FALSE(raw.waiting()) << "more than one piece at once, after " << pieces.size();
        pieces.insert(pieces.end(), piece.begin(), piece.end());
    }
    EXPECT_GE(Clock::now() - sent, 300ms);
    EXPECT_EQ(pieces, plain);

    EXPECT_EQ(sim.command("double 2 1"), "ok relay 2 double=on for 1 request");
    raw.send(request);
    EXPECT_EQ(raw.receive(266, 1000ms), joined({plain, plain}));

    // Foreign: another address byte and a CRC that fits it, unless badcrc spoils that too.
    struct Foreign {
        std::vector<const char*> commands;
        uint8_t address;
        bool goodCrc;
    };
    const Foreign foreign[] = {
        {{"foreign 2 1"}, 3, true},
        {{"foreign 2 1 247"}, 247, true},
        {{"foreign 2 1 7"}, 7, true},  // a relay that is on this line too
        {{"foreign 2 1 9", "badcrc 2 1"}, 9, false},
    };
    for (const Foreign& f : foreign) {
        for (const char* command : f.commands) {
            ASSERT_EQ(sim.command(command).rfind("ok relay 2 ", 0), 0u) << command;
        }
        raw.send(request);
        const Bytes got = raw.receive(133, 1000ms);
        ASSERT_EQ(got.size(), 133u) << f.commands[0];
        Bytes body(plain.begin(), plain.end() - 2);
        body[0] = f.address;
        EXPECT_EQ(Bytes(got.begin(), got.end() - 2), body) << f.commands[0];
        EXPECT_EQ(crcGood(got), f.goodCrc) << f.commands[0];
    }

    EXPECT_EQ(sim.command("exception 2 1 200"), "ok relay 2 exception=200 for 1 request");
    raw.send(request);
    EXPECT_EQ(raw.receive(5, 1000ms), withCrc({0x02, 0x83, 200}));

    raw.send(request);
    EXPECT_EQ(raw.receive(133, 1000ms), plain) << "every fault was for one request";
    EXPECT_FALSE(raw.waiting());
}

TEST_F(RtuEndToEnd, LateAnswerDoesNotHoldUpTheNextRequests) {
    const auto setpoint1 = valuesOf(sim.command("get 2 0x0401"));
    ASSERT_EQ(setpoint1.size(), 1u);
    RawLine raw(line.stationEnd());
    EXPECT_EQ(sim.command("late 2 500 1"), "ok relay 2 late=500ms for 1 request");
    raw.send(readRequest(2, 0x0400, 1));
    raw.send(readRequest(1, 0x0400, 1));  // another relay
    raw.send(readRequest(2, 0x0400, 2));  // the same relay again
    const Bytes expected = joined({
        withCrc({0x01, 0x03, 2, 0, 1}),
        withCrc({0x02, 0x03, 4, 0, 2, static_cast<uint8_t>(setpoint1[0] >> 8),
                 static_cast<uint8_t>(setpoint1[0])}),
        withCrc({0x02, 0x03, 2, 0, 2}),  // the late one, last
    });
    EXPECT_EQ(raw.receive(expected.size(), 3000ms), expected);
}

// Whether each of `count` answers of relay 2 came with a good CRC ('.') or a spoilt one ('x').
std::string crcPattern(RawLine& raw, int count) {
    const Bytes request = readRequest(2, 0x0400, 1);
    const Bytes good = withCrc({0x02, 0x03, 2, 0, 2});
    std::string pattern;
    for (int i = 0; i < count; ++i) {
        raw.send(request);
        const Bytes got = raw.receive(good.size(), 1000ms);
        if (got.size() != good.size() || !std::equal(good.begin(), good.end() - 2, got.begin())) {
            ADD_FAILURE() << "answer " << i << " is not the right answer";
            pattern += '?';
            continue;
        }
        pattern += crcGood(got) ? '.' : 'x';
    }
    return pattern;
}

TEST(RtuEndToEndNoise, SpoilsCrcsAsTheSeedSays) {
    PtyPair line;
    Simulator sim({"--rtu", line.simulatorEnd(), "--relays", "1,2,7", "--seed", "1234"});
    RawLine raw(line.stationEnd());
    EXPECT_EQ(sim.command("noise 2 100"), "ok relay 2 noise=100%");
    EXPECT_EQ(crcPattern(raw, 12), std::string(12, 'x'));
    EXPECT_EQ(sim.command("noise 2 0"), "ok relay 2 noise=off");
    EXPECT_EQ(crcPattern(raw, 12), std::string(12, '.'));

    // Half the answers: which ones is the seed's to say, so the same simulation on its own,
    // with the same seed and the same answers before, names them.
    relaysim::Simulator model(LinkKind::Rtu, {1, 2, 7}, CivilTime{2026, 1, 1, 0, 0, 0, 4},
                              TimePoint{}, 1234);
    std::string expected;
    for (const char* command : {"noise 2 100", "noise 2 50"}) {
        model.execute(parseCommand(command).command, TimePoint{});
        for (int i = 0; i < 12; ++i) {
            expected += model.handle({2, 3, 0x0400, 1}, TimePoint{}).badCrc ? 'x' : '.';
        }
    }
    expected = expected.substr(12);
    ASSERT_NE(expected.find('x'), std::string::npos);
    ASSERT_NE(expected.find('.'), std::string::npos);
    EXPECT_EQ(sim.command("noise 2 50"), "ok relay 2 noise=50%");
    EXPECT_EQ(crcPattern(raw, 12), expected);
}

TEST_F(RtuEndToEnd, EventOnDemandAndRandomRelay) {
    auto client = rtuClient(line.stationEnd(), 7);
    EXPECT_EQ(sim.command("event 7").rfind("ok event relay 7 number 62 ", 0), 0u);
    const auto protocol1 = readRegisters(client.get(), 0x1000, 32);
    ASSERT_EQ(protocol1.size(), 32u);
    EXPECT_EQ(protocol1[0] >> 8, 62);
    EXPECT_EQ(protocol1[31], 1);
    const std::string reply = sim.command("event any 54");
    EXPECT_EQ(reply.rfind("ok event relay ", 0), 0u);
    EXPECT_NE(reply.find(" sign 54"), std::string::npos);
    EXPECT_EQ(sim.command("change 7 up").rfind("ok change relay 7 number 61 ", 0), 0u);
    EXPECT_EQ(readRegisters(client.get(), 0x3000, 8)[5], 0x5555);
}

}  // namespace
}  // namespace relaysim::test
