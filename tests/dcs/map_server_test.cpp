#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <iostream>
#include <mutex>
#include <vector>

#include "dcs/dcs_settings.h"
#include "dcs/map_request.h"
#include "dcsnet/modbus_tcp_server.h"
#include "station/station_settings.h"
#include "support/raw_modbus_client.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
namespace map = station_map;
using testing::Bytes;
using testing::RawClient;
using testing::read;
using testing::request;
using testing::waitUntil;

// A value for every register that tells which register it is.
uint16_t patternAt(uint16_t reg, uint16_t salt) {
    return static_cast<uint16_t>(reg * 31u + salt);
}

std::shared_ptr<map::StationMapImage> image(uint16_t salt) {
    auto image = std::make_shared<map::StationMapImage>();
    for (uint16_t reg = 0; reg < map::kMapEnd; ++reg) {
        image->mapped[reg] = map::inMap(reg);
        image->words[reg] = patternAt(reg, salt);
    }
    return image;
}

Bytes readAnswer(uint8_t function, uint16_t first, uint16_t count, uint16_t salt,
                 uint8_t unit = 1) {
    const auto length = static_cast<uint16_t>(3 + 2 * count);
    Bytes adu{0x12,
              0x34,
              0,
              0,
              static_cast<uint8_t>(length >> 8),
              static_cast<uint8_t>(length),
              unit,
              function,
              static_cast<uint8_t>(2 * count)};
    for (uint16_t i = 0; i < count; ++i) {
        const uint16_t v = patternAt(static_cast<uint16_t>(first + i), salt);
        adu.push_back(static_cast<uint8_t>(v >> 8));
        adu.push_back(static_cast<uint8_t>(v));
    }
    return adu;
}

Bytes exceptionAnswer(const Bytes& req, uint8_t code) {
    return {req[0], req[1], 0, 0, 0, 3, req[6], static_cast<uint8_t>(req[7] | 0x80), code};
}

// The server on a free loopback port, recording what it tells.
class Served {
  public:
    explicit Served(DcsServerSettings settings) {
        settings.address = QStringLiteral("127.0.0.1");
        settings.port = 0;
        const QString error = server_.start(settings, [this](const MapServerEvent& e) {
            const std::lock_guard lock(lock_);
            events_.push_back(e);
        });
        EXPECT_TRUE(error.isEmpty()) << error.toStdString();
        server_.publish(image(7));
    }
    ModbusTcpServer& server() { return server_; }
    int port() const { return server_.port(); }
    int count(MapServerEvent::Kind kind) {
        const std::lock_guard lock(lock_);
        return static_cast<int>(std::count_if(events_.begin(), events_.end(),
                                              [kind](const auto& e) { return e.kind == kind; }));
    }
    std::vector<MapServerEvent> events() {
        const std::lock_guard lock(lock_);
        return events_;
    }

  private:
    std::mutex lock_;
    std::vector<MapServerEvent> events_;
    ModbusTcpServer server_;
};

