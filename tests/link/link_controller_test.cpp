#include "link/link_controller.h"

#include <gtest/gtest.h>

#include <map>

#include "support/rig.h"

namespace terval {
namespace {

using testing::Request;
using testing::Rig;

TEST(TcpLink, ConnectingShowsEveryStageWithTheLinkDescription) {
    Rig rig(3);
    rig.station().connection.ipAddress = {10, 0, 0, 5};
    rig.station().connection.tcpPort = 502;
    rig.core().main.NEWbmpClick(2);
    LinkController& link = rig.core().link;
    link.NConnectingClick();
    EXPECT_EQ(rig.socket.host, QStringLiteral("10.0.0.5"));
    EXPECT_EQ(rig.socket.port, 502);
    EXPECT_EQ(link.LinkDescription(), QStringLiteral("IP adress: 10.0.0.5  Port: 502"));
    EXPECT_TRUE(rig.view.connectCaptionUp);
    // "Отключиться" and "Выход" stay at hand while the connection is being made.
    EXPECT_EQ(rig.view.menu, menu_masks::kLinkAwaitedSelected);
    EXPECT_TRUE(rig.view.enabled(MenuItem::NExit));

    link.ClientSocketLookup();
    link.ClientSocketConnecting();
    rig.socket.connectNow();
    EXPECT_EQ(rig.view.statusTexts,
              (QStringList{"Идет поиск устройства удаленного доступа...",
                           "Идет подключение к устройству - IP adress: 10.0.0.5  Port: 502",
                           "Произошло подключение к устройству - IP adress: 10.0.0.5  Port: 502"}));
    EXPECT_TRUE(rig.view.pollTimer);
    EXPECT_TRUE(rig.view.enabled(MenuItem::NConnecting));
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x0100, 48}));
}

TEST(TcpLink, ConnectionErrorIsRetriedWithGrowingPausesUntilTheOperatorStops) {
    Rig rig(2);
    rig.connect();
    for (int i = 0; i < 4; ++i) {
        rig.tickUntilSent();
        rig.answerPlausibly(700);
    }
    ASSERT_EQ(rig.station().tile(1).state, kTileAnswering);
    const uint32_t sent = rig.relay(1).RequestsSent;
    rig.core().link.ClientSocketError();
    // Nothing on screen looks live, and the link is still wanted.
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    EXPECT_TRUE(rig.view.tiles.at(1).stale);
    EXPECT_EQ(rig.view.tiles.at(1).lastAnswer,
              QStringLiteral("Последний ответ: 15.03.2026 12:00:00"));
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("700"));
    EXPECT_FALSE(rig.socket.active);
    EXPECT_TRUE(rig.station().linkUp);
    EXPECT_TRUE(rig.view.connectCaptionUp);
    EXPECT_EQ(rig.view.menu, menu_masks::kLinkAwaited);
    EXPECT_EQ(rig.view.statusTexts.last(),
              QStringLiteral("Возникла ошибка при подключении к устройству - IP adress: "
                             "127.0.0.1  Port: 1502. Следующая попытка через 2 с."));
    EXPECT_EQ(rig.view.linkAttempt, QStringLiteral("Повтор через 2 с"));
    rig.tick(10);
    EXPECT_EQ(rig.view.linkAttempt, QStringLiteral("Повтор через 1 с"));
    rig.tick(10);
    EXPECT_EQ(rig.view.linkAttempt, QStringLiteral("Подключение…"));
    rig.core().link.ClientSocketError();
    rig.socket.activations -= 1;
    ASSERT_EQ(rig.view.linkAttempt, QStringLiteral("Повтор через 4 с"));
    // Attempts after 4, 8, 16 and then every 30 seconds, each failing.
    const int activations = rig.socket.activations;
    for (int pause : {4, 8, 16, 30, 30}) {
        rig.tick(10 * pause - 1);
        ASSERT_EQ(rig.socket.activations, activations) << pause;
        rig.tick();
        ASSERT_EQ(rig.socket.activations, activations + 1) << pause;
        EXPECT_TRUE(rig.socket.active);
        rig.core().link.ClientSocketError();
        rig.socket.activations = activations;
    }
    // The gateway is back: polling resumes by itself, counting on from where it was.
    rig.tick(300);
    rig.socket.connectNow();
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x0100, 48}));
    EXPECT_EQ(rig.relay(1).RequestsSent, sent + 1);
    rig.answerPlausibly(710);
    rig.tickUntilSent();
    rig.answerPlausibly();
    EXPECT_FALSE(rig.view.tiles.at(1).stale);
    EXPECT_TRUE(rig.view.linkAttempt.isEmpty());
    // After answers the pauses start again from 2 s; "Отключиться" ends the attempts.
    rig.core().link.ClientSocketError();
    EXPECT_TRUE(rig.view.statusTexts.last().endsWith(QStringLiteral("через 2 с.")));
    rig.core().link.NConnectingClick();
    EXPECT_FALSE(rig.station().linkUp);
    EXPECT_FALSE(rig.view.pollTimer);
    EXPECT_EQ(rig.view.menu, menu_masks::kIdle);
    const int closedAt = rig.socket.activations;
    rig.tick(400);
    EXPECT_EQ(rig.socket.activations, closedAt);
}

