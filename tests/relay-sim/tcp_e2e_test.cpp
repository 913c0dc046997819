// The real relay-sim on loopback TCP, talked to by a libmodbus client and by raw sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

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

  private:
    int fd_ = -1;
};

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

    // The clock, written the station's way: seven single writes from 0x0109.
    const uint16_t clock[] = {58, 59, 23, 0, 31, 5, 2026};  // Sunday 31 May 2026, 23:59:58
    for (int i = 0; i < 7; ++i) {
        ASSERT_EQ(modbus_write_register(client.get(), 0x0109 + i, clock[i]), 1);
    }
    auto now = readRegisters(client.get(), 0x0109, 7);
    EXPECT_EQ(std::vector<uint16_t>(now.begin() + 2, now.end()),
              (std::vector<uint16_t>{23, 0, 31, 5, 2026}));
    std::this_thread::sleep_for(2100ms);
    now = readRegisters(client.get(), 0x0109, 7);
    EXPECT_EQ(now, (std::vector<uint16_t>{now[0], 0, 0, 1, 1, 6, 2026}));
    EXPECT_LE(now[0], 1);

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
    start = Clock::now();
    EXPECT_EQ(readRegisters(client.get(), 0x0100, 48).size(), 48u);
    EXPECT_LT(Clock::now() - start, 300ms);

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
    Simulator sim({"--tcp", "127.0.0.1:0", "--relays", "1,2", "--event-every", "0.3",
                   "--event-relay", "2", "--seed", "5"});
    auto client = tcpClient(sim.port(), 2);
    const int before = readRegisters(client.get(), 0x1000, 1)[0] >> 8;
    std::this_thread::sleep_for(1000ms);
    const int after = readRegisters(client.get(), 0x1000, 1)[0] >> 8;
    EXPECT_GE(after - before, 2);
    EXPECT_LE(after - before, 4);
    modbus_set_slave(client.get(), 1);
    EXPECT_EQ(readRegisters(client.get(), 0x1000, 1)[0] >> 8, 61);
    EXPECT_EQ(sim.command("every off"), "ok every off");
}

}  // namespace
}  // namespace relaysim::test
