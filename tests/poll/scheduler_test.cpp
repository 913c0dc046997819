#include "poll/scheduler.h"

#include <gtest/gtest.h>

#include "support/rig.h"

namespace terval {
namespace {

using testing::Request;
using testing::Rig;

Request read(int unit, int reg, int count) {
    return {unit, 3, reg, count};
}
Request write(int unit, int reg, int value) {
    return {unit, 6, reg, value};
}

// Sends, records and answers `n` requests; returns them in order.
QVector<Request> pollAnswering(Rig& rig, int n) {
    QVector<Request> seen;
    for (int i = 0; i < n; ++i) {
        EXPECT_GT(rig.tickUntilSent(), 0);
        seen << rig.lastRequest();
        rig.answerPlausibly();
    }
    return seen;
}

TEST(Scheduler, RoundRobinReadsStatusThenNewestProtocolOfEachRelay) {
    Rig rig(3);
    rig.connect();
    const QVector<Request> seen = pollAnswering(rig, 8);
    const QVector<Request> expected = {
        read(1, 0x0100, 48), read(1, 0x1000, 32), read(2, 0x0100, 48), read(2, 0x1000, 32),
        read(3, 0x0100, 48), read(3, 0x1000, 32), read(1, 0x0100, 48), read(1, 0x1000, 32)};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(rig.relay(1).RequestsSent, 4u);
    EXPECT_EQ(rig.relay(1).GoodAnswers, 4u);
    EXPECT_EQ(rig.relay(2).BadAnswers, 0u);
    // Every request on the wire is 12 bytes, with a transaction identifier of its own.
    for (int i = 0; i < rig.socket.sent.size(); ++i) {
        const QByteArray& frame = rig.socket.sent[i];
        EXPECT_EQ(frame.size(), 12);
        QByteArray header = QByteArray::fromHex("000000000006");
        header[1] = static_cast<char>(i + 1);
        EXPECT_EQ(frame.left(6), header);
    }
}

TEST(Scheduler, TimingInTicks) {
    Rig rig(2);
    rig.connect();
    // The first request goes out on the second tick after the link is up.
    rig.tick();
    EXPECT_EQ(rig.sentCount(), 0);
    rig.tick();
    EXPECT_EQ(rig.sentCount(), 1);
    EXPECT_TRUE(rig.view.leds[static_cast<int>(MainView::Led::TxD)]);

    // An answer within the tick: the next request exactly two ticks later.
    rig.answerPlausibly();
    EXPECT_TRUE(rig.view.leds[static_cast<int>(MainView::Led::RxD)]);
    rig.tick();
    EXPECT_EQ(rig.sentCount(), 1);
    EXPECT_FALSE(rig.view.leds[static_cast<int>(MainView::Led::RxD)]);
    rig.tick();
    EXPECT_EQ(rig.sentCount(), 2);

    // Unanswered: the sixth silent tick is the timeout, and the next request follows at once.
    rig.tick(5);
    EXPECT_EQ(rig.relay(1).BadAnswers, 0u);
    rig.tick();
    EXPECT_EQ(rig.relay(1).BadAnswers, 1u);
    EXPECT_EQ(rig.sentCount(), 2);
    rig.tick();
    EXPECT_EQ(rig.sentCount(), 3);
    // The timeout sent the round robin on to relay 2.
    EXPECT_EQ(rig.lastRequest(), read(2, 0x0100, 48));
}

TEST(Scheduler, ReceivedBytesPostponeTheTimeout) {
    Rig rig(1, kLinkRs485);
    rig.connect();
    rig.tick(2);
    ASSERT_EQ(rig.sentCount(), 1);
    const QByteArray answer = testing::rtuReadAnswer(1, testing::statusBlock(5));
    rig.tick(4);
    rig.deliver(answer.left(10));
    rig.tick(5);
    EXPECT_EQ(rig.relay(1).BadAnswers, 0u);
    rig.tick();
    EXPECT_EQ(rig.relay(1).BadAnswers, 1u);
}

TEST(Scheduler, SilentRelayCostsOneRequestPerRound) {
    Rig rig(3);
    rig.connect();
    QVector<Request> seen;
    for (int i = 0; i < 10; ++i) {
        ASSERT_GT(rig.tickUntilSent(), 0);
        seen << rig.lastRequest();
        if (rig.lastRequest().unit != 2) {
            rig.answerPlausibly();
        }
    }
    const QVector<Request> expected = {
        read(1, 0x0100, 48), read(1, 0x1000, 32), read(2, 0x0100, 48), read(3, 0x0100, 48),
        read(3, 0x1000, 32), read(1, 0x0100, 48), read(1, 0x1000, 32), read(2, 0x0100, 48),
        read(3, 0x0100, 48), read(3, 0x1000, 32)};
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(rig.relay(2).RequestsSent, 2u);
    EXPECT_EQ(rig.relay(2).BadAnswers, 2u);
    EXPECT_EQ(rig.station().tile(2).state, kTileNoAnswer);
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);
}

TEST(Scheduler, AnsweringTileGoesBackToNoAnswerOnTimeout) {
    Rig rig(1);
    rig.connect();
    pollAnswering(rig, 2);
    ASSERT_EQ(rig.station().tile(1).state, kTileAnswering);
    rig.tickUntilSent();
    rig.tick(6);
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    EXPECT_EQ(rig.view.tiles.at(1).state, kTileNoAnswer);
}

TEST(Scheduler, MenuMaskOfEachTickFollowsTheSelectedRelay) {
    Rig rig(2);
    rig.core().main.NEWbmpClick(2);
    rig.connect();
    EXPECT_EQ(rig.view.menu & menuBit(MenuItem::NConnecting), menuBit(MenuItem::NConnecting));
    rig.tick();
    EXPECT_EQ(rig.view.menu, menu_masks::kLinkUpSilent);
    pollAnswering(rig, 4);
    rig.tick();
    EXPECT_EQ(rig.view.menu, menu_masks::kPollingAnswering);
}

class ParamWindowPolling : public ::testing::Test {
  protected:
    void SetUp() override {
        rig.core().main.NEWbmpClick(2);
        rig.connect();
        pollAnswering(rig, 1);  // relay 1, status block
    }
    void openWindow() { rig.scheduler().windowOpened(); }
    Rig rig{3};
};

TEST_F(ParamWindowPolling, FirstFullReadThenThePageInterleavedWithTheRoundRobin) {
    openWindow();
    rig.scheduler().pageChosen(kPageCurrent);
    // The answer of the request in flight moves to the selected relay's status block.
    const QVector<Request> seen = pollAnswering(rig, 12);
    const QVector<Request> expected = {
        read(1, 0x1000, 32),  // still the Main phase's step 1
        read(2, 0x0100, 48), read(2, 0x0400, 64), read(2, 0x047F, 1), read(2, 0x04FF, 1),
        read(2, 0x1000, 32), read(2, 0x3000, 8),
        // Then one background relay between each read of the page: page 0 is the status block.
        read(2, 0x0100, 48), read(2, 0x1000, 32), read(2, 0x0100, 48), read(3, 0x0100, 48),
        read(3, 0x1000, 32)};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(rig.poll().InitialRead());
}

TEST_F(ParamWindowPolling, EveryPageReadsItsOwnBlocks) {
    openWindow();
    pollAnswering(rig, 7);  // up to the end of the first full read
    ASSERT_FALSE(rig.poll().InitialRead());

    // The page is chosen when the background relay's newest protocol has been answered; from
    // there the next `n` requests are recorded.
    const auto stepsOfPage = [this](int page, int n) {
        rig.scheduler().pageChosen(page);
        for (int i = 0; i < 20; ++i) {
            rig.tickUntilSent();
            const bool decides = rig.poll().PollStep() == kStepNewestProtocol;
            rig.answerPlausibly();
            if (decides) {
                break;
            }
        }
        QVector<int> regs;
        for (const Request& r : pollAnswering(rig, n)) {
            regs << r.reg;
        }
        return regs;
    };
    EXPECT_EQ(stepsOfPage(kPageCurrent, 3), (QVector<int>{0x0100, 0x0100, 0x1000}));
    EXPECT_EQ(stepsOfPage(kPageSetpoints, 6),
              (QVector<int>{0x0400, 0x047F, 0x04FF, 0x0100, 0x0100, 0x1000}));
    EXPECT_EQ(stepsOfPage(kPageSettings, 6),
              (QVector<int>{0x0400, 0x047F, 0x04FF, 0x0100, 0x0100, 0x1000}));
    rig.scheduler().tripProtocolChosen(5);
    EXPECT_EQ(stepsOfPage(kPageTripProtocols, 3), (QVector<int>{0x1080, 0x0100, 0x1000}));
    rig.scheduler().insulationProtocolChosen(64);
    EXPECT_EQ(stepsOfPage(kPageInsulationProtocols, 3), (QVector<int>{0x31F8, 0x0100, 0x1000}));
    // Numbers typed beyond the protocol area read the first protocol.
    rig.scheduler().insulationProtocolChosen(65);
    EXPECT_EQ(stepsOfPage(kPageInsulationProtocols, 1), (QVector<int>{0x3000}));
    rig.scheduler().insulationProtocolChosen(0);
    EXPECT_EQ(stepsOfPage(kPageInsulationProtocols, 1), (QVector<int>{0x3000}));
    rig.scheduler().tripProtocolChosen(-3);
    EXPECT_EQ(stepsOfPage(kPageTripProtocols, 1), (QVector<int>{0x1000}));
}

TEST_F(ParamWindowPolling, QueuedClockWriteGoesOutRegisterByRegisterThenTheStatusIsReread) {
    openWindow();
    pollAnswering(rig, 7);
    const uint16_t clock[7] = {59, 59, 23, 0, 31, 12, 2026};
    ASSERT_TRUE(rig.scheduler().queueWrite(0x0109, clock, 7));
    const QVector<Request> seen = pollAnswering(rig, 8);
    QVector<Request> expected;
    for (int i = 0; i < 7; ++i) {
        expected << write(2, 0x0109 + i, clock[i]);
    }
    expected << read(2, 0x0100, 48);
    EXPECT_EQ(seen, expected);
    // Write echoes count as good answers.
    EXPECT_EQ(rig.relay(2).GoodAnswers, 6u + 7u + 1u);
}

TEST_F(ParamWindowPolling, WritesGoOutWholeInTheOrderTheyWereAskedFor) {
    openWindow();
    pollAnswering(rig, 7);
    const uint16_t clock[7] = {5, 6, 7, 1, 8, 12, 2026};
    rig.scheduler().queueWrite(0x0109, clock, 7);
    rig.tickUntilSent();
    ASSERT_EQ(rig.lastRequest(), write(2, 0x0109, 5));
    // The operator writes a setpoint while the clock's first echo is still on its way: it waits
    // for the clock's last register.
    const uint16_t setpoint = 456;
    rig.scheduler().queueWrite(0x0408, &setpoint, 1);
    rig.answerWriteEcho();
    QVector<Request> expected;
    for (int i = 1; i < 7; ++i) {
        expected << write(2, 0x0109 + i, clock[i]);
    }
    expected << write(2, 0x0408, 456) << read(2, 0x0100, 48);
    EXPECT_EQ(pollAnswering(rig, 8), expected);

    // Two clicks on the clock button write the clock twice, each time from the seconds register.
    rig.scheduler().queueWrite(0x0109, clock, 7);
    pollAnswering(rig, 2);
    rig.scheduler().queueWrite(0x0109, clock, 7);
    const QVector<Request> seen = pollAnswering(rig, 13);
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(seen[i], write(2, 0x0109 + (i + 2) % 7, clock[(i + 2) % 7])) << i;
    }
    EXPECT_EQ(seen[12], read(2, 0x0100, 48));
    EXPECT_TRUE(rig.messages.messages.isEmpty());
}