TEST(TcpLink, AttemptThatHangsIsGivenUpAfterFiveSecondsAndCanBeCancelled) {
    Rig rig(1);
    rig.core().link.NConnectingClick();
    rig.tick(49);
    EXPECT_TRUE(rig.socket.active);
    EXPECT_EQ(rig.core().link.state(), LinkState::Opening);
    rig.tick();
    EXPECT_FALSE(rig.socket.active);
    EXPECT_EQ(rig.core().link.state(), LinkState::Waiting);
    EXPECT_EQ(rig.view.statusTexts.last(),
              QStringLiteral("Возникла ошибка при подключении к устройству - IP adress: "
                             "127.0.0.1  Port: 1502 (устройство не ответило за 5 с). Следующая "
                             "попытка через 2 с."));
    // The next attempt, cancelled while it hangs.
    rig.tick(20);
    ASSERT_TRUE(rig.socket.active);
    rig.core().link.ClientSocketConnecting();
    rig.core().link.NConnectingClick();
    EXPECT_FALSE(rig.socket.active);
    EXPECT_EQ(rig.core().link.state(), LinkState::Closed);
    // The status line no longer tells of a connection being made.
    EXPECT_EQ(rig.view.statusTexts.last(),
              QStringLiteral("Подключение к устройству - IP adress: 127.0.0.1  Port: 1502 "
                             "отменено"));
    // Cancelled while waiting for the next attempt, too.
    rig.core().link.NConnectingClick();
    rig.core().link.ClientSocketConnecting();
    rig.tick(50);
    ASSERT_EQ(rig.core().link.state(), LinkState::Waiting);
    rig.core().link.NConnectingClick();
    EXPECT_FALSE(rig.view.statusTexts.last().contains(QStringLiteral("попытка")));
    EXPECT_TRUE(rig.view.statusTexts.last().endsWith(QStringLiteral("отменено")));
}

TEST(TcpLink, PeerThatHangsUpIsConnectedAgainAndNothingLooksLiveMeanwhile) {
    Rig rig(2);
    rig.connect();
    for (int i = 0; i < 2; ++i) {
        rig.tickUntilSent();
        rig.answerPlausibly();
    }
    ASSERT_EQ(rig.station().tile(1).state, kTileAnswering);
    rig.tickUntilSent();
    rig.socket.hangUp();
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    EXPECT_EQ(rig.core().link.state(), LinkState::Waiting);
    const int activations = rig.socket.activations;
    rig.tick(20);
    EXPECT_EQ(rig.socket.activations, activations + 1);
    rig.socket.connectNow();
    for (int i = 0; i < 2; ++i) {
        rig.tickUntilSent();
        rig.answerPlausibly();
    }
    EXPECT_NE(rig.station().tile(1).state, kTileNoAnswer);
}

