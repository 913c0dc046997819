// Bytes to whole answers for both transports, and answers to the requests they belong to.
#include "modbus/answer_framer.h"

#include <gtest/gtest.h>

#include "modbus/answer_match.h"
#include "support/rig.h"

namespace terval {
namespace {

using testing::mbapFrame;
using testing::withCrc;

// What a framer made of the pieces, as text: "A:<hex>" per answer, "B" per broken frame.
QStringList frame(Framer& framer, const QList<QByteArray>& pieces) {
    QStringList out;
    for (const QByteArray& piece : pieces) {
        for (const FramedItem& item : framer.push(piece)) {
            out << (item.kind == FramedItem::Kind::Broken
                        ? QStringLiteral("B")
                        : QStringLiteral("A:") + QString::fromLatin1(item.answer.bytes.toHex()));
        }
    }
    return out;
}

// The answers the station gets, without their MBAP header or CRC.
const QByteArray kStatus =
    testing::tcpReadAnswer(1, testing::statusBlock(1500)).mid(6);  // 01 03 60 ...
const QByteArray kEcho = QByteArray::fromHex("0106040801C8");
const QByteArray kException = QByteArray::fromHex("018302");

struct Transport {
    const char* name;
    std::function<std::unique_ptr<Framer>()> make;
    std::function<QByteArray(const QByteArray&)> wrap;
};

const Transport kTransports[] = {
    {"rtu", [] { return std::make_unique<RtuFramer>(); }, withCrc},
    {"tcp", [] { return std::make_unique<MbapFramer>(); },
     [](const QByteArray& pdu) { return mbapFrame(pdu); }},
};

TEST(Framers, AnswerSplitAtEveryByteIsTakenOnceWhenWhole) {
    for (const Transport& t : kTransports) {
        for (const QByteArray& answer : {kStatus, kEcho, kException}) {
            const QByteArray wire = t.wrap(answer);
            for (int cut = 1; cut < wire.size(); ++cut) {
                auto framer = t.make();
                EXPECT_TRUE(framer->push(wire.left(cut)).empty()) << t.name << " cut " << cut;
                EXPECT_EQ(frame(*framer, {wire.mid(cut)}),
                          QStringList{"A:" + QString::fromLatin1(answer.toHex())})
                    << t.name << " cut " << cut;
                EXPECT_EQ(framer->pending(), 0);
            }
        }
    }
}

TEST(Framers, TwoAnswersInOneReadAreTwoAnswers) {
    for (const Transport& t : kTransports) {
        auto framer = t.make();
        EXPECT_EQ(frame(*framer, {t.wrap(kEcho) + t.wrap(kStatus).left(20)}),
                  QStringList{"A:" + QString::fromLatin1(kEcho.toHex())})
            << t.name;
        EXPECT_EQ(frame(*framer, {t.wrap(kStatus).mid(20)}),
                  QStringList{"A:" + QString::fromLatin1(kStatus.toHex())})
            << t.name;
    }
}

TEST(Framers, RtuSkipsNoiseBeforeAFrameAndReportsABrokenOne) {
    const QString status = "A:" + QString::fromLatin1(kStatus.toHex());
    const QByteArray good = withCrc(kStatus);
    QByteArray flipped = good;
    flipped[40] = static_cast<char>(flipped[40] ^ 0x10);
    const struct {
        const char* what;
        QList<QByteArray> pieces;
        QStringList expected;
    } cases[] = {
        {"a turnaround zero", {QByteArray(1, '\0') + good}, {status}},
        {"ones", {QByteArray(3, '\xFF') + good}, {status}},
        {"noise that looks like a short frame", {QByteArray::fromHex("0003") + good}, {status}},
        {"noise in its own read", {QByteArray::fromHex("FF"), good}, {status}},
        {"a flipped bit", {flipped}, {"B"}},
        // A broken frame cannot be told from noise when a good one follows it in the same read.
        {"a flipped bit, then a good frame", {flipped + good}, {status}},
        {"a flipped bit, then a good frame later", {flipped, good}, {"B", status}},
        {"an unknown function only", {QByteArray::fromHex("0104020000")}, {}},
    };
    for (const auto& c : cases) {
        RtuFramer framer;
        EXPECT_EQ(frame(framer, c.pieces), c.expected) << c.what;
    }
}

// Every address a relay can have, on a bus (the address asked) and on a point-to-point line (any
// address), with noise in front of its answer: a turnaround glitch, a run of ones, or the tail of
// the relay before it whose answer came too late. However the bytes are cut into reads, the
// answer is taken once and nothing is called broken.
TEST(Framers, RtuFindsEveryAddressAnswerBehindNoiseAtEverySplit) {
    const QByteArray lateTail = testing::rtuReadAnswer(9, testing::statusBlock(4321)).right(37);
    const QByteArray noises[] = {QByteArray(1, '\0'), QByteArray(2, '\xFF'), lateTail};
    for (int address = 1; address <= 247; ++address) {
        const QByteArray status =
            testing::tcpReadAnswer(static_cast<uint8_t>(address), testing::statusBlock(1500))
                .mid(6);
        QByteArray echo = kEcho;
        echo[0] = static_cast<char>(address);
        QByteArray refusal = kException;
        refusal[0] = static_cast<char>(address);
        for (const QByteArray& answer : {status, echo, refusal}) {
            const QStringList expected{"A:" + QString::fromLatin1(answer.toHex())};
            for (const QByteArray& noise : noises) {
                const QByteArray wire = noise + withCrc(answer);
                for (const uint8_t asked : {static_cast<uint8_t>(address), uint8_t{0}}) {
                    for (int cut = 0; cut < wire.size(); ++cut) {
                        RtuFramer framer;
                        framer.expectAddress(asked);
                        const QStringList out = frame(framer, {wire.left(cut), wire.mid(cut)});
                        if (out != expected) {
                            ADD_FAILURE() << "address " << address << " asked " << int(asked)
                                          << " noise " << noise.toHex().constData() << " cut "
                                          << cut << ": " << out.join(' ').toStdString();
                            return;
                        }
                        EXPECT_EQ(framer.pending(), 0);
                    }
                }
            }
        }
    }
}

// A frame from the address asked that fails its CRC is broken at once when nothing can follow;
// noise from elsewhere is stepped over without a word.
TEST(Framers, RtuReportsABrokenFrameOnlyFromTheAddressAsked) {
    QByteArray flipped = withCrc(QByteArray::fromHex("070603010005"));
    flipped[4] = static_cast<char>(flipped[4] ^ 0x01);
    const struct {
        const char* what;
        uint8_t asked;
        QStringList expected;
    } cases[] = {
        {"from the relay asked", 7, {"B"}},
        {"on a point-to-point line", 0, {"B"}},
        {"from another relay", 8, {}},
    };
    for (const auto& c : cases) {
        RtuFramer framer;
        framer.expectAddress(c.asked);
        EXPECT_EQ(frame(framer, {flipped}), c.expected) << c.what;
    }
}

// Each request has its own transaction identifier; an answer to an earlier one, whole or still
// arriving when the next request goes, is read past and dropped, and the answer behind it taken.
TEST(Framers, MbapTakesOnlyTheAnswerOfTheRequestInFlight) {
    const QString status = "A:" + QString::fromLatin1(kStatus.toHex());
    const QByteArray late = mbapFrame(kStatus, 41);
    const QByteArray own = mbapFrame(kStatus, 42);
    for (int cut = 0; cut < late.size(); ++cut) {
        MbapFramer framer;
        framer.expectTransaction(41);
        EXPECT_TRUE(frame(framer, {late.left(cut)}).empty());
        framer.expectTransaction(42);
        EXPECT_EQ(frame(framer, {late.mid(cut) + own.left(30), own.mid(30)}), QStringList{status})
            << "cut " << cut;
        EXPECT_EQ(framer.pending(), 0);
    }
    MbapFramer framer;
    framer.expectTransaction(7);
    // An older answer whole, and one of a peer that does not echo the identifier.
    EXPECT_EQ(frame(framer, {mbapFrame(kEcho, 6)}), QStringList{});
    EXPECT_EQ(frame(framer, {mbapFrame(kEcho, 0)}),
              QStringList{"A:" + QString::fromLatin1(kEcho.toHex())});
    // Bytes held that are no answer to the request before are forgotten when the next goes.
    framer.push(QByteArray::fromHex("0000000000"));
    framer.expectTransaction(8);
    EXPECT_EQ(framer.pending(), 0);
    EXPECT_EQ(frame(framer, {mbapFrame(kStatus, 8)}), QStringList{status});
}

TEST(Framers, MbapLengthDecidesAndAHeaderNoAnswerHasResynchronises) {
    const struct {
        int length;
        bool taken;
    } lengths[] = {{0, false},  {1, false},   {2, true},     {253, true},
                   {254, true}, {255, false}, {65535, false}};
    for (const auto& l : lengths) {
        MbapFramer framer;
        QByteArray wire = QByteArray::fromHex("00000000");
        wire.append(static_cast<char>(l.length >> 8)).append(static_cast<char>(l.length & 0xFF));
        const QByteArray body = QByteArray(std::min(l.length, 300), '\x03');
        const QStringList out = frame(framer, {wire + body});
        if (l.taken) {
            EXPECT_EQ(out, QStringList{"A:" + QString::fromLatin1(body.toHex())}) << l.length;
        } else {
            EXPECT_EQ(out, QStringList{"B"}) << l.length;
        }
        EXPECT_EQ(framer.pending(), 0) << l.length;
        // Afterwards the framer starts clean with the next answer.
        EXPECT_EQ(frame(framer, {mbapFrame(kEcho)}),
                  QStringList{"A:" + QString::fromLatin1(kEcho.toHex())})
            << l.length;
    }
    // Garbage in front of an answer in one read loses both, once; a protocol identifier other
    // than Modbus the same.
    MbapFramer framer;
    EXPECT_EQ(frame(framer, {QByteArray("SSH-2.0-x\r\n") + mbapFrame(kStatus)}), QStringList{"B"});
    QByteArray other = mbapFrame(kEcho);
    other[3] = 1;
    EXPECT_EQ(frame(framer, {other}), QStringList{"B"});
}

TEST(AnswerMatching, AnswerBelongsToItsRequestOnly) {
    RequestFrame status;
    status.buildRead(2, 0x0100, 48);
    RequestFrame protocol;
    protocol.buildRead(2, 0x1000, 32);
    RequestFrame write;
    write.buildWrite(2, 0x0408, 456);
    const auto answer = [](const char* hex) { return Answer{QByteArray::fromHex(hex)}; };
    const auto words = [](int unit, int count) {
        return Answer{
            testing::tcpReadAnswer(static_cast<uint8_t>(unit), QVector<uint16_t>(count, 7)).mid(6)};
    };
    const struct {
        const char* what;
        const RequestFrame& request;
        Answer answer;
        bool anyAddress;
        AnswerMatch expected;
    } cases[] = {
        {"status block", status, words(2, 48), false, AnswerMatch::Matches},
        {"status block from address 7", status, words(7, 48), false, AnswerMatch::Foreign},
        {"point to point: any address", status, words(7, 48), true, AnswerMatch::Matches},
        {"a protocol for a status request", status, words(2, 32), false, AnswerMatch::Foreign},
        {"a status block for a protocol request", protocol, words(2, 48), false,
         AnswerMatch::Foreign},
        {"a write echo for a read", status, answer("0206040801C8"), false, AnswerMatch::Foreign},
        {"the echo of the write", write, answer("0206040801C8"), false, AnswerMatch::Matches},
        {"the echo of another register", write, answer("0206040901C8"), false,
         AnswerMatch::Foreign},
        {"the echo of another value", write, answer("0206040800C8"), false, AnswerMatch::Foreign},
        {"a read answer for a write", write, words(2, 1), false, AnswerMatch::Foreign},
        {"read refused", status, answer("028302"), false, AnswerMatch::Exception},
        {"write refused", write, answer("028603"), false, AnswerMatch::Exception},
        {"a refusal of the other function", write, answer("028302"), false, AnswerMatch::Foreign},
        {"a refusal from another relay", write, answer("038603"), false, AnswerMatch::Foreign},
        {"byte count that disagrees with the data", status, answer("0203600001"), false,
         AnswerMatch::Foreign},
        {"too short to be anything", status, answer("0203"), false, AnswerMatch::Foreign},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matchesRequest(c.request, c.answer, c.anyAddress), c.expected) << c.what;
    }
}

}  // namespace
}  // namespace terval