TEST_F(ParamWindowPolling, RefusedWriteIsAbandonedAndTheOperatorIsTold) {
    openWindow();
    pollAnswering(rig, 7);
    const uint16_t values[2] = {20000, 400};
    rig.scheduler().queueWrite(0x041A, values, 2);
    rig.tickUntilSent();
    ASSERT_EQ(rig.lastRequest(), write(2, 0x041A, 20000));
    rig.deliver(QByteArray::fromHex("000000000003028603"));
    ASSERT_EQ(rig.messages.messages.size(), 1);
    EXPECT_EQ(rig.messages.messages[0].text,
              QStringLiteral("Защита «Ген. 2» не приняла запись регистра 0x041A = 20000: "
                             "недопустимое значение (код 3). Следующие регистры этой записи не "
                             "отправлены."));
    EXPECT_EQ(rig.messages.messages[0].caption, QStringLiteral("Ошибка записи"));
    EXPECT_EQ(rig.tickUntilSent(), 2);
    EXPECT_EQ(rig.lastRequest(), read(2, 0x0100, 48));
}

TEST_F(ParamWindowPolling, UnansweredWriteIsAbandoned) {
    openWindow();
    pollAnswering(rig, 7);
    const uint16_t values[2] = {300, 400};
    rig.scheduler().queueWrite(0x0400, values, 2);
    rig.tickUntilSent();
    ASSERT_EQ(rig.lastRequest(), write(2, 0x0400, 300));
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), read(2, 0x0100, 48));
}

