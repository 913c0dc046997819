// The live state the web view draws from: whatever the broker sends, it holds exactly the latest
// of each station's topics, stays within its bounds, and reaches the pages within a second.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>
#include <map>
#include <random>

#include "plantweb/plant_live_state.h"
#include "plantweb/plant_web_server.h"
#include "plantweb/web_client.h"
#include "plantweb/web_driver.h"

using namespace terval;
using namespace terval::testing;
using namespace std::chrono_literals;

namespace {

PlantMessage message(const QString& topic, const QByteArray& payload) {
    return {topic.toUtf8(), payload, false, QDateTime::currentDateTime()};
}

TEST(PlantLiveState, HoldsTheLatestOfEveryTopicWhateverTheBrokerSends) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    auto pick = [&](int n) { return int(random() % unsigned(n)); };

    const QStringList stations = {"p/s1", "plant/hall1/gen-1", "plant/hall1/relay", "a/b/c/alarm",
                                  "x/status"};
    // The model: what each topic last said.
    std::map<QString, std::map<int, QJsonObject>> relays;
    std::map<QString, std::map<QString, QJsonObject>> alarms;
    std::map<QString, std::optional<bool>> online;
    std::map<QString, QJsonObject> links;
    std::vector<std::pair<QString, int>> events;
    quint64 ignored = 0;
    const QStringList alarmStates = {"active_unacknowledged", "active_acknowledged",
                                     "returned_unacknowledged", "normal"};

    PlantLiveState live;
    for (int step = 0; step < 20000; ++step) {
        const QString station = stations[pick(int(stations.size()))];
        const int address = pick(6);
        const int kind = pick(9);
        if (kind == 0) {  // a state, sometimes emptied
            if (pick(5) == 0) {
                live.received(
                    message(station + "/relay/" + QString::number(address) + "/state", {}));
                relays[station].erase(address);
            } else {
                const QJsonObject state{{"address", address},
                                        {"insulation_kohm", pick(5000)},
                                        {"state", pick(2) ? "normal" : "event"}};
                live.received(message(station + "/relay/" + QString::number(address) + "/state",
                                      QJsonDocument(state).toJson(QJsonDocument::Compact)));
                relays[station][address] = state;
            }
        } else if (kind == 1) {
            const QJsonObject event{{"sign_text", "Реле ОТКЛЮЧЕНИЯ"}, {"n", step}};
            live.received(message(station + "/relay/" + QString::number(address) + "/event",
                                  QJsonDocument(event).toJson(QJsonDocument::Compact)));
            events.emplace_back(station, step);
        } else if (kind == 2) {
            const bool up = pick(2);
            live.received(message(station + "/status", up ? "online" : "offline"));
            online[station] = up;
        } else if (kind == 3) {
            const QJsonObject link{{"state", pick(2) ? "open" : "waiting"}, {"n", step}};
            live.received(message(station + "/link", QJsonDocument(link).toJson()));
            links[station] = link;
        } else if (kind == 4) {
            const QString id = "trip_relay_" + QString::number(address);
            if (pick(6) == 0) {
                live.received(message(station + "/alarm/" + id, {}));
                alarms[station].erase(id);
            } else {
                const QString state = alarmStates[pick(4)];
                const QJsonObject alarm{{"id", id}, {"address", address}, {"state", state}};
                live.received(message(station + "/alarm/" + id, QJsonDocument(alarm).toJson()));
                if (state == "normal") {
                    alarms[station].erase(id);
                } else {
                    alarms[station][id] = alarm;
                }
            }
        } else {
            // What is not the stations' is ignored and changes nothing.
            static const std::vector<std::pair<QString, QByteArray>> garbage = {
                {"/relay/7/state", "{\"a\":1}"},
                {"/relay/x/state", "{}"},
                {"/relay/248/state", "{}"},
                {"/relay/07/state", "{}"},
                {"/relay/3/state", "{not json"},
                {"/relay/3/state", "[1,2]"},
                {"/relay/3/event", ""},
                {"/status", "maybe"},
                {"/link", "\xff\xfe"},
                {"/unknown/x/y", "{}"},
                {"/alarm/", "{}"},
                {"/events_dropped", "{\"dropped_events\":3}"},
            };
            const auto& [suffix, payload] = garbage[size_t(pick(int(garbage.size())))];
            live.received(message(suffix == "/relay/7/state" ? "lonely" + suffix : station + suffix,
                                  payload));
            ++ignored;
        }

        // Every few steps, and at the end, the whole state against the model.
        if (step % 97 != 0 && step != 19999) {
            continue;
        }
        ASSERT_EQ(live.ignored(), ignored) << "step " << step;
        for (const QString& key : stations) {
            const PlantLiveState::Station* s = live.station(key);
            if (!s) {
                ASSERT_TRUE(relays[key].empty() && alarms[key].empty());
                continue;
            }
            ASSERT_EQ(s->relays.size(), relays[key].size())
                << key.toStdString() << " step " << step;
            for (const auto& [a, state] : relays[key]) {
                ASSERT_TRUE(s->relays.count(a));
                ASSERT_EQ(s->relays.at(a).state, state);
            }
            ASSERT_EQ(s->alarms.size(), alarms[key].size());
            for (const auto& [id, alarm] : alarms[key]) {
                ASSERT_TRUE(s->alarms.count(id));
                ASSERT_EQ(s->alarms.at(id).value("state"), alarm.value("state"));
            }
            ASSERT_EQ(s->online, online[key]);
            ASSERT_EQ(s->link, links[key]);
        }
        const auto& held = live.events();
        ASSERT_EQ(held.size(), std::min<size_t>(events.size(), PlantLiveState::kMaxEvents));
        for (size_t i = 1; i < held.size(); ++i) {
            ASSERT_EQ(held[i].sequence, held[i - 1].sequence + 1);
        }
        if (!held.empty()) {
            ASSERT_EQ(held.back().station, events.back().first);
            ASSERT_EQ(held.back().payload.value("n").toInt(), events.back().second);
        }
    }