TEST(TcpLink, SilentPeerIsDroppedAfterTwoNPlusOneTimeoutsAndReopened) {
    Rig rig(3);
    rig.connect();
    int timeouts = 0;
    // Seven unanswered requests, each timing out.
    for (; timeouts < 7; ++timeouts) {
        ASSERT_GT(rig.tickUntilSent(), 0);
        rig.tick(6);
    }
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts(), 7);
    const int sent = static_cast<int>(rig.socket.sent.size());
    // The next send point drops the connection and sends nothing.
    rig.tick();
    EXPECT_FALSE(rig.socket.active);
    EXPECT_EQ(rig.socket.deactivations, 1);
    EXPECT_EQ(rig.socket.sent.size(), sent);
    // That tick too ends in a timeout; the following send point opens the connection again.
    rig.tick(6);
    const int activations = rig.socket.activations;
    rig.tick();
    EXPECT_EQ(rig.socket.activations, activations + 1);
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts(), 0);
    EXPECT_EQ(rig.socket.sent.size(), sent);
    // Connected again: polling goes on with relay 2, after relay 1 that was asked last; the two
    // ticks that sent nothing took nobody's turn.
    rig.socket.connectNow();
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{2, 3, 0x0100, 48}));
}

TEST(TcpLink, AnyAnswerResetsTheTimeoutCount) {
    Rig rig(1);
    rig.connect();
    rig.tickUntilSent();
    rig.tick(6);
    rig.tickUntilSent();
    rig.tick(6);
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts(), 2);
    rig.tickUntilSent();
    rig.answerPlausibly();
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts(), 0);
}

// Polls, answering every relay with 1234 kΩ, until relay 2's status block is asked for.
void untilRelayTwoStatus(Rig& rig) {
    for (int i = 0; i < 10; ++i) {
        rig.tickUntilSent();
        if (rig.lastRequest() == Request{2, 3, 0x0100, 48}) {
            return;
        }
        rig.answerPlausibly(1234);
    }
    FAIL() << "relay 2 was not polled";
}

TEST(TcpLink, OnlyTheAnswerWithTheRequestsTransactionIdentifierIsTaken) {
    Rig rig(1);
    rig.connect();
    rig.tickUntilSent();
    const uint16_t asked = rig.lastTransaction();
    ASSERT_NE(asked, 0);
    // An answer to another request is read past without a word; the request's own is taken.
    rig.deliver(testing::tcpReadAnswer(1, testing::statusBlock(666), asked + 1));
    EXPECT_FALSE(rig.station().tile(1).valueVisible);
    EXPECT_EQ(rig.relay(1).GoodAnswers + rig.relay(1).BadAnswers, 0u);
    rig.deliver(testing::tcpReadAnswer(1, testing::statusBlock(777), asked));
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("777"));
    EXPECT_EQ(rig.relay(1).GoodAnswers, 1u);
    // A peer that does not echo the identifier answers with 0, and is taken as it always was.
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastTransaction(), asked + 1);
    rig.deliver(testing::tcpReadAnswer(1, QVector<uint16_t>(32, 0), 0));
    EXPECT_EQ(rig.relay(1).GoodAnswers, 2u);
}

// Relay 2's answer trickles in a byte at a time, past the end of its request and into relay 3's:
// relay 2 counts one request unanswered, relay 3 gets its own answer and stays green.
TEST(TcpLink, TricklingAnswerDoesNotBlindTheNextRelay) {
    Rig rig(3);
    rig.connect();
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 6; ++i) {
            rig.tickUntilSent();
            rig.answerPlausibly(1234);
        }
    }
    untilRelayTwoStatus(rig);
    const QByteArray late =
        testing::tcpReadAnswer(2, testing::statusBlock(22), rig.lastTransaction());
    int next = 0;
    // Bytes keep the request alive only so long; then relay 3 is asked.
    while (rig.lastRequest().unit == 2) {
        rig.deliver(late.mid(next++, 1));
        rig.tick();
    }
    ASSERT_LT(next, late.size());
    ASSERT_EQ(rig.lastRequest(), (Request{3, 3, 0x0100, 48}));
    const QByteArray own =
        testing::tcpReadAnswer(3, testing::statusBlock(33), rig.lastTransaction());
    const QByteArray rest = late.mid(next) + own;
    for (int i = 0; i < rest.size(); ++i) {
        rig.deliver(rest.mid(i, 1));
    }
    EXPECT_EQ(rig.station().tile(3).value, QStringLiteral("33"));
    EXPECT_EQ(rig.station().tile(3).state, kTileAnswering);
    EXPECT_EQ(rig.relay(3).BadAnswers, 0u);
    EXPECT_EQ(rig.station().tile(2).value, QStringLiteral("1234"));
}