TEST_F(ParamWindowPolling, ClosingTheWindowReturnsToTheMainPhaseAtStepZeroOrOne) {
    openWindow();
    pollAnswering(rig, 9);
    rig.scheduler().windowClosed();
    pollAnswering(rig, 3);
    EXPECT_EQ(rig.poll().PollPhase(), kPhaseMain);
}

TEST(Scheduler, CloseHappensAtTheNextSendPointOnly) {
    Rig rig(3);
    rig.core().main.NEWbmpClick(1);
    rig.connect();
    pollAnswering(rig, 2);
    ASSERT_EQ(rig.station().tile(1).state, kTileAnswering);
    rig.tickUntilSent();
    const int sent = rig.sentCount();
    rig.core().link.NConnectingClick();  // "Отключиться" while an answer is awaited
    EXPECT_TRUE(rig.station().linkUp);
    rig.tick(3);
    EXPECT_TRUE(rig.station().linkUp);
    rig.answerPlausibly();
    rig.tick(2);
    EXPECT_FALSE(rig.station().linkUp);
    EXPECT_EQ(rig.sentCount(), sent);
    EXPECT_FALSE(rig.view.pollTimer);
    EXPECT_FALSE(rig.socket.active);
    EXPECT_FALSE(rig.view.connectCaptionUp);
    EXPECT_EQ(rig.view.menu, menu_masks::kIdleSelected);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(rig.station().tile(i).state, kTileNoAnswer);
    }
}

TEST(Scheduler, CountersStartFromZeroWhenTheLinkOpens) {
    Rig rig(2);
    rig.relay(2).RequestsSent = 5;
    rig.relay(2).reserved32 = 7;
    rig.connect();
    EXPECT_EQ(rig.relay(2).RequestsSent, 0u);
    EXPECT_EQ(rig.relay(2).reserved32, 0u);
}

}  // namespace
}  // namespace terval

namespace terval {
namespace {

TEST_F(ParamWindowPolling, WithNoPageChosenOnlyTheBackgroundRelaysAreRead) {
    openWindow();
    pollAnswering(rig, 7);  // the first full read
    ASSERT_EQ(rig.poll().activePage(), kNoPage);
    QVector<testing::Request> seen = pollAnswering(rig, 6);
    EXPECT_EQ(seen, (QVector<testing::Request>{read(2, 0x0100, 48), read(2, 0x1000, 32),
                                               read(3, 0x0100, 48), read(3, 0x1000, 32),
                                               read(1, 0x0100, 48), read(1, 0x1000, 32)}));
}

}  // namespace
}  // namespace terval