    // Bounded however many stations appear.
    for (int i = 0; i < PlantLiveState::kMaxStations + 50; ++i) {
        live.received(message("many/st" + QString::number(i) + "/status", "online"));
    }
    EXPECT_EQ(int(live.stations().size()), PlantLiveState::kMaxStations);
}

// 100 stations of 32 relays: the snapshot the Станции page starts from, and an event's way from
// the broker's message to an open page.
TEST(PlantWebLive, APlantOfHundredStationsIsServedAtOnceAndAnEventPushedWithinASecond) {
    PlantLiveState live;
    const QDateTime now = QDateTime::currentDateTime();
    for (int st = 0; st < 100; ++st) {
        const QString root = QStringLiteral("plant/hall%1/gen-%2/").arg(st / 10).arg(st);
        live.received(message(root + "status", "online"));
        for (int r = 1; r <= 32; ++r) {
            const QJsonObject state{{"address", r},
                                    {"relay", r},
                                    {"generator", QStringLiteral("Ген. %1").arg(r)},
                                    {"breaker", QStringLiteral("Выкл %1").arg(r)},
                                    {"insulation_kohm", 1000 + r},
                                    {"state", "normal"},
                                    {"last_answer", now.toString(Qt::ISODate)}};
            live.received(message(root + "relay/" + QString::number(r) + "/state",
                                  QJsonDocument(state).toJson(QJsonDocument::Compact)));
        }
    }
    WebSettings settings;
    settings.address = QStringLiteral("127.0.0.1");
    PlantWebServer server(settings, live, nullptr);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();

    QNetworkAccessManager manager;
    QElapsedTimer timer;
    timer.start();
    const WebAnswer answer = webRequest(
        manager, QUrl(QStringLiteral("http://127.0.0.1:%1/api/stations").arg(server.port())));
    const qint64 elapsed = timer.elapsed();
    ASSERT_EQ(answer.status, 200);
    const QJsonArray stations = answer.json().value("stations").toArray();
    ASSERT_EQ(stations.size(), 100);
    int relays = 0;
    for (const QJsonValue& station : stations) {
        relays += int(station.toObject().value("relays").toArray().size());
    }
    EXPECT_EQ(relays, 3200);
    std::printf("100 stations x 32 relays: %lld bytes in %lld ms\n",
                static_cast<long long>(answer.body.size()), static_cast<long long>(elapsed));
    EXPECT_LT(elapsed, 1000 * timeScale());

    // The page itself, in Chromium, from its request to 3200 tiles on the screen.
    {
        WebDriver browser;
        ASSERT_TRUE(browser.start(1366, 768, &error)) << error.toStdString();
        browser.go(QStringLiteral("http://127.0.0.1:%1/").arg(server.port()));
        ASSERT_TRUE(
            browser.waitFor("return document.body.dataset.drawnMs !== undefined && "
                            "document.querySelectorAll('a.tile').length === 3200;",
                            20s));
        const int drawn = browser.run("return Number(document.body.dataset.drawnMs);").toInt();
        std::printf("Станции with 100 stations x 32 relays drawn %d ms after its request\n", drawn);
        EXPECT_LT(drawn, 1000 * timeScale());
    }

    // Before the sockets, which may still signal into them as they go.
    QStringList messages;
    bool refused = false;
    QStringList stolen;
    QWebSocket socket(QStringLiteral("http://127.0.0.1:%1").arg(server.port()));
    QObject::connect(&socket, &QWebSocket::textMessageReceived,
                     [&](const QString& text) { messages << text; });
    socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(server.port())));
    ASSERT_TRUE(spinUntil([&] { return !messages.isEmpty(); }, 5s));
    EXPECT_TRUE(messages.first().contains("\"type\":\"snapshot\""));
    messages.clear();
    timer.restart();
    live.received(message("plant/hall0/gen-3/relay/7/event",
                          R"({"address":7,"sign_text":"Реле ОТКЛЮЧЕНИЯ","record":41})"));
    ASSERT_TRUE(spinUntil([&] { return !messages.isEmpty(); }, 5s));
    const qint64 pushed = timer.elapsed();
    const QJsonObject update = QJsonDocument::fromJson(messages.first().toUtf8()).object();
    const QJsonArray events = update.value("events").toArray();
    ASSERT_EQ(events.size(), 1);
    EXPECT_EQ(events[0].toObject().value("station").toString(), "plant/hall0/gen-3");
    EXPECT_EQ(events[0].toObject().value("record").toInt(), 41);
    EXPECT_LT(pushed, 1000 * timeScale());

    // A page of another site may not listen in.
    QWebSocket foreign(QStringLiteral("http://evil.example"));
    QObject::connect(&foreign, &QWebSocket::disconnected, [&] { refused = true; });
    QObject::connect(&foreign, &QWebSocket::textMessageReceived,
                     [&](const QString& text) { stolen << text; });
    foreign.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(server.port())));
    ASSERT_TRUE(spinUntil([&] { return refused; }, 5s));
    EXPECT_TRUE(stolen.isEmpty());
}

