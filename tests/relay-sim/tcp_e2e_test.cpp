// The real relay-sim on loopback TCP, talked to by a libmodbus client and by raw sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim_process.h"

namespace relaysim::test {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

class TcpEndToEnd : public ::testing::Test {
  protected:
    Simulator sim{{"--tcp", "127.0.0.1:0", "--relays", "1,2,5"}};
};

// A socket that speaks bytes, to see exactly what the station would see.
class RawTcp {
  public:
    explicit RawTcp(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            throw std::runtime_error("connect failed");
        }
    }
    ~RawTcp() { close(fd_); }
    void send(const Bytes& b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), 0), ssize_t(b.size())); }
    // The bytes of the next read event, as the station takes them.
    Bytes readOnce(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) {
            return {};
        }
        uint8_t buffer[1024];
        const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        return n > 0 ? Bytes(buffer, buffer + n) : Bytes{};
    }

    // Until `count` bytes are in or the timeout, over as many reads as it takes.
    Bytes readExactly(size_t count, std::chrono::milliseconds timeout) {
        Bytes bytes;
        const auto deadline = Clock::now() + timeout;
        while (bytes.size() < count && Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            const Bytes more = readOnce(left);
            if (more.empty()) {
                break;
            }
            bytes.insert(bytes.end(), more.begin(), more.end());
        }
        return bytes;
    }

  private:
    int fd_ = -1;
};

Bytes readRequest(uint16_t transaction, uint8_t unit, uint16_t first, uint16_t count) {
    return {static_cast<uint8_t>(transaction >> 8),
            static_cast<uint8_t>(transaction),
            0,
            0,
            0,
            6,
            unit,
            0x03,
            static_cast<uint8_t>(first >> 8),
            static_cast<uint8_t>(first),
            static_cast<uint8_t>(count >> 8),
            static_cast<uint8_t>(count)};
}

Bytes twice(const Bytes& frame) {
    Bytes both = frame;
    both.insert(both.end(), frame.begin(), frame.end());
    return both;
}

TEST_F(TcpEndToEnd, EveryUnitAnswersForItselfAndAnUnknownOneIsSilent) {
    EXPECT_EQ(sim.listening(), "listening tcp 127.0.0.1 " + std::to_string(sim.port()));
    auto client = tcpClient(sim.port(), 1);
    for (int unit : {1, 2, 5}) {
        modbus_set_slave(client.get(), unit);
        const auto block = readRegisters(client.get(), 0x0100, 48);
        ASSERT_EQ(block.size(), 48u) << "unit " << unit;
        EXPECT_EQ(block[1], 2400 + unit);  // each relay its own serial number
        EXPECT_EQ(readRegisters(client.get(), 0x0400, 64)[0], unit);  // and its own address
    }
    modbus_set_slave(client.get(), 3);
    setResponseTimeout(client.get(), 300ms);
    int error = 0;
    EXPECT_TRUE(readRegisters(client.get(), 0x0100, 48, &error).empty());
    EXPECT_EQ(error, ETIMEDOUT);
    modbus_set_slave(client.get(), 2);
    EXPECT_EQ(readRegisters(client.get(), 0x047F, 1).size(), 1u);
}

TEST_F(TcpEndToEnd, StationShapedRequestGetsTheExactAnswer) {
    RawTcp raw(sim.port());
    // Transaction 0, unit 2, trip protocol 1.
    raw.send({0, 0, 0, 0, 0, 6, 0x02, 0x03, 0x10, 0x00, 0x00, 0x20});
    const Bytes answer = raw.readOnce(1000ms);
    ASSERT_EQ(answer.size(), 73u);  // 9 + 2 x 32, in one read
    EXPECT_EQ(Bytes(answer.begin(), answer.begin() + 9),
              (Bytes{0, 0, 0, 0, 0, 67, 0x02, 0x03, 64}));
    const auto words = valuesOf(sim.command("get 2 0x1000 32"));
    ASSERT_EQ(words.size(), 32u);
    for (size_t i = 0; i < 32; ++i) {
        EXPECT_EQ(answer[9 + 2 * i] << 8 | answer[10 + 2 * i], words[i]) << "word " << i;
    }
    // A write is echoed as it came.
    raw.send({0, 0, 0, 0, 0, 6, 0x02, 0x06, 0x04, 0x00, 0x00, 0x1E});
    EXPECT_EQ(raw.readOnce(1000ms), (Bytes{0, 0, 0, 0, 0, 6, 0x02, 0x06, 0x04, 0x00, 0x00, 0x1E}));
    EXPECT_EQ(sim.command("get 2 0x0400"), "ok 30");
}

