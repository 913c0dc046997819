#include "modbus/modbus_frame.h"

#include <gtest/gtest.h>

#include "support/fakes.h"

namespace terval {
namespace {

using testing::hexBytes;

TEST(MatchCrc, StandardCheckValue) {
    EXPECT_EQ(MatchCRC(QByteArrayView("123456789")), 0x4B37);
    EXPECT_EQ(MatchCRC(QByteArrayView()), 0xFFFF);
}

TEST(RequestFrame, RtuRequestsAsSentOnTheWire) {
    RequestFrame f;
    f.buildRead(1, 0x0100, 48);
    EXPECT_EQ(f.rtuRequest(), hexBytes("0103010000304422"));
    f.buildRead(5, 0x0100, 48);
    EXPECT_EQ(f.rtuRequest(), hexBytes("05030100003045A6"));
    f.buildWrite(1, 0x0400, 30);
    EXPECT_EQ(f.rtuRequest(), hexBytes("01060400001E08F2"));
    EXPECT_EQ(f.registerAddress(), 0x0400);
    EXPECT_EQ(f.countOrValue(), 30);
}

// The point-to-point rule itself is the RTU transport's (transport_test.cpp): the request keeps
// the relay's own address, and a copy goes to address 1.
TEST(RequestFrame, AddressedToAnotherAddressLeavesTheRequestAsItWas) {
    RequestFrame f;
    f.buildRead(7, 0x0100, 48);
    const RequestFrame one = f.addressedTo(1);
    EXPECT_EQ(one.rtuRequest(), hexBytes("0103010000304422"));
    EXPECT_EQ(one.address(), 1);
    EXPECT_EQ(f.address(), 7);

    const QByteArray bus = f.rtuRequest();
    EXPECT_EQ(bus.left(6), hexBytes("070301000030"));
    EXPECT_EQ(static_cast<uint8_t>(bus[6]) | static_cast<uint8_t>(bus[7]) << 8,
              MatchCRC(QByteArrayView(bus.constData(), 6)));
}

TEST(RequestFrame, TcpRequestCarriesItsTransactionTheRealAddressAndNoCrc) {
    RequestFrame f;
    f.buildRead(17, 0x1000, 32);
    EXPECT_EQ(f.tcpRequest(1), hexBytes("000100000006110310000020"));
    f.buildWrite(200, 0x0109, 0xABCD);
    EXPECT_EQ(f.tcpRequest(0xBEEF), hexBytes("BEEF00000006C8060109ABCD"));
}

TEST(RequestFrame, HighRegisterAndCountBytesAreBigEndian) {
    RequestFrame f;
    f.buildRead(2, 0x31F8, 8);
    EXPECT_EQ(f.rtuRequest().left(6), hexBytes("020331F80008"));
}

}  // namespace
}  // namespace terval