// Under TLS: HTTPS only, the session's cookie Secure, and a password guessed at from one address
// refused after a few tries, the right one included.
TEST(PlantWebLive, UnderTlsTheCookieIsSecureAndGuessingIsCutShort) {
    QTemporaryDir dir;
    const QString certificate = dir.filePath("web.crt");
    const QString key = dir.filePath("web.key");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                              "/CN=127.0.0.1", "-days", "1", "-keyout", key, "-out", certificate});
    ASSERT_TRUE(openssl.waitForFinished(60000));
    ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAll().toStdString();
    {
        QFile users(dir.filePath("users"));
        ASSERT_TRUE(users.open(QIODevice::WriteOnly));
        users.write(PlantWebServer::passwordLine("shift", "night-42") + "\n");
    }
    WebSettings settings;
    settings.address = QStringLiteral("127.0.0.1");
    settings.certificateFile = certificate;
    settings.keyFile = key;
    settings.passwordFile = dir.filePath("users");
    PlantLiveState live;
    PlantWebServer server(settings, live, nullptr);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();
    QNetworkAccessManager manager;
    const QString base = QStringLiteral("https://127.0.0.1:%1").arg(server.port());

    const WebAnswer guarded = webRequest(manager, QUrl(base + "/api/stations"));
    EXPECT_EQ(guarded.status, 401);
    EXPECT_EQ(guarded.header("Strict-Transport-Security"), "max-age=31536000");
    EXPECT_EQ(
        webRequest(manager,
                   QUrl(QStringLiteral("http://127.0.0.1:%1/api/stations").arg(server.port())))
            .status,
        0)
        << "no plain HTTP on the TLS port";

    const WebAnswer signedIn =
        webRequest(manager, QUrl(base + "/login"), "POST", "user=shift&password=night-42");
    ASSERT_EQ(signedIn.status, 303);
    EXPECT_TRUE(signedIn.header("Set-Cookie").contains("; Secure"));
    const QByteArray cookie = signedIn.header("Set-Cookie").split(';').first();
    EXPECT_EQ(webRequest(manager, QUrl(base + "/api/stations"), "GET", {}, cookie).status, 200);

    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(
            webRequest(manager, QUrl(base + "/login"), "POST", "user=shift&password=guess").status,
            303);
    }
    const WebAnswer cut =
        webRequest(manager, QUrl(base + "/login"), "POST", "user=shift&password=night-42");
    EXPECT_EQ(cut.status, 429);
    EXPECT_TRUE(cut.json().value("error").toString().contains("Слишком много"));
    EXPECT_TRUE(cut.header("Set-Cookie").isEmpty());
    // The session already open is not touched by it.
    EXPECT_EQ(webRequest(manager, QUrl(base + "/api/stations"), "GET", {}, cookie).status, 200);
}

}  // namespace
