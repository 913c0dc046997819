// The three ways a request goes out (an RS-485 bus, an RS-232 line to one relay, Modbus TCP), held
// to the same table: the bytes each puts on the wire, and which answers each takes as the
// request's.
#include "modbus/transport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "support/fakes.h"
#include "support/rig.h"

namespace terval {
namespace {

using testing::hexBytes;

enum Kind { kBus, kPointToPoint, kTcp, kKinds };
const char* const kKindNames[kKinds] = {"RS-485", "RS-232", "TCP"};

std::unique_ptr<Transport> make(int kind) {
    if (kind == kTcp) {
        return std::make_unique<TcpTransport>();
    }
    return std::make_unique<RtuTransport>(kind == kPointToPoint);
}

RequestFrame read(uint8_t address, uint16_t reg, uint16_t count) {
    RequestFrame f;
    f.buildRead(address, reg, count);
    return f;
}

RequestFrame write(uint8_t address, uint16_t reg, uint16_t value) {
    RequestFrame f;
    f.buildWrite(address, reg, value);
    return f;
}

// An answer's PDU (address first) as `kind` carries it, for the request it last sent.
QByteArray onTheWire(int kind, const Transport& t, const QByteArray& pdu) {
    return kind == kTcp ? testing::mbapFrame(pdu, t.inFlight().transaction) : testing::withCrc(pdu);
}

TEST(Transports, RequestBytesOnTheWire) {
    const struct {
        RequestFrame request;
        const char* wire[kKinds];
    } cases[] = {
        {read(1, 0x0100, 48), {"0103010000304422", "0103010000304422", "000100000006010301000030"}},
        // A point-to-point line sends every request to address 1; the others carry the relay's.
        {read(5, 0x0100, 48), {"05030100003045A6", "0103010000304422", "000100000006050301000030"}},
        {write(1, 0x0400, 30),
         {"01060400001E08F2", "01060400001E08F2", "00010000000601060400001E"}},
        {read(17, 0x1000, 32),
         {"1103100000204242", "01031000002040D2", "000100000006110310000020"}},
        {write(200, 0x0109, 0xABCD),
         {"C8060109ABCDF708", "01060109ABCDE691", "000100000006C8060109ABCD"}},
        // Register and count bytes are big-endian.
        {read(2, 0x31F8, 8), {"020331F80008CB32", "010331F80008CB01", "000100000006020331F80008"}},
    };
    for (const auto& c : cases) {
        for (int kind = 0; kind < kKinds; ++kind) {
            auto t = make(kind);
            const SentRequest& sent = t->send(c.request);
            const QString what =
                QStringLiteral("%1 to %2").arg(kKindNames[kind]).arg(c.request.address());
            EXPECT_EQ(sent.bytes, hexBytes(c.wire[kind])) << qPrintable(what);
            EXPECT_EQ(sent.frame.address(), kind == kPointToPoint ? 1 : c.request.address())
                << qPrintable(what);
            EXPECT_EQ(sent.anyAddress, kind == kPointToPoint) << qPrintable(what);
            EXPECT_EQ(sent.transaction, kind == kTcp ? 1 : 0) << qPrintable(what);
        }
    }
}

TEST(Transports, TcpIdentifiersCountOnAndSkipZero) {
    TcpTransport t;
    const RequestFrame request = read(1, 0x0100, 48);
    for (uint32_t n = 1; n <= 0xFFFF; ++n) {
        ASSERT_EQ(t.send(request).transaction, n);
    }
    EXPECT_EQ(t.send(request).transaction, 1);
    EXPECT_EQ(t.inFlight().bytes, hexBytes("000100000006010301000030"));
}

TEST(Transports, EachTakesOnlyTheAnswersItsRulesAllow) {
    const RequestFrame status = read(2, 0x0100, 48);
    const RequestFrame setpoint = write(2, 0x0408, 456);
    const auto words = [](int address, int count) {
        return testing::tcpReadAnswer(static_cast<uint8_t>(address), QVector<uint16_t>(count, 7))
            .mid(6);
    };
    const QByteArray none;
    // M: taken as the answer, E: the request refused, F: framed but someone else's.
    const struct {
        const char* what;
        const RequestFrame& request;
        QByteArray pdu;
        const char* expected;  // bus, point to point, TCP
    } cases[] = {
        {"the status block", status, words(2, 48), "MMM"},
        {"a status block from address 7", status, words(7, 48), "FMF"},
        {"a protocol for a status request", status, words(2, 32), "FFF"},
        {"the echo of the write", setpoint, hexBytes("0206040801C8"), "MMM"},
        {"the echo of another value", setpoint, hexBytes("0206040800C8"), "FFF"},
        {"a write echo for a read", status, hexBytes("0206040801C8"), "FFF"},
        {"read refused", status, hexBytes("028302"), "EEE"},
        {"a refusal from another relay", setpoint, hexBytes("038603"), "FEF"},
    };
    for (const auto& c : cases) {
        for (int kind = 0; kind < kKinds; ++kind) {
            auto t = make(kind);
            t->send(c.request);
            const std::vector<FramedItem> items = t->push(onTheWire(kind, *t, c.pdu));
            const QString what = QStringLiteral("%1: %2").arg(kKindNames[kind], c.what);
            ASSERT_EQ(items.size(), 1u) << qPrintable(what);
            ASSERT_EQ(items[0].kind, FramedItem::Kind::Answer) << qPrintable(what);
            EXPECT_EQ(items[0].answer.bytes, c.pdu) << qPrintable(what);
            const AnswerMatch expected = c.expected[kind] == 'M'   ? AnswerMatch::Matches
                                         : c.expected[kind] == 'E' ? AnswerMatch::Exception
                                                                   : AnswerMatch::Foreign;
            EXPECT_EQ(t->match(items[0].answer), expected) << qPrintable(what);
        }
    }
}

// What is held when the next request goes out, or comes while nothing is asked, never answers it:
// a serial line forgets it, a TCP stream reads a late answer whole and drops it by its identifier,
// and keeps its place for the answer behind it.
TEST(Transports, LateAndUnaskedBytesNeverAnswerTheNextRequest) {
    const RequestFrame status = read(1, 0x0100, 48);
    const auto block = [](uint16_t resistance) {
        return testing::tcpReadAnswer(1, testing::statusBlock(resistance)).mid(6);
    };
    for (int kind = 0; kind < kKinds; ++kind) {
        SCOPED_TRACE(kKindNames[kind]);
        auto t = make(kind);
        t->send(status);
        const QByteArray late = onTheWire(kind, *t, block(666));
        EXPECT_TRUE(t->push(late.left(40)).empty());
        t->send(status);
        for (const FramedItem& item : t->push(late.mid(40))) {
            EXPECT_FALSE(item.kind == FramedItem::Kind::Answer &&
                         t->match(item.answer) == AnswerMatch::Matches);
        }
        // The same late answer once more, its start while nothing is asked.
        t->pushUnasked(late.left(30));
        const QByteArray own = onTheWire(kind, *t, block(777));
        const std::vector<FramedItem> items = t->push(late.mid(30) + own);
        ASSERT_FALSE(items.empty());
        for (size_t i = 0; i + 1 < items.size(); ++i) {
            EXPECT_FALSE(items[i].kind == FramedItem::Kind::Answer &&
                         t->match(items[i].answer) == AnswerMatch::Matches);
        }
        const FramedItem& last = items.back();
        ASSERT_EQ(last.kind, FramedItem::Kind::Answer);
        EXPECT_EQ(t->match(last.answer), AnswerMatch::Matches);
        // The matched answer stands whole, address (TCP: unit identifier) first.
        EXPECT_EQ(last.answer.bytes, block(777));
        EXPECT_EQ(last.answer.bytes.left(5), QByteArray::fromHex("0103600000"));
    }
}

}  // namespace
}  // namespace terval