// A gateway that drops the connection whenever relay 2 is asked: every relay after it is still
// polled, the connection being made again each time.
TEST(TcpLink, RelayThatMakesTheGatewayHangUpDoesNotStarveTheRelaysAfterIt) {
    Rig rig(5);
    rig.connect();
    std::map<int, int> asked;
    for (int i = 0; i < 40; ++i) {
        ASSERT_GT(rig.tickUntilSent(40), 0) << "request " << i;
        const Request r = rig.lastRequest();
        ++asked[r.unit];
        if (r.unit == 2) {
            rig.socket.hangUp();
            for (int t = 0; t < 100 && !rig.socket.active; ++t) {
                rig.tick();
            }
            rig.socket.connectNow();
        } else {
            rig.answerPlausibly();
        }
    }
    for (int relay = 1; relay <= 5; ++relay) {
        EXPECT_GE(asked[relay], 3) << "relay " << relay;
    }
}

TEST(TcpLink, AnswersSplitOverReadsOrRunTogetherAreTakenWhole) {
    Rig rig(2);
    rig.connect();
    untilRelayTwoStatus(rig);
    const QByteArray answer = testing::tcpReadAnswer(2, testing::statusBlock(27));
    rig.deliver(answer.left(5));
    rig.deliver(answer.mid(5, 50));
    EXPECT_FALSE(rig.station().tile(2).valueVisible);
    rig.deliver(answer.mid(55));
    EXPECT_EQ(rig.station().tile(2).value, QStringLiteral("27"));
    EXPECT_EQ(rig.relay(2).GoodAnswers, 1u);

    // Two answers in one read: the first is the answer, the rest is not asked for.
    rig.tickUntilSent();
    rig.deliver(testing::tcpReadAnswer(2, QVector<uint16_t>(32, 0)) +
                testing::tcpReadAnswer(2, testing::statusBlock(99)) + QByteArray(1500, '\x5A'));
    EXPECT_EQ(rig.relay(2).GoodAnswers, 2u);
    EXPECT_EQ(rig.relay(2).BadAnswers, 0u);
    EXPECT_EQ(rig.station().tile(2).value, QStringLiteral("27"));
}

TEST(TcpLink, ExceptionEndsTheRequestAtOnceAsATimeout) {
    Rig rig(2);
    rig.connect();
    untilRelayTwoStatus(rig);
    rig.answerPlausibly(1234);
    rig.tickUntilSent();
    rig.answerPlausibly(1234);
    ASSERT_EQ(rig.station().tile(2).state, kTileAnswering);
    untilRelayTwoStatus(rig);
    // Exception 11: the gateway's relay behind it does not answer.
    rig.deliver(QByteArray::fromHex("00000000000302830B"));
    EXPECT_EQ(rig.station().tile(2).state, kTileNoAnswer);
    EXPECT_EQ(rig.relay(2).BadAnswers, 1u);
    EXPECT_EQ(rig.relay(2).GoodAnswers, 2u);
    EXPECT_TRUE(rig.messages.messages.isEmpty());
    // The timeout rule sends the round robin on to the next relay at the next send point.
    EXPECT_EQ(rig.tickUntilSent(), 2);
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x0100, 48}));
    // The gateway answers, so the connection is not dropped for it.
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts(), 0);
}

