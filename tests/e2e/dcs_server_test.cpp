// The real program without windows serving the plant's control system while it polls relay-sim,
// with every kind of hostile client at its Modbus server: the poll keeps its pace throughout.
#include <gtest/gtest.h>

#include <QProcess>
#include <QRegularExpression>
#include <chrono>
#include <iostream>
#include <memory>

#include "journal/journal.h"
#include "modbus/station_map.h"
#include "relay_sim_process.h"
#include "station/station_settings.h"
#include "support/fakes.h"
#include "support/free_port.h"
#include "support/raw_modbus_client.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::FixedClock;
using testing::freeLoopbackPort;
using testing::RawClient;
using testing::read;
using testing::RecordingMessageSink;
using testing::RelaySimProcess;
using testing::request;
using testing::waitUntil;
using testing::WorkFolder;

int requestsOf(RelaySimProcess& sim, int relays) {
    const QRegularExpression pattern(QStringLiteral(" requests (\\d+) "));
    int total = 0;
    for (int relay = 1; relay <= relays; ++relay) {
        const QRegularExpressionMatch m =
            pattern.match(sim.command(QStringLiteral("status %1").arg(relay)));
        if (!m.hasMatch()) {
            return -1;
        }
        total += m.captured(1).toInt();
    }
    return total;
}

// The relays' requests a second while `during` runs, for at least `least`.
double pollRate(RelaySimProcess& sim, std::chrono::milliseconds least,
                const std::function<void()>& during) {
    using Clock = std::chrono::steady_clock;
    const int before = requestsOf(sim, 3);
    const auto start = Clock::now();
    do {
        during();
    } while (Clock::now() - start < least);
    const int after = requestsOf(sim, 3);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return (after - before) / seconds;
}

