#include "link/rtu_receiver.h"

#include <gtest/gtest.h>

#include "link/modbus_frame.h"
#include "support/fakes.h"

namespace terval {
namespace {

using Outcome = RtuReceiver::Outcome;
using testing::hexBytes;

QByteArray withCrc(QByteArray frame) {
    const uint16_t crc = MatchCRC(frame);
    frame.append(static_cast<char>(crc & 0xFF));
    frame.append(static_cast<char>(crc >> 8));
    return frame;
}

QByteArray readAnswer(uint8_t address, int registers, uint16_t first = 0) {
    QByteArray frame;
    frame.append(static_cast<char>(address));
    frame.append(char(3));
    frame.append(static_cast<char>(2 * registers));
    for (int i = 0; i < registers; ++i) {
        const uint16_t value = static_cast<uint16_t>(first + i);
        frame.append(static_cast<char>(value >> 8));
        frame.append(static_cast<char>(value & 0xFF));
    }
    return withCrc(frame);
}

class RtuReceiverTest : public ::testing::Test {
  protected:
    ReceiveBuffer buffer;
    RtuReceiver receiver{buffer};
};

TEST_F(RtuReceiverTest, FullStatusBlockNeedsAllOf101Bytes) {
    const QByteArray answer = readAnswer(1, 48, 1000);
    ASSERT_EQ(answer.size(), rtuReadAnswerSize(48));
    EXPECT_EQ(receiver.accept(answer.left(100)), Outcome::Incomplete);
    EXPECT_EQ(receiver.ExpectedDataLength(), 96);
    EXPECT_EQ(receiver.accept(answer.mid(100)), Outcome::Accepted);
    // The frame stays in the buffer for the dispatcher; the counter starts again.
    EXPECT_EQ(buffer.length, 0);
    EXPECT_EQ(buffer.at(2), 96);
    EXPECT_EQ(buffer.at(3) << 8 | buffer.at(4), 1000);
}

TEST_F(RtuReceiverTest, AnswerInSeveralPiecesIsAcceptedOnceItsLastPieceArrives) {
    const QByteArray answer = readAnswer(3, 48);
    EXPECT_EQ(receiver.accept(answer.left(3)), Outcome::Incomplete);
    EXPECT_EQ(receiver.accept(answer.mid(3, 47)), Outcome::Incomplete);
    EXPECT_EQ(receiver.accept(answer.mid(50)), Outcome::Accepted);
    // Two notifications of 50 and 51 bytes.
    EXPECT_EQ(receiver.accept(answer.left(50)), Outcome::Incomplete);
    EXPECT_EQ(receiver.accept(answer.mid(50)), Outcome::Accepted);
}

TEST_F(RtuReceiverTest, OneFlippedBitIsABadAnswer) {
    QByteArray answer = readAnswer(1, 32);
    answer[20] = static_cast<char>(answer[20] ^ 0x10);
    EXPECT_EQ(receiver.accept(answer), Outcome::BadCrc);
    EXPECT_EQ(buffer.length, 0);
    // The next answer starts from an empty buffer.
    EXPECT_EQ(receiver.accept(readAnswer(1, 32)), Outcome::Accepted);
}

TEST_F(RtuReceiverTest, WriteEchoIsEightBytes) {
    const QByteArray echo = hexBytes("01060400001E08F2");
    EXPECT_EQ(receiver.accept(echo.left(7)), Outcome::Incomplete);
    EXPECT_EQ(receiver.accept(echo.mid(7)), Outcome::Accepted);
    EXPECT_EQ(receiver.ExpectedDataLength(), 3);
}

TEST_F(RtuReceiverTest, ExceptionResponseNeverCompletes) {
    // Its exception code (2) is read as a byte count, so the five bytes are always one short of
    // the seven that would complete it; the request ends in the scheduler's timeout.
    const QByteArray exception = withCrc(hexBytes("018302"));
    EXPECT_EQ(exception.size(), 5);
    EXPECT_EQ(receiver.accept(exception), Outcome::Incomplete);
    EXPECT_EQ(buffer.length, 5);
}

TEST_F(RtuReceiverTest, AnswerFromAnotherAddressIsTakenAsTheAnswer) {
    EXPECT_EQ(receiver.accept(readAnswer(99, 1)), Outcome::Accepted);
}

TEST_F(RtuReceiverTest, BytesBeyondTheFrameInTheSameDeliveryAreDropped) {
    QByteArray two = readAnswer(1, 1) + readAnswer(2, 1);
    EXPECT_EQ(receiver.accept(two), Outcome::Accepted);
    EXPECT_EQ(buffer.length, 0);
    EXPECT_EQ(buffer.at(0), 1);
}

TEST_F(RtuReceiverTest, GarbageBeforeAFrameIsNotSkipped) {
    const QByteArray answer = readAnswer(1, 1);
    EXPECT_EQ(receiver.accept(QByteArray(1, '\x55') + answer), Outcome::BadCrc);
}

TEST_F(RtuReceiverTest, EightBitLengthWrapsOnEndlessGarbage) {
    // A byte count of 255 can never be completed: the counter wraps before 260 bytes are held, and
    // what follows is written from the start of the buffer again.
    QByteArray stream = hexBytes("0103FF") + QByteArray(253, '\x00');
    for (char byte : stream) {
        ASSERT_EQ(receiver.accept(QByteArrayView(&byte, 1)), Outcome::Incomplete);
    }
    EXPECT_EQ(buffer.length, 0);
    EXPECT_EQ(receiver.accept(readAnswer(4, 1, 0x1234)), Outcome::Accepted);
    EXPECT_EQ(buffer.at(0), 4);
}

}  // namespace
}  // namespace terval