TEST(TcpLink, AnAnswerToAnotherRequestIsCountedAndTheWaitGoesOn) {
    Rig rig(2);
    rig.connect();
    untilRelayTwoStatus(rig);
    // Relay 1's protocol, late, then the status block from relay 1 and a status block of the
    // wrong size: none of them is relay 2's answer.
    rig.deliver(testing::tcpReadAnswer(1, QVector<uint16_t>(32, 0)));
    rig.deliver(testing::tcpReadAnswer(1, testing::statusBlock(5)));
    rig.deliver(testing::tcpReadAnswer(2, QVector<uint16_t>(47, 5)));
    EXPECT_FALSE(rig.station().tile(2).valueVisible);
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("1234"));
    EXPECT_EQ(rig.relay(2).BadAnswers, 1u);
    EXPECT_FALSE(rig.poll().ReadyToSend());
    // The real answer still comes in time: it is shown, and the request stays counted once.
    rig.tick(3);
    rig.answerRead(testing::statusBlock(321));
    EXPECT_EQ(rig.station().tile(2).value, QStringLiteral("321"));
    EXPECT_EQ(rig.relay(2).RequestsSent, 1u);
    EXPECT_EQ(rig.relay(2).GoodAnswers + rig.relay(2).BadAnswers, 1u);
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{2, 3, 0x1000, 32}));
}

TEST(TcpLink, BytesBeforeAnyRequestAreDropped) {
    Rig rig(2);
    rig.connect();
    // A peer that speaks first, with something that even looks like an answer.
    rig.deliver(QByteArray("SSH-2.0-server\r\n"));
    rig.deliver(testing::tcpReadAnswer(1, testing::statusBlock(5)));
    EXPECT_FALSE(rig.station().tile(1).valueVisible);
    EXPECT_EQ(rig.relay(1).GoodAnswers + rig.relay(1).BadAnswers, 0u);
    EXPECT_EQ(rig.tickUntilSent(), 2);
    rig.answerPlausibly(10);
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("10"));
}

TEST(TcpLink, HeaderNoAnswerCanHaveIsOneBadAnswerAndTheStepGoesAgain) {
    Rig rig(1);
    rig.connect();
    rig.tickUntilSent();
    rig.answerPlausibly();
    rig.tickUntilSent();
    QByteArray answer = testing::tcpReadAnswer(1, QVector<uint16_t>(32, 0));
    answer[2] = 0x12;  // protocol identifier
    rig.deliver(answer);
    EXPECT_EQ(rig.relay(1).BadAnswers, 1u);
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x1000, 32}));
}

TEST(TcpLink, LinkOpenedAgainStartsTheRoundRobinCleanly) {
    Rig rig(2);
    rig.core().main.NEWbmpClick(2);
    rig.connect();
    rig.scheduler().windowOpened();
    // Into the parameter window's reads, then the connection breaks.
    for (int i = 0; i < 6 && rig.poll().PollStep() != kStepSetpoints; ++i) {
        rig.tickUntilSent();
        rig.answerPlausibly();
    }
    ASSERT_EQ(rig.poll().PollStep(), kStepSetpoints);
    rig.core().link.ClientSocketError();
    rig.scheduler().windowClosed();
    rig.tick(20);
    rig.socket.connectNow();
    // The parameter window's step is gone; the round goes on after relay 1, asked last in it.
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{2, 3, 0x0100, 48}));
}

TEST(SerialLink, PortThatCannotBeOpenedShowsTheMessageAndStaysClosed) {
    Rig rig(2, kLinkRs485);
    rig.serial.canOpen = false;
    rig.core().link.NConnectingClick();
    ASSERT_EQ(rig.messages.messages.size(), 1);
    EXPECT_EQ(rig.messages.messages[0].text, QStringLiteral("Не могу открыть СОМ порт"));
    EXPECT_EQ(rig.messages.messages[0].caption, QStringLiteral("Ошибка СОМ порта"));
    EXPECT_EQ(rig.messages.messages[0].icon, MessageIcon::Error);
    EXPECT_FALSE(rig.station().linkUp);
    EXPECT_FALSE(rig.view.pollTimer);
    EXPECT_EQ(rig.view.menu, menu_masks::kIdle);
}