// Every kind of request a client may send, each on a connection of its own while a well-behaved
// client keeps reading beside it: the answer as the bytes on the wire, or the connection closed.
TEST(MapServer, AnswersReadsRefusesWritesAndClosesOnlyWhatIsNotModbus) {
    Served served(DcsServerSettings{});
    struct Case {
        const char* what;
        Bytes sent;
        std::optional<Bytes> answer;  // nothing: the connection is closed
    };
    const Bytes write6 = request(0x1234, 1, {6, 0, 1, 0, 5});
    const Bytes write5 = request(0x1234, 1, {5, 0, 1, 0xFF, 0});
    const Bytes write15 = request(0x1234, 1, {15, 0, 0, 0, 8, 1, 0xFF});
    const Bytes write16 = request(0x1234, 1, {16, 0, 0, 0, 1, 2, 0, 9});
    const Bytes write22 = request(0x1234, 1, {22, 0, 0, 0xFF, 0, 0, 1});
    const Bytes write23 = request(0x1234, 1, {23, 0, 0, 0, 1, 0, 0, 0, 1, 2, 0, 1});
    const Bytes coils = read(1, 0, 1);
    const Bytes identify = request(0x1234, 1, {43, 14, 1, 0});
    const Bytes unmapped = read(3, 20, 1);
    const Bytes across = read(4, 95, 10);
    const Bytes pastEnd = read(3, map::kMapEnd - 2, 3);
    const Bytes wrapping = read(3, 0xFFFF, 2);
    const Bytes none = read(3, 0, 0);
    const Bytes tooMany = read(4, map::kEventQueue, 126);
    const std::vector<Case> cases{
        {"station block, function 3", read(3, 0, 20), readAnswer(3, 0, 20, 7)},
        {"station block, function 4", read(4, 0, 20), readAnswer(4, 0, 20, 7)},
        {"last relay block", read(3, map::relayBlock(32), 20),
         readAnswer(3, map::relayBlock(32), 20, 7)},
        {"all relay blocks at the most a read takes", read(4, 100, 125),
         readAnswer(4, 100, 125, 7)},
        {"last event slot", read(4, map::eventSlot(63), 10),
         readAnswer(4, map::eventSlot(63), 10, 7)},
        {"unit 0 and 255 alike", read(3, 5, 2, 255), readAnswer(3, 5, 2, 7, 255)},
        {"write single coil", write5, exceptionAnswer(write5, 1)},
        {"write single register", write6, exceptionAnswer(write6, 1)},
        {"write coils", write15, exceptionAnswer(write15, 1)},
        {"write registers", write16, exceptionAnswer(write16, 1)},
        {"mask write", write22, exceptionAnswer(write22, 1)},
        {"read and write", write23, exceptionAnswer(write23, 1)},
        {"read coils", coils, exceptionAnswer(coils, 1)},
        {"device identification", identify, exceptionAnswer(identify, 1)},
        {"reserved gap", unmapped, exceptionAnswer(unmapped, 2)},
        {"read running into a block", across, exceptionAnswer(across, 2)},
        {"read past the map", pastEnd, exceptionAnswer(pastEnd, 2)},
        {"read past register 65535", wrapping, exceptionAnswer(wrapping, 2)},
        {"count 0", none, exceptionAnswer(none, 3)},
        {"count 126", tooMany, exceptionAnswer(tooMany, 3)},
        {"protocol identifier 1", {0, 1, 0, 1, 0, 6, 1, 3, 0, 0, 0, 1}, std::nullopt},
        {"length 0", {0, 1, 0, 0, 0, 0, 1}, std::nullopt},
        {"length past any request", {0, 1, 0, 0, 0x01, 0x2C, 1, 3}, std::nullopt},
        {"garbage", {'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P'}, std::nullopt},
        {"read with bytes to spare", request(1, 1, {3, 0, 0, 0, 1, 0}), std::nullopt},
        {"read cut short", request(1, 1, {4, 0, 0}), std::nullopt},
    };
    RawClient steady(served.port());
    ASSERT_TRUE(steady.connected());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RawClient client(served.port());
        ASSERT_TRUE(client.connected());
        client.send(c.sent);
        if (c.answer) {
            EXPECT_EQ(client.answer(), c.answer);
            // Nothing stays behind: the connection takes the next request.
            client.send(read(3, 1, 1));
            EXPECT_EQ(client.answer(), readAnswer(3, 1, 1, 7));
        } else {
            EXPECT_TRUE(client.closed());
        }
        steady.send(read(4, 100, 20));
        EXPECT_EQ(steady.answer(), readAnswer(4, 100, 20, 7));
    }
    // Requests that come together in one segment, and one that comes a byte at a time.
    Bytes both = read(3, 0, 2);
    const Bytes second = read(4, 1000, 3);
    both.insert(both.end(), second.begin(), second.end());
    steady.send(both);
    EXPECT_EQ(steady.answer(), readAnswer(3, 0, 2, 7));
    EXPECT_EQ(steady.answer(), readAnswer(4, 1000, 3, 7));
    for (uint8_t byte : read(3, 2, 1)) {
        steady.send({byte});
    }
    EXPECT_EQ(steady.answer(), readAnswer(3, 2, 1, 7));
    // A new image is what the next read sees.
    served.server().publish(image(99));
    steady.send(read(3, 0, 20));
    EXPECT_EQ(steady.answer(), readAnswer(3, 0, 20, 99));
    // Every connection but the steady one was told as taken and gone.
    EXPECT_TRUE(waitUntil(
        [&] { return served.count(MapServerEvent::Kind::Left) == static_cast<int>(cases.size()); },
        3000ms));
    EXPECT_EQ(served.count(MapServerEvent::Kind::Connected), static_cast<int>(cases.size()) + 1);
    EXPECT_EQ(served.count(MapServerEvent::Kind::Refused), 0);
}

