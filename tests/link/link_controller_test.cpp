#include "link/link_controller.h"

#include <gtest/gtest.h>

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
    EXPECT_EQ(rig.view.menu, menu_masks::kTcpStartedSelected);
    EXPECT_FALSE(rig.view.pollTimer);

    link.ClientSocketLookup();
    link.ClientSocketConnecting();
    rig.socket.connected = true;
    link.ClientSocketConnect();
    EXPECT_EQ(rig.view.statusTexts,
              (QStringList{"Идет поиск устройства удаленного доступа...",
                           "Идет подключение к устройству - IP adress: 10.0.0.5  Port: 502",
                           "Произошло подключение к устройству - IP adress: 10.0.0.5  Port: 502"}));
    EXPECT_TRUE(rig.view.pollTimer);
    EXPECT_TRUE(rig.view.enabled(MenuItem::NConnecting));
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x0100, 48}));
}

TEST(TcpLink, ConnectionErrorStopsPollingAndOffersConnectAgain) {
    Rig rig(2);
    rig.connect();
    rig.tickUntilSent();
    rig.answerPlausibly();
    rig.tickUntilSent();
    rig.answerPlausibly();
    ASSERT_EQ(rig.station().tile(1).state, kTileAnswering);
    rig.core().link.ClientSocketError();
    EXPECT_FALSE(rig.view.pollTimer);
    EXPECT_FALSE(rig.view.connectCaptionUp);
    EXPECT_FALSE(rig.station().linkUp);
    EXPECT_FALSE(rig.socket.active);
    EXPECT_EQ(rig.view.menu, menu_masks::kIdle);
    EXPECT_EQ(rig.view.statusTexts.last(),
              QStringLiteral("Возникла ошибка при подключении к устройству - IP adress: "
                             "127.0.0.1  Port: 1502"));
    // The tiles keep their last state.
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);
    // "Установить связь" opens the link again.
    rig.core().link.NConnectingClick();
    EXPECT_TRUE(rig.socket.active);
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
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts, 7);
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
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts, 0);
    EXPECT_EQ(rig.socket.sent.size(), sent);
    // Connected again: polling starts over with relay 1.
    rig.socket.connected = true;
    rig.core().link.ClientSocketConnect();
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x0100, 48}));
}

TEST(TcpLink, AnyAnswerResetsTheTimeoutCount) {
    Rig rig(1);
    rig.connect();
    rig.tickUntilSent();
    rig.tick(6);
    rig.tickUntilSent();
    rig.tick(6);
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts, 2);
    rig.tickUntilSent();
    rig.answerPlausibly();
    EXPECT_EQ(rig.poll().ConsecutiveTimeouts, 0);
}

TEST(TcpLink, AnswerIsTakenWhateverItsHeaderSays) {
    Rig rig(1);
    rig.connect();
    rig.tickUntilSent();
    rig.core().link.ClientSocketRead(
        testing::tcpReadAnswer(1, testing::statusBlock(777), /*transaction=*/0x4242));
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("777"));
    EXPECT_EQ(rig.relay(1).GoodAnswers, 1u);
}

TEST(TcpLink, ThreeRegisterAnswerLandsAtTheStartOfTheBuffer) {
    Rig rig(1);
    rig.connect();
    rig.tickUntilSent();
    rig.core().link.ClientSocketRead(QByteArray::fromHex("000000000009010306000100020003"));
    const ReceiveBuffer& rx = rig.station().receive;
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(rx.bytes.data()), 9),
              QByteArray::fromHex("010306000100020003"));
    EXPECT_EQ(rig.station().words[2], 3);
}

TEST(TcpLink, ExceptionAndShortReadsAreBadAnswersAndDoNotShowOldValues) {
    Rig rig(2);
    rig.connect();
    // Polls, answering relay 1 with 1234 kΩ, until relay 2's status block is asked for.
    const auto untilRelayTwoStatus = [&rig] {
        for (int i = 0; i < 10; ++i) {
            rig.tickUntilSent();
            if (rig.lastRequest() == Request{2, 3, 0x0100, 48}) {
                return;
            }
            rig.answerPlausibly(1234);
        }
        FAIL() << "relay 2 was not polled";
    };
    untilRelayTwoStatus();
    rig.core().link.ClientSocketRead(QByteArray::fromHex("000000000003028302"));
    EXPECT_FALSE(rig.station().tile(2).valueVisible);
    EXPECT_EQ(rig.relay(2).BadAnswers, 1u);
    EXPECT_EQ(rig.relay(2).GoodAnswers, 0u);
    EXPECT_TRUE(rig.poll().ReadyToSend);
    // The step is built again, and step 0 always moves on to the next relay.
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x0100, 48}));
    rig.answerPlausibly(1234);

    untilRelayTwoStatus();
    rig.core().link.ClientSocketRead(QByteArray::fromHex("000000000006"));
    EXPECT_EQ(rig.relay(2).BadAnswers, 2u);

    // An answer whose data did not all arrive is not decoded either.
    untilRelayTwoStatus();
    rig.core().link.ClientSocketRead(testing::tcpReadAnswer(2, testing::statusBlock(55)).left(40));
    EXPECT_EQ(rig.relay(2).BadAnswers, 3u);
    EXPECT_FALSE(rig.station().tile(2).valueVisible);
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("1234"));
}

TEST(TcpLink, TwoAnswersInOneReadAndAnOversizedReadTakeTheFirst) {
    Rig rig(1);
    rig.connect();
    rig.tickUntilSent();
    QByteArray reads = testing::tcpReadAnswer(1, testing::statusBlock(11)) +
                       testing::tcpReadAnswer(1, testing::statusBlock(22));
    reads += QByteArray(1500, '\x5A');
    rig.core().link.ClientSocketRead(reads);
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("11"));
}

TEST(TcpLink, LinkOpenedAgainStartsTheRoundRobinCleanly) {
    Rig rig(2);
    rig.poll().PollStep = kStepSetpoints;  // left over from a window open when the link dropped
    rig.connect();
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x0100, 48}));
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
    EXPECT_TRUE(rig.serial.rts);
    EXPECT_FALSE(rig.serial.dtr);
    EXPECT_EQ(rig.view.menu, menu_masks::kSerialOpened);
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
    rig.tickUntilSent();
    rig.answerPlausibly();
    rig.tickUntilSent();
    QByteArray answer = testing::rtuReadAnswer(1, QVector<uint16_t>(32, 0));
    answer[10] = static_cast<char>(answer[10] ^ 1);
    rig.core().link.ReceiveCOM(answer);
    EXPECT_EQ(rig.relay(1).BadAnswers, 1u);
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (Request{1, 3, 0x1000, 32}));
}

}  // namespace
}  // namespace terval