TEST(SerialLink, OpenedPortPollsWithRtuFrames) {
    Rig rig(2, kLinkRs485);
    rig.station().devices.entry(2).Address = 7;
    rig.connect();
    EXPECT_TRUE(rig.view.portOpen);
    EXPECT_EQ(rig.view.menu, menu_masks::kSerialOpened | menuBit(MenuItem::NExit));
    rig.tickUntilSent();
    EXPECT_EQ(rig.serial.written.last(), QByteArray::fromHex("0103010000304422"));
    rig.answerPlausibly();
    rig.tickUntilSent();
    rig.answerPlausibly();
    rig.tickUntilSent();
    EXPECT_EQ(rig.serial.written.last().left(6), QByteArray::fromHex("070301000030"));
}

TEST(SerialLink, PointToPointSendsEverythingToAddressOne) {
    Rig rig(2, kLinkRs232);
    rig.station().devices.entry(1).Address = 7;
    rig.connect();
    rig.tickUntilSent();
    EXPECT_EQ(rig.serial.written.last(), QByteArray::fromHex("0103010000304422"));
}

TEST(SerialLink, BadCrcCountsOneBadAnswerAndTheSameStepIsSentAgain) {
    Rig rig(1, kLinkRs485);
    rig.connect();
    for (int i = 0; i < 3; ++i) {
        rig.tickUntilSent();
        rig.answerPlausibly();
    }
    rig.tickUntilSent();
    QByteArray answer = testing::rtuReadAnswer(1, QVector<uint16_t>(32, 0));
    answer[10] = static_cast<char>(answer[10] ^ 1);
    rig.deliver(answer);
    EXPECT_EQ(rig.relay(1).BadAnswers, 1u);
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x1000, 32}));
    // A relay whose frames keep breaking is given up after the third, as if it had not answered.
    rig.deliver(answer);
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x1000, 32}));
    ASSERT_EQ(rig.station().tile(1).state, kTileAnswering);
    rig.deliver(answer);
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    EXPECT_EQ(rig.relay(1).BadAnswers, 3u);
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x0100, 48}));
}

TEST(SerialLink, DeviceThatGoesAwayIsReportedOnceAndOpenedAgainWhenItIsBack) {
    Rig rig(2, kLinkRs485);
    rig.connect();
    for (int i = 0; i < 4; ++i) {
        rig.tickUntilSent();
        rig.answerPlausibly();
    }
    ASSERT_EQ(rig.station().tile(2).state, kTileAnswering);
    const uint32_t sent = rig.relay(1).RequestsSent;
    rig.tickUntilSent();
    rig.serial.lose();
    ASSERT_EQ(rig.messages.messages.size(), 1);
    EXPECT_TRUE(rig.messages.messages[0].text.startsWith(
        QStringLiteral("Связь с СОМ портом COM1 потеряна.\n")));
    EXPECT_FALSE(rig.view.portOpen);
    EXPECT_TRUE(rig.view.connectCaptionUp);
    EXPECT_TRUE(rig.view.enabled(MenuItem::NConnecting));
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    EXPECT_EQ(rig.station().tile(2).state, kTileNoAnswer);
    EXPECT_EQ(rig.view.statusTexts.last(),
              QStringLiteral("Связь с СОМ портом COM1 потеряна. Следующая попытка через 5 с."));
    // Still missing at the next attempts: no box, nothing written.
    const int written = static_cast<int>(rig.serial.written.size());
    rig.tick(100);
    EXPECT_EQ(rig.messages.messages.size(), 1);
    EXPECT_EQ(rig.serial.written.size(), written);
    // Back: the port opens at the next attempt, five seconds at most, and polling goes on.
    rig.serial.canOpen = true;
    rig.tick(50);
    EXPECT_TRUE(rig.view.portOpen);
    EXPECT_EQ(rig.view.statusTexts.last(),
              QStringLiteral("Связь с СОМ портом COM1 восстановлена."));
    // The box that told of the loss closes itself.
    EXPECT_EQ(rig.messages.withdrawn, QStringList{rig.messages.messages[0].text});
    rig.tickUntilSent();
    rig.answerPlausibly();
    EXPECT_GT(rig.relay(1).RequestsSent + rig.relay(2).RequestsSent, sent);
    // Lost again within the minute: the same box is not shown again; "Отключиться" stops trying.
    rig.serial.lose();
    EXPECT_EQ(rig.messages.messages.size(), 1);
    rig.core().link.NConnectingClick();
    EXPECT_EQ(rig.core().link.state(), LinkState::Closed);
    EXPECT_FALSE(rig.station().linkUp);
    rig.serial.canOpen = true;
    rig.tick(100);
    EXPECT_FALSE(rig.serial.opened);
}