// The clients the server turns away or closes, and those it keeps: a unit asked for that is not
// this one, a network not allowed, one client too many, a client that sent half a request and
// went quiet, a hundred clients at once.
TEST(MapServer, TurnsAwayWhatItMustAndKeepsTheRest) {
    DcsServerSettings settings;
    settings.unit = 5;
    settings.allowed = {*dcs::parseClientNetwork("127.0.0.1/32")};
    settings.maxConnections = 3;
    settings.idleTimeoutMs = 400;
    Served served(settings);

    // A port already taken is said, and nothing is served from the second server.
    ModbusTcpServer second;
    DcsServerSettings same = settings;
    same.address = QStringLiteral("127.0.0.1");
    same.port = served.port();
    EXPECT_FALSE(second.start(same, [](const MapServerEvent&) {}).isEmpty());

    RawClient a(served.port());
    a.send(read(3, 0, 1, 5));
    EXPECT_EQ(a.answer(), readAnswer(3, 0, 1, 7, 5));
    const Bytes otherUnit = read(3, 0, 1, 1);
    a.send(otherUnit);
    EXPECT_EQ(a.answer(), exceptionAnswer(otherUnit, dcs::kTargetFailed));

    RawClient stranger(served.port(), "127.0.0.2");
    ASSERT_TRUE(stranger.connected());
    EXPECT_TRUE(stranger.closed());

    // Half a request, then nothing: closed after the silence, while the others are served.
    RawClient half(served.port());
    half.send({0, 1, 0, 0, 0, 6, 5, 3});
    RawClient third(served.port());
    RawClient tooMany(served.port());
    EXPECT_TRUE(tooMany.closed());
    for (int i = 0; i < 3; ++i) {
        a.send(read(4, 100, 20, 5));
        EXPECT_EQ(a.answer(), readAnswer(4, 100, 20, 7, 5));
        third.send(read(4, 0, 1, 5));
        EXPECT_EQ(third.answer(), readAnswer(4, 0, 1, 7, 5));
    }
    EXPECT_TRUE(half.closed(2000ms));
    const auto events = served.events();
    std::vector<QString> refusals;
    for (const auto& e : events) {
        if (e.kind == MapServerEvent::Kind::Refused) {
            refusals.push_back(e.reason);
        }
    }
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_TRUE(refusals[0].contains(QStringLiteral("разрешённых сетей")));
    EXPECT_TRUE(refusals[1].contains(QStringLiteral("клиентов")));
    EXPECT_TRUE(waitUntil(
        [&] {
            const auto now = served.events();
            return std::any_of(now.begin(), now.end(), [](const MapServerEvent& e) {
                return e.kind == MapServerEvent::Kind::Left &&
                       e.reason.contains(QStringLiteral("нет запросов"));
            });
        },
        2000ms));
}

TEST(MapServer, ServesAHundredClientsAtOnceAndStopsWithThemConnected) {
    DcsServerSettings settings;
    settings.maxConnections = 100;
    Served served(settings);
    std::vector<std::unique_ptr<RawClient>> clients;
    for (int i = 0; i < 100; ++i) {
        clients.push_back(std::make_unique<RawClient>(served.port()));
        ASSERT_TRUE(clients.back()->connected());
    }
    for (auto& c : clients) {
        c->send(read(3, 0, 20));
    }
    for (auto& c : clients) {
        EXPECT_EQ(c->answer(), readAnswer(3, 0, 20, 7));
    }
    RawClient extra(served.port());
    EXPECT_TRUE(extra.closed());
    const auto stopping = std::chrono::steady_clock::now();
    served.server().stop();
    std::cout << "stopped with 100 clients in "
              << std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                           stopping)
                     .count()
              << " ms\n";
    for (auto& c : clients) {
        EXPECT_TRUE(c->closed());
    }
    // Each told as gone with the server, so that the journal's last records name them.
    const auto events = served.events();
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [](const MapServerEvent& e) {
                                return e.kind == MapServerEvent::Kind::Left &&
                                       e.reason == QStringLiteral("сервер остановлен");
                            }),
              100);
    EXPECT_EQ(events.back().clients, 0);
}