TEST_F(TcpEndToEnd, WritesAreEchoedKeptAndChecked) {
    auto client = tcpClient(sim.port(), 5);
    EXPECT_EQ(modbus_write_register(client.get(), 0x0408, 777), 1);
    EXPECT_EQ(modbus_write_register(client.get(), 0x047F, 4321), 1);
    EXPECT_EQ(modbus_write_register(client.get(), 0x04FF, 1), 1);
    EXPECT_EQ(readRegisters(client.get(), 0x0400, 64)[8], 777);
    EXPECT_EQ(readRegisters(client.get(), 0x047F, 1)[0], 4321);
    EXPECT_EQ(readRegisters(client.get(), 0x04FF, 1)[0], 1);
    modbus_set_slave(client.get(), 1);
    EXPECT_EQ(readRegisters(client.get(), 0x0400, 64)[8], 500) << "other relays keep theirs";

    // The clock, written the station's way: seven single writes from 0x0109. The relay counts
    // its seconds from the moment they were written.
    const uint16_t clock[] = {58, 59, 23, 0, 31, 5, 2026};  // Sunday 31 May 2026, 23:59:58
    const auto secondsAsked = Clock::now();
    Clock::time_point secondsSet;
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(modbus_write_register(client.get(), 0x0109 + i, clock[i]), 1);
        if (i == 0) {
            secondsSet = Clock::now();
        }
    }
    auto oldDayAsked = Clock::now();
    auto now = readRegisters(client.get(), 0x0109, 7);
    EXPECT_EQ(std::vector<uint16_t>(now.begin() + 2, now.end()),
              (std::vector<uint16_t>{23, 0, 31, 5, 2026}));

    // Midnight comes in two seconds: read until Monday 1 June shows, noting when the last read
    // that still saw Sunday was asked and when the first to see Monday was answered.
    Clock::time_point newDaySeen;
    const bool rolledOver = waitUntil(
        [&] {
            const auto asked = Clock::now();
            now = readRegisters(client.get(), 0x0109, 7);
            if (now.size() == 7 && now[4] == 31) {
                oldDayAsked = asked;
                return false;
            }
            newDaySeen = Clock::now();
            return now.size() == 7;
        },
        5000ms);
    ASSERT_TRUE(rolledOver) << "the clock reads " << ::testing::PrintToString(now);
    EXPECT_EQ(now, (std::vector<uint16_t>{now[0], 0, 0, 1, 1, 6, 2026}));
    // Midnight fell between those two reads, so the seconds past it are fewer than the time
    // between them; and a clock that keeps time neither shows Monday before two seconds have
    // passed since its seconds were written nor still shows Sunday two seconds after. However
    // slowly this machine runs, these hold for a relay whose clock is right.
    EXPECT_LT(std::chrono::seconds(now[0]), newDaySeen - oldDayAsked);
    EXPECT_GE(newDaySeen - secondsAsked, 2s) << "the relay's clock runs fast";
    EXPECT_LT(oldDayAsked - secondsSet, 2s) << "the relay's clock runs slow";

    EXPECT_EQ(modbus_write_register(client.get(), 0x0400, 0), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    EXPECT_EQ(modbus_write_register(client.get(), 0x011B, 1), -1);
    EXPECT_EQ(errno, EMBXILADD);
    int error = 0;
    EXPECT_TRUE(readRegisters(client.get(), 0x0120, 32, &error).empty());
    EXPECT_EQ(error, EMBXILADD);
}