TEST(SerialLink, AnswerFromAnotherAddressIsNotTaken) {
    Rig rig(2, kLinkRs485);
    rig.station().devices.entry(2).Address = 2;
    rig.connect();
    untilRelayTwoStatus(rig);
    rig.deliver(testing::rtuReadAnswer(7, testing::statusBlock(5)));
    EXPECT_FALSE(rig.station().tile(2).valueVisible);
    EXPECT_EQ(rig.relay(2).BadAnswers, 1u);
    // A write echo is no status block either.
    QByteArray echo = QByteArray::fromHex("0206040800C8");
    const uint16_t crc = MatchCRC(echo);
    echo.append(static_cast<char>(crc & 0xFF)).append(static_cast<char>(crc >> 8));
    rig.deliver(echo);
    EXPECT_EQ(rig.relay(2).BadAnswers, 1u);
    EXPECT_FALSE(rig.station().tile(2).valueVisible);
}

// Relay 2's answer stops half-way and its tail comes after relay 3 has been asked, right before
// relay 3's own answer, the two cut into reads anywhere: relay 3's answer is found behind the tail.
TEST(SerialLink, TailOfALateAnswerDoesNotBlindTheNextRelay) {
    const QByteArray late = testing::rtuReadAnswer(2, testing::statusBlock(22));
    const QByteArray own = testing::rtuReadAnswer(3, testing::statusBlock(33));
    const QByteArray rest = late.mid(60) + own;
    for (int cut = 0; cut < rest.size(); cut += 5) {
        Rig rig(3, kLinkRs485);
        rig.connect();
        untilRelayTwoStatus(rig);
        rig.deliver(late.left(60));
        while (rig.lastRequest().unit == 2) {
            rig.tick();
        }
        ASSERT_EQ(rig.lastRequest(), (Request{3, 3, 0x0100, 48}));
        rig.deliver(rest.left(cut));
        rig.deliver(rest.mid(cut));
        EXPECT_EQ(rig.station().tile(3).value, QStringLiteral("33")) << "cut " << cut;
        EXPECT_EQ(rig.relay(3).BadAnswers, 0u) << "cut " << cut;
        EXPECT_EQ(rig.relay(3).GoodAnswers, 1u) << "cut " << cut;
    }
}

TEST(SerialLink, PointToPointTakesTheOneRelayWhateverItsAddress) {
    Rig rig(1, kLinkRs232);
    rig.connect();
    rig.tickUntilSent();
    rig.deliver(testing::rtuReadAnswer(9, testing::statusBlock(42)));
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("42"));
}

TEST(SerialLink, AChatteringLineNeitherHoldsNorStopsThePoll) {
    Rig rig(2, kLinkRs485);
    rig.connect();
    // One stray byte every tick, answered or not: every request still ends by its 20th tick and
    // the next one goes out.
    int sentAt = -1;
    for (int t = 0; t < 200; ++t) {
        rig.tick();
        rig.deliver(QByteArray(1, '\x01'));
        if (rig.sentCount() == 1 && sentAt < 0) {
            sentAt = t;
        }
    }
    EXPECT_GE(sentAt, 0);
    EXPECT_GE(rig.sentCount(), 200 / 21);
    EXPECT_EQ(rig.relay(1).RequestsSent + rig.relay(2).RequestsSent,
              static_cast<uint32_t>(rig.sentCount()));
}

}  // namespace
}  // namespace terval