// [modbus-server] and --modbus-server: what turns the server on, and a clear word for each value
// that cannot be used.
TEST(DcsServerSettings, ReadsTheFileAndTheCommandLine) {
    struct Case {
        const char* ini;  // the [modbus-server] section's lines
        const char* commandLine;
        const char* error;  // part of the message; empty: none
        bool on;
        const char* address;
        int port;
    };
    const std::vector<Case> cases{
        {"", "", "", false, "", 0},
        {"address=127.0.0.1\n", "", "", false, "", 0},
        {"port=1502\n", "", "", true, "0.0.0.0", 1502},
        {"port=1502\naddress=10.0.0.5\n", "", "", true, "10.0.0.5", 1502},
        {"port=1502\n", "127.0.0.1:1600", "", true, "127.0.0.1", 1600},
        {"", "1700", "", true, "0.0.0.0", 1700},
        {"", "localhost:1700", "«localhost:1700» не порт", false, "", 0},
        {"", "70000", "не порт", false, "", 0},
        {"port=0\n", "", "port=0 не номер порта", false, "", 0},
        {"port=502\naddress=10.0.0\n", "", "address=10.0.0 не адрес IPv4", false, "", 0},
        {"port=502\nunit=256\n", "", "unit=256", false, "", 0},
        {"port=502\nallowedClients=10.1.0.0/16, 10.2.0.0/33\n", "", "«10.2.0.0/33»", false, "", 0},
        {"port=502\nmaxConnections=0\n", "", "maxConnections=0", false, "", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ini) + " | " + c.commandLine);
        QTemporaryDir dir;
        QFile ini(QDir(dir.path()).absoluteFilePath(kSettingsFileName));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[modbus-server]\n");
        ini.write(c.ini);
        ini.close();
        const DcsServerSettingsLoad load =
            loadDcsServerSettings(QDir(dir.path()), {QString::fromUtf8(c.commandLine)});
        EXPECT_TRUE(load.error.contains(QString::fromUtf8(c.error))) << load.error.toStdString();
        EXPECT_EQ(load.error.isEmpty(), std::string(c.error).empty());
        ASSERT_EQ(load.settings.has_value(), c.on);
        if (c.on) {
            EXPECT_EQ(load.settings->address, QString::fromUtf8(c.address));
            EXPECT_EQ(load.settings->port, c.port);
        }
    }
    // A list of networks, a unit and a limit, all taken.
    QTemporaryDir dir;
    QFile ini(QDir(dir.path()).absoluteFilePath(kSettingsFileName));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(
        "[modbus-server]\nport=502\nunit=7\nallowedClients=127.0.0.0/8, 10.1.2.3/16, "
        "192.168.5.9\nmaxConnections=20\n");
    ini.close();
    const auto load = loadDcsServerSettings(QDir(dir.path()), {});
    ASSERT_TRUE(load.settings);
    EXPECT_EQ(load.settings->unit, std::optional<uint8_t>(7));
    EXPECT_EQ(load.settings->maxConnections, 20);
    const auto& allowed = load.settings->allowed;
    ASSERT_EQ(allowed.size(), 3u);
    EXPECT_TRUE(dcs::clientAllowed(allowed, *dcs::parseIpv4("127.9.9.9")));
    EXPECT_TRUE(dcs::clientAllowed(allowed, *dcs::parseIpv4("10.1.200.1")));
    EXPECT_TRUE(dcs::clientAllowed(allowed, *dcs::parseIpv4("192.168.5.9")));
    EXPECT_FALSE(dcs::clientAllowed(allowed, *dcs::parseIpv4("192.168.5.10")));
    EXPECT_FALSE(dcs::clientAllowed(allowed, *dcs::parseIpv4("10.2.0.1")));
    EXPECT_TRUE(dcs::clientAllowed({}, *dcs::parseIpv4("10.2.0.1")));
    for (const char* bad : {"1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4/", "1.2.3.4/a", "-1.2.3.4",
                            "1..2.3", " 1.2.3.4", "1.2.3.4/ 8"}) {
        EXPECT_FALSE(dcs::parseClientNetwork(bad)) << bad;
    }
}

}  // namespace
}  // namespace terval
