// What the station relies on of a link, checked the same way against the real serial link on a
// pty pair, the real TCP link on loopback, and the two fakes the core tests play the line with.
#include <gtest/gtest.h>
#include <QSerialPort>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "io/serial_link.h"
#include "io/tcp_link.h"
#include "station_harness.h"
#include "support/fakes.h"

namespace terval {
namespace {

using testing::FakeSerialPort;
using testing::FakeTcpSocket;
using testing::PtyPair;
using testing::runEventsUntil;

// Everything a link reported, in order.
class RecordingEvents final : public LinkEvents {
  public:
    void linkLookup() override { events << "lookup"; }
    void linkConnecting() override { events << "connecting"; }
    void linkOpened() override { events << "opened"; }
    void linkDisconnected() override { events << "disconnected"; }
    void linkError(const QString&) override { events << "error"; }
    void linkLost(const QString&) override { events << "lost"; }
    void bytesReceived(QByteArrayView bytes) override { received += bytes.toByteArray(); }

    QStringList events;
    QByteArray received;
};

bool waitFor(const std::function<bool()>& done) {
    return runEventsUntil(3000, done);
}

// One kind of link with the far end of its line, as the test plays it.
class LinkRig {
  public:
    virtual ~LinkRig() = default;
    virtual Link& link() = 0;
    virtual LinkTarget target() = 0;
    // Makes the far end accept the link, where it has to.
    virtual void acceptAtFarEnd() {}
    virtual QByteArray receivedAtFarEnd() = 0;
    virtual void sendFromFarEnd(const QByteArray& bytes) = 0;
    // The far end goes away: the TCP peer hangs up; a serial line has no such thing.
    virtual bool hangUp() { return false; }
    // Once the link is closed: waits until whatever it sent before has reached the far end, so
    // that receivedAtFarEnd() is all it will ever be. False if that cannot be known in time.
    virtual bool drainFarEnd() { return true; }
};

class FakeSerialRig final : public LinkRig {
  public:
    Link& link() override { return port; }
    LinkTarget target() override { return {}; }
    QByteArray receivedAtFarEnd() override { return port.written.join(); }
    void sendFromFarEnd(const QByteArray& bytes) override { port.deliver(bytes); }
    FakeSerialPort port;
};

class FakeTcpRig final : public LinkRig {
  public:
    Link& link() override { return socket; }
    LinkTarget target() override { return {{}, QStringLiteral("127.0.0.1"), 502}; }
    void acceptAtFarEnd() override {
        if (socket.active && !socket.connected) {
            socket.connectNow();
        }
    }
    QByteArray receivedAtFarEnd() override { return socket.sent.join(); }
    void sendFromFarEnd(const QByteArray& bytes) override { socket.deliver(bytes); }
    bool hangUp() override {
        socket.hangUp();
        return true;
    }
    FakeTcpSocket socket;
};

class QtTcpRig final : public LinkRig {
  public:
    QtTcpRig() {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection,
                         [this] { peer.reset(server.nextPendingConnection()); });
    }
    Link& link() override { return tcp; }
    LinkTarget target() override { return {{}, QStringLiteral("127.0.0.1"), server.serverPort()}; }
    QByteArray receivedAtFarEnd() override {
        if (peer) {
            got += peer->readAll();
        }
        return got;
    }
    void sendFromFarEnd(const QByteArray& bytes) override {
        waitFor([this] { return peer != nullptr; });
        peer->write(bytes);
        peer->flush();
    }
    bool hangUp() override {
        waitFor([this] { return peer != nullptr; });
        peer->disconnectFromHost();
        return true;
    }
    // Nothing comes on a connection after its end.
    bool drainFarEnd() override {
        return waitFor([this] {
            return peer != nullptr && peer->state() == QAbstractSocket::UnconnectedState;
        });
    }
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;
    QtTcpLink tcp;
    QByteArray got;
};

class QtSerialRig final : public LinkRig {
  public:
    QtSerialRig() : serial(QDir(folder.path())) {
        ok = pty.start(QDir(folder.path()).filePath("COM4"), QDir(folder.path()).filePath("far"));
        far.setPortName(QDir(folder.path()).filePath("far"));
        ok = ok && far.open(QIODevice::ReadWrite);
    }
    Link& link() override { return serial; }
    LinkTarget target() override {
        LinkTarget t;
        t.serial.portName = QStringLiteral("COM4");
        return t;
    }
    QByteArray receivedAtFarEnd() override {
        got += far.readAll();
        return got;
    }
    void sendFromFarEnd(const QByteArray& bytes) override {
        far.write(bytes);
        far.flush();
    }
    // A line keeps its bytes in order: a marker written at the station's end after the link
    // closed arrives after anything the link wrote, and is taken off again.
    bool drainFarEnd() override {
        const QByteArray marker = QByteArray::fromHex("a55a0ff0");
        QSerialPort stationEnd;
        stationEnd.setPortName(QDir(folder.path()).filePath("COM4"));
        if (!stationEnd.open(QIODevice::WriteOnly)) {
            return false;
        }
        stationEnd.write(marker);
        stationEnd.flush();
        const bool arrived =
            waitFor([this, &marker] { return receivedAtFarEnd().endsWith(marker); });
        got.chop(arrived ? marker.size() : 0);
        return arrived;
    }
    QTemporaryDir folder;
    PtyPair pty;
    QSerialPort far;
    QtSerialLink serial;
    QByteArray got;
    bool ok = false;
};

struct RigKind {
    const char* name;
    std::function<std::unique_ptr<LinkRig>()> make;
};
void PrintTo(const RigKind& kind, std::ostream* os) {
    *os << kind.name;
}

class LinkInterface : public ::testing::TestWithParam<RigKind> {
  protected:
    void SetUp() override {
        rig = GetParam().make();
        rig->link().setEvents(&events);
    }
    void TearDown() override {
        rig->link().close();
        rig->link().setEvents(nullptr);
    }
    void openAndWait() {
        ASSERT_TRUE(rig->link().open(rig->target()));
        rig->acceptAtFarEnd();
        ASSERT_TRUE(waitFor([this] { return events.events.contains("opened"); }));
        EXPECT_TRUE(rig->link().isActive());
    }