TEST_F(TcpEndToEnd, EventOnDemandShiftsTheProtocols) {
    auto client = tcpClient(sim.port(), 2);
    const auto before = readRegisters(client.get(), 0x1000, 96);
    const auto before62 = readRegisters(client.get(), 0x1000 + 61 * 32, 32);
    ASSERT_EQ(before.size(), 96u);
    const std::string reply = sim.command("event 2 4");
    ASSERT_EQ(reply.rfind("ok event relay 2 number 62 date ", 0), 0u) << reply;
    const auto after = readRegisters(client.get(), 0x1000, 96);
    ASSERT_EQ(after.size(), 96u);
    const auto clock = readRegisters(client.get(), 0x0109, 7);
    EXPECT_EQ(after[0], 62 << 8 | clock[5]);  // number | month
    EXPECT_EQ(after[1] >> 8, clock[4]);       // day
    EXPECT_EQ(after[31], 4);
    EXPECT_EQ(std::vector<uint16_t>(after.begin() + 32, after.end()),
              std::vector<uint16_t>(before.begin(), before.begin() + 64));
    EXPECT_EQ(readRegisters(client.get(), 0x1000 + 62 * 32, 32), before62);
    modbus_set_slave(client.get(), 1);
    EXPECT_EQ(readRegisters(client.get(), 0x1000, 1)[0] >> 8, 61) << "only relay 2 had an event";
}

TEST_F(TcpEndToEnd, MisbehavesAsAsked) {
    auto client = tcpClient(sim.port(), 2, 1500ms);
    EXPECT_EQ(sim.command("exception 2 1"), "ok relay 2 exception=4 for 1 request");
    int error = 0;
    EXPECT_TRUE(readRegisters(client.get(), 0x0100, 48, &error).empty());
    EXPECT_EQ(error, EMBXSFAIL);
    EXPECT_EQ(readRegisters(client.get(), 0x0100, 48).size(), 48u);

    EXPECT_EQ(sim.command("exception 2 on 6"), "ok relay 2 exception=6");
    readRegisters(client.get(), 0x0100, 1, &error);
    EXPECT_EQ(error, EMBXSBUSY);
    readRegisters(client.get(), 0x0100, 1, &error);
    EXPECT_EQ(error, EMBXSBUSY);
    sim.command("exception 2 off");

    EXPECT_EQ(sim.command("late 2 400 1"), "ok relay 2 late=400ms for 1 request");
    auto start = Clock::now();
    EXPECT_EQ(readRegisters(client.get(), 0x0100, 48).size(), 48u);
    EXPECT_GE(Clock::now() - start, 400ms);
    // That was the one late request: the fault is used up and the next is answered as it comes
    // (that it then overtakes a late one shows in LateAnswerDoesNotHoldUpTheNextRequests).
    EXPECT_NE(sim.command("status 2").find(" faults none "), std::string::npos)
        << sim.command("status 2");
    EXPECT_EQ(readRegisters(client.get(), 0x0100, 48).size(), 48u);

    sim.command("silent 2 1");
    setResponseTimeout(client.get(), 300ms);
    readRegisters(client.get(), 0x0100, 48, &error);
    EXPECT_EQ(error, ETIMEDOUT);
    EXPECT_EQ(readRegisters(client.get(), 0x0100, 48).size(), 48u);

    // Split over TCP: two reads for the station, 60 ms apart.
    sim.command("split 2 1 60");
    RawTcp raw(sim.port());
    raw.send({0, 0, 0, 0, 0, 6, 0x02, 0x03, 0x01, 0x00, 0x00, 0x30});
    const Bytes first = raw.readOnce(1000ms);
    start = Clock::now();
    const Bytes rest = raw.readOnce(1000ms);
    EXPECT_EQ(first.size(), 52u);
    EXPECT_EQ(rest.size(), 53u);
    EXPECT_GE(Clock::now() - start, 40ms);
}

