// CRC, answer frames and the cutting of a serial byte stream into requests.
#include <gtest/gtest.h>

#include <cstring>

#include "crc16.h"
#include "modbus_adu.h"
#include "rtu_framer.h"

namespace relaysim {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

const TimePoint kStart = TimePoint{} + 1000h;

TEST(Crc16, CheckValueAndTheStationsRequests) {
    const char* text = "123456789";
    EXPECT_EQ(crc16Modbus(reinterpret_cast<const uint8_t*>(text), std::strlen(text)), 0x4B37);
    // Requests as the station puts them on the wire, CRC low byte first.
    const Bytes requests[] = {
        {0x01, 0x03, 0x01, 0x00, 0x00, 0x30, 0x44, 0x22},
        {0x05, 0x03, 0x01, 0x00, 0x00, 0x30, 0x45, 0xA6},
        {0x01, 0x06, 0x04, 0x00, 0x00, 0x1E, 0x08, 0xF2},
    };
    for (const Bytes& r : requests) {
        const uint16_t crc = crc16Modbus(r.data(), 6);
        EXPECT_EQ(crc & 0xFF, r[6]);
        EXPECT_EQ(crc >> 8, r[7]);
    }
}

TEST(ModbusAdu, AnswersAsTheStationReadsThem) {
    Decision read;
    read.words = {0x1234, 0x00FF};
    const Request r{7, 3, 0x0100, 2};
    const Bytes rtu = rtuFrame(7, answerPdu(r, read), false);
    const Bytes expected = {0x07, 0x03, 0x04, 0x12, 0x34, 0x00, 0xFF};
    ASSERT_EQ(rtu.size(), 9u);  // 5 + 2 x registers
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), rtu.begin()));
    const uint16_t crc = crc16Modbus(rtu.data(), 7);
    EXPECT_EQ(rtu[7], crc & 0xFF);
    EXPECT_EQ(rtu[8], crc >> 8);

    const Bytes bad = rtuFrame(7, answerPdu(r, read), true);
    EXPECT_TRUE(std::equal(bad.begin(), bad.end() - 2, rtu.begin()));
    EXPECT_NE(Bytes(bad.end() - 2, bad.end()), Bytes(rtu.end() - 2, rtu.end()));

    Decision refused;
    refused.exception = 4;
    EXPECT_EQ(answerPdu(r, refused), (Bytes{0x83, 0x04}));
    EXPECT_EQ(answerPdu({1, 6, 0x0400, 30}, Decision{}), (Bytes{0x06, 0x04, 0x00, 0x00, 0x1E}));

    EXPECT_EQ(tcpFrame(0, 7, answerPdu(r, read)),
              (Bytes{0, 0, 0, 0, 0, 7, 0x07, 0x03, 0x04, 0x12, 0x34, 0x00, 0xFF}));
    const Request parsed = requestFromTcp(
        Bytes{0x12, 0x34, 0, 0, 0, 6, 0x09, 0x06, 0x04, 0x7F, 0xAB, 0xCD}.data(), 12);
    EXPECT_EQ(parsed.unit, 9);
    EXPECT_EQ(parsed.function, 6);
    EXPECT_EQ(parsed.address, 0x047F);
    EXPECT_EQ(parsed.countOrValue, 0xABCD);
}

class RtuFramerTest : public ::testing::Test {
  protected:
    RtuFramer framer{20ms};
    TimePoint now = kStart;

    std::vector<RtuFrame> feed(const Bytes& bytes) {
        return framer.feed(bytes.data(), bytes.size(), now);
    }
};

const Bytes kRead = {0x01, 0x03, 0x01, 0x00, 0x00, 0x30, 0x44, 0x22};
const Bytes kWrite = {0x01, 0x06, 0x04, 0x00, 0x00, 0x1E, 0x08, 0xF2};

TEST_F(RtuFramerTest, RequestInPiecesAndTwoInOneRead) {
    EXPECT_TRUE(feed({kRead.begin(), kRead.begin() + 3}).empty());
    now += 2ms;
    auto frames = feed({kRead.begin() + 3, kRead.end()});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].verdict, RtuFrame::Verdict::Good);
    EXPECT_EQ(frames[0].bytes, kRead);
    EXPECT_FALSE(framer.deadline());

    Bytes both = kWrite;
    both.insert(both.end(), kRead.begin(), kRead.end());
    frames = feed(both);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, kWrite);
    EXPECT_EQ(frames[1].bytes, kRead);
}

TEST_F(RtuFramerTest, BadCrcDiscardsUntilTheLineIsQuiet) {
    Bytes damaged = kRead;
    damaged[5] ^= 0x01;
    auto frames = feed(damaged);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].verdict, RtuFrame::Verdict::BadCrc);
    // A good-looking frame right behind it is part of the same noise.
    now += 5ms;
    EXPECT_TRUE(feed(kRead).empty());
    EXPECT_EQ(framer.deadline(), now + 20ms);
    now += 25ms;
    EXPECT_TRUE(framer.expire(now).empty());
    frames = feed(kRead);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].verdict, RtuFrame::Verdict::Good);
}

TEST_F(RtuFramerTest, SilenceEndsWhatTheLengthCannot) {
    // A stray half request is dropped at the silence, and does not spoil the next one.
    EXPECT_TRUE(feed({0x02, 0x03, 0x01}).empty());
    now += 30ms;
    auto frames = framer.expire(now);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].verdict, RtuFrame::Verdict::Incomplete);
    frames = feed(kRead);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].verdict, RtuFrame::Verdict::Good);

    // A function whose frames have no known length ends at the silence, checked by its CRC.
    Bytes odd = {0x01, 0x41, 0x05, 0x06};
    const uint16_t crc = crc16Modbus(odd.data(), odd.size());
    odd.push_back(static_cast<uint8_t>(crc & 0xFF));
    odd.push_back(static_cast<uint8_t>(crc >> 8));
    EXPECT_TRUE(feed(odd).empty());
    now += 30ms;
    frames = framer.expire(now);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].verdict, RtuFrame::Verdict::Good);
    EXPECT_EQ(frames[0].bytes, odd);

    // A write of several registers carries its length in its seventh byte.
    Bytes multi = {0x01, 0x10, 0x04, 0x00, 0x00, 0x02, 0x04, 0x00, 0x01, 0x00, 0x02};
    const uint16_t crc2 = crc16Modbus(multi.data(), multi.size());
    multi.push_back(static_cast<uint8_t>(crc2 & 0xFF));
    multi.push_back(static_cast<uint8_t>(crc2 >> 8));
    frames = feed(multi);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].bytes, multi);
}

TEST(RtuFramer, SilenceGrowsAtSlowSpeeds) {
    EXPECT_EQ(frameSilence(38400), 20ms);
    EXPECT_EQ(frameSilence(1200), std::chrono::microseconds(32083));
}

}  // namespace
}  // namespace relaysim