    std::unique_ptr<LinkRig> rig;
    RecordingEvents events;
};

TEST_P(LinkInterface, OpensThenCarriesWholeFramesBothWays) {
    EXPECT_FALSE(rig->link().isActive());
    openAndWait();
    EXPECT_EQ(events.events.count("opened"), 1);
    const QByteArray request = QByteArray::fromHex("0103010000304422");
    rig->link().send(request);
    EXPECT_TRUE(waitFor([this, &request] { return rig->receivedAtFarEnd() == request; }));
    // Bytes come as they arrive; making answers of them is not the link's business.
    rig->sendFromFarEnd(QByteArray::fromHex("0103"));
    rig->sendFromFarEnd(QByteArray::fromHex("600102"));
    EXPECT_TRUE(waitFor([this] { return events.received == QByteArray::fromHex("0103600102"); }));
    EXPECT_FALSE(events.events.contains("error"));
}

TEST_P(LinkInterface, ClosedLinkSendsNothingAndReportsNoMoreThanItsEnd) {
    openAndWait();
    rig->link().close();
    EXPECT_FALSE(rig->link().isActive());
    rig->link().send(QByteArray::fromHex("0103010000304422"));
    ASSERT_TRUE(rig->drainFarEnd());
    EXPECT_TRUE(rig->receivedAtFarEnd().isEmpty());
    // A connection that was up says it has ended; nothing else comes.
    QStringList after = events.events;
    for (const char* stage : {"lookup", "connecting", "disconnected"}) {
        after.removeAll(stage);
    }
    EXPECT_EQ(after, QStringList{"opened"}) << qPrintable(events.events.join(", "));
    EXPECT_TRUE(events.received.isEmpty());
    // Closing again is harmless, and the link opens again.
    rig->link().close();
    events.events.clear();
    openAndWait();
}

TEST_P(LinkInterface, PeerThatHangsUpIsReportedAsDisconnectedNotAsAnError) {
    openAndWait();
    if (!rig->hangUp()) {
        GTEST_SKIP() << "a serial line has no peer to hang up";
    }
    EXPECT_TRUE(waitFor([this] { return events.events.contains("disconnected"); }));
    EXPECT_FALSE(events.events.contains("error"));
}

INSTANTIATE_TEST_SUITE_P(
    EveryLink, LinkInterface,
    ::testing::Values(RigKind{"QtTcp", [] { return std::make_unique<QtTcpRig>(); }},
                      RigKind{"QtSerial", [] { return std::make_unique<QtSerialRig>(); }},
                      RigKind{"FakeTcp", [] { return std::make_unique<FakeTcpRig>(); }},
                      RigKind{"FakeSerial", [] { return std::make_unique<FakeSerialRig>(); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace terval