TEST_F(TcpEndToEnd, ShapedAnswersOnTheWire) {
    RawTcp raw(sim.port());
    const Bytes request = readRequest(7, 2, 0x0400, 64);  // the setpoints: they hold still
    raw.send(request);
    const Bytes plain = raw.readOnce(1000ms);
    ASSERT_EQ(plain.size(), 137u);
    ASSERT_EQ(Bytes(plain.begin(), plain.begin() + 9), (Bytes{0, 7, 0, 0, 0, 131, 2, 3, 128}));

    // Split: one read per piece, the last no sooner than three pauses after the request.
    EXPECT_EQ(sim.command("split 2 1 150 4"), "ok relay 2 split=150ms,4pieces for 1 request");
    const auto sent = Clock::now();
    raw.send(request);
    Bytes joined;
    for (size_t size : {34u, 34u, 34u, 35u}) {
        const Bytes piece = raw.readOnce(2000ms);
        EXPECT_EQ(piece.size(), size);
        joined.insert(joined.end(), piece.begin(), piece.end());
    }
    EXPECT_GE(Clock::now() - sent, 450ms);
    EXPECT_EQ(joined, plain);

    EXPECT_EQ(sim.command("double 2 1"), "ok relay 2 double=on for 1 request");
    raw.send(request);
    EXPECT_EQ(raw.readOnce(1000ms), twice(plain)) << "both answers in one read";

    const std::pair<const char*, uint8_t> foreign[] = {
        {"foreign 2 1", 3},
        {"foreign 2 1 200", 200},
        {"foreign 2 1 1", 1},  // a relay that is on this line too
    };
    for (const auto& [command, unit] : foreign) {
        EXPECT_EQ(sim.command(command).rfind("ok relay 2 foreign=", 0), 0u) << command;
        raw.send(request);
        Bytes expected = plain;
        expected[6] = unit;
        EXPECT_EQ(raw.readOnce(1000ms), expected) << command;
    }

    EXPECT_EQ(sim.command("exception 2 1 200"), "ok relay 2 exception=200 for 1 request");
    raw.send(request);
    EXPECT_EQ(raw.readOnce(1000ms), (Bytes{0, 7, 0, 0, 0, 3, 2, 0x83, 200}));

    // Everything at once: both copies under the foreign unit, cut into three pieces.
    for (const char* command : {"double 5 1", "foreign 5 1 9", "split 5 1 100 3"}) {
        ASSERT_EQ(sim.command(command).rfind("ok ", 0), 0u) << command;
    }
    raw.send(readRequest(8, 5, 0x0400, 1));
    const Bytes answer = {0, 8, 0, 0, 0, 5, 9, 3, 2, 0, 5};
    EXPECT_EQ(raw.readOnce(1000ms), Bytes(answer.begin(), answer.begin() + 7));
    EXPECT_EQ(raw.readOnce(1000ms), (Bytes{3, 2, 0, 5, 0, 8, 0}));
    EXPECT_EQ(raw.readOnce(1000ms), (Bytes{0, 0, 5, 9, 3, 2, 0, 5}));

    raw.send(request);
    EXPECT_EQ(raw.readOnce(1000ms), plain) << "every fault was for one request";
}

// Answers in the order they came, as (transaction, unit).
std::vector<std::pair<int, int>> answersIn(const Bytes& stream) {
    std::vector<std::pair<int, int>> answers;
    size_t at = 0;
    while (at + 6 <= stream.size()) {
        answers.emplace_back(stream[at] << 8 | stream[at + 1], stream[at + 6]);
        at += 6u + static_cast<size_t>(stream[at + 4] << 8 | stream[at + 5]);
    }
    return answers;
}