TEST(DcsServer, HostileClientsNeitherSlowThePollNorReachARelay) {
    RelaySimProcess sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1-3"}))
        << sim.errors().toStdString();
    WorkFolder folder;
    ASSERT_EQ(QProcess::execute(QStringLiteral(STATION_FOLDER),
                                {folder.dir().path(), "--relays", "3", "--tcp",
                                 QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort())}),
              0);
    {
        QFile ini(folder.dir().absoluteFilePath(kSettingsFileName));
        ASSERT_TRUE(ini.open(QIODevice::Append));
        ini.write("\n[modbus-server]\nallowedClients=127.0.0.1/32\nmaxConnections=20\n");
    }
    const int port = freeLoopbackPort();
    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    station.setProcessEnvironment(env);
    station.setWorkingDirectory(folder.dir().path());
    const QString logPath = folder.path("station.log");
    station.setStandardErrorFile(logPath);
    station.start(QStringLiteral(TERVAL_PROGRAM),
                  {"--headless", "--modbus-server", QStringLiteral("127.0.0.1:%1").arg(port)});
    ASSERT_TRUE(station.waitForStarted(10000));
    const auto log = [&logPath] {
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    };
    const QString serving = QStringLiteral("Modbus-сервер: порт %1, клиентов 0").arg(port);
    ASSERT_TRUE(waitUntil([&] { return log().contains(serving); }, 20s)) << log().toStdString();
    // Polling at its pace before any client comes.
    ASSERT_TRUE(waitUntil([&] { return requestsOf(sim, 3) >= 10; }, 30s));

    RawClient reader(port);
    ASSERT_TRUE(reader.connected());
    reader.send(read(3, station_map::kStationBlock + station_map::station::kVersion, 1));
    const std::optional<Bytes> version = reader.answer();
    ASSERT_TRUE(version && version->size() == 11);
    EXPECT_EQ(((*version)[9] << 8) | (*version)[10], station_map::kMapVersion);

    // Without clients: how long the relays take to be asked thirty times more.
    const double quiet = [&sim] {
        const int before = requestsOf(sim, 3);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(waitUntil([&] { return requestsOf(sim, 3) >= before + 30; }, 30s));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return (requestsOf(sim, 3) - before) / seconds;
    }();

    std::vector<std::unique_ptr<RawClient>> hanging;
    int refusedWrites = 0;
    int rounds = 0;
    const double hostile = pollRate(sim, 10s, [&] {
        ++rounds;
        // Every write, each refused with exception 1; a read outside the map with exception 2.
        for (const Bytes& write :
             {request(1, 1, {5, 0, 1, 0xFF, 0}), request(2, 1, {6, 0, 1, 0, 5}),
              request(3, 1, {15, 0, 0, 0, 8, 1, 0xFF}), request(4, 1, {16, 0, 0, 0, 1, 2, 0, 9}),
              request(5, 1, {22, 0, 0, 0xFF, 0, 0, 1}),
              request(6, 1, {23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 1})}) {
            reader.send(write);
            const auto answer = reader.answer();
            refusedWrites += answer && answer->size() == 9 && (*answer)[8] == 1 ? 1 : 0;
        }
        reader.send(read(4, station_map::kMapEnd, 1));
        const auto outside = reader.answer();
        EXPECT_TRUE(outside && outside->size() == 9 && (*outside)[8] == 2);
        // A garbage header and a truncated one, each closing its own connection only.
        RawClient garbage(port);
        garbage.send({'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1'});
        EXPECT_TRUE(garbage.closed());
        RawClient truncated(port);
        truncated.send({0, 1, 0, 0, 0});
        // A client from a network not allowed.
        RawClient stranger(port, "127.0.0.2");
        EXPECT_TRUE(stranger.closed());
        // A hundred at once, most of them one too many; some left hanging with half a request.
        std::vector<std::unique_ptr<RawClient>> crowd;
        for (int i = 0; i < 100; ++i) {
            crowd.push_back(std::make_unique<RawClient>(port));
        }
        for (auto& c : crowd) {
            c->send({0, 7, 0, 0, 0, 6, 1, 3});
        }
        if (rounds == 1) {
            for (int i = 0; i < 5; ++i) {
                hanging.push_back(std::move(crowd[static_cast<size_t>(i)]));
            }
        }
    });
    std::cout << "requests per second: " << quiet << " without clients, " << hostile
              << " with hostile ones (" << rounds << " rounds)\n";
    EXPECT_NEAR(quiet, 5.0, 0.5);
    EXPECT_NEAR(hostile, 5.0, 0.5);
    EXPECT_NEAR(hostile, quiet, quiet * 0.1);
    EXPECT_EQ(refusedWrites, 6 * rounds);
    // The well-behaved client is still served.
    reader.send(read(4, station_map::kStationBlock, 20));
    const auto block = reader.answer();
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size(), 9u + 40u);

    station.terminate();
    ASSERT_TRUE(station.waitForFinished(20000)) << log().toStdString();
    EXPECT_EQ(station.exitCode(), 0) << log().toStdString();
    EXPECT_TRUE(log().contains(QStringLiteral("Modbus-сервер остановлен")));

    // The journal: the flood within a minute fills the minute's records of clients taking and
    // leaving, and its refusals make one record.
    FixedClock clock(QDateTime::currentDateTime());
    RecordingMessageSink messages;
    Journal journal(folder.dir(), clock, messages);
    ASSERT_TRUE(journal.open()) << messages.texts().join('\n').toStdString();
    const auto count = [&journal](JournalKind kind) {
        JournalFilter filter;
        filter.kinds = JournalKinds{kind};
        return journal.read(filter, 100000).entries;
    };
    const auto refused = count(JournalKind::DcsClientRefused);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_TRUE(refused.front().text.contains(QStringLiteral("127.0.0.2")))
        << refused.front().text.toStdString();
    const auto connected = count(JournalKind::DcsClientConnected);
    ASSERT_FALSE(connected.empty());
    EXPECT_TRUE(
        connected.back().text.startsWith(QStringLiteral("Клиент Modbus-сервера 127.0.0.1:")))
        << connected.back().text.toStdString();
    EXPECT_EQ(connected.size() + count(JournalKind::DcsClientLeft).size(), 30u);
}

}  // namespace
}  // namespace terval