TEST_F(TcpEndToEnd, LateAnswerDoesNotHoldUpTheNextRequests) {
    RawTcp raw(sim.port());
    EXPECT_EQ(sim.command("late 2 500 1"), "ok relay 2 late=500ms for 1 request");
    raw.send(readRequest(1, 2, 0x0400, 1));
    raw.send(readRequest(2, 1, 0x0400, 1));  // another relay
    raw.send(readRequest(3, 2, 0x0400, 2));  // the same relay again
    const Bytes stream = raw.readExactly(11 + 11 + 13, 3000ms);
    ASSERT_EQ(stream.size(), 35u);
    EXPECT_EQ(answersIn(stream), (std::vector<std::pair<int, int>>{{2, 1}, {3, 2}, {1, 2}}));
    EXPECT_EQ(Bytes(stream.end() - 11, stream.end()), (Bytes{0, 1, 0, 0, 0, 5, 2, 3, 2, 0, 2}));
}

TEST_F(TcpEndToEnd, DroppedStationsAreServedAgain) {
    auto first = tcpClient(sim.port(), 1);
    auto second = tcpClient(sim.port(), 2);  // two at once
    EXPECT_EQ(readRegisters(first.get(), 0x0100, 48).size(), 48u);
    EXPECT_EQ(readRegisters(second.get(), 0x0100, 48).size(), 48u);

    EXPECT_EQ(sim.command("close"), "ok closed 2 connections");
    int error = 0;
    EXPECT_TRUE(readRegisters(first.get(), 0x0100, 48, &error).empty());

    auto again = tcpClient(sim.port(), 1);
    EXPECT_EQ(readRegisters(again.get(), 0x0100, 48).size(), 48u);

    // A relay that hangs up on a request; the station reconnects and goes on.
    EXPECT_EQ(sim.command("close 1 1"), "ok relay 1 close=on for 1 request");
    EXPECT_TRUE(readRegisters(again.get(), 0x0100, 48, &error).empty());
    again.reset();
    again = tcpClient(sim.port(), 1);
    EXPECT_EQ(readRegisters(again.get(), 0x0100, 48).size(), 48u);

    // A station that simply goes away, many times over.
    for (int i = 0; i < 40; ++i) {
        auto brief = tcpClient(sim.port(), 5);
        ASSERT_EQ(readRegisters(brief.get(), 0x011B, 1).size(), 1u) << "connection " << i;
    }
    EXPECT_EQ(sim.command("status 5").rfind("ok relay 5 requests 40 answers 40 ", 0), 0u);
}

TEST(TcpEndToEndSchedule, EventsComeBySchedule) {
    constexpr auto kPeriod = 300ms;
    constexpr int kTripsAtStart = 61;  // every relay starts with trips numbered 61 down to 1
    const auto launched = Clock::now();
    Simulator sim({"--tcp", "127.0.0.1:0", "--relays", "1,2", "--event-every", "0.3",
                   "--event-relay", "2", "--seed", "5"});
    auto client = tcpClient(sim.port(), 2);
    // The number of the newest trip protocol, or -1 when the read fails.
    const auto newest = [&client] {
        const auto word = readRegisters(client.get(), 0x1000, 1);
        return word.empty() ? -1 : word[0] >> 8;
    };
    const int before = newest();
    ASSERT_GE(before, kTripsAtStart);
    int after = before;
    EXPECT_TRUE(waitUntil(
        [&] {
            after = newest();
            return after - before >= 2;
        },
        5000ms))
        << "protocol 1 went from number " << before << " to " << after;
    const auto seen = Clock::now();
    // No more than one event per period since the simulator started: a bound that a slow
    // machine only makes looser, while a schedule that runs fast or makes events in bursts
    // overshoots it within a period or two.
    EXPECT_LE((after - kTripsAtStart) * kPeriod, seen - launched)
        << after - kTripsAtStart << " events";
    modbus_set_slave(client.get(), 1);
    EXPECT_EQ(readRegisters(client.get(), 0x1000, 1)[0] >> 8, kTripsAtStart);
    EXPECT_EQ(sim.command("every off"), "ok every off");
}

}  // namespace
}  // namespace relaysim::test
