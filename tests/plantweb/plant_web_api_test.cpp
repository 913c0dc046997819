// The web view's API over a real PostgreSQL with the historian's schema: what it answers to good
// and bad requests, with and without sign-in, and that it stays up through all of them.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QSize>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <QWebSocket>

#include "plantweb/plant_history.h"
#include "plantweb/plant_live_state.h"
#include "plantweb/plant_web_server.h"
#include "plantweb/web_client.h"
#include "plantweb/web_driver.h"
#include "support/postgres_cluster.h"

using namespace terval;
using namespace terval::testing;
using namespace std::chrono_literals;

namespace {

const QString kStation = QStringLiteral("plant/hall1/gen-1");

QString schemaSql() {
    QFile file(QStringLiteral(TERVAL_PLANT_SCHEMA));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << TERVAL_PLANT_SCHEMA;
    return QString::fromUtf8(file.readAll());
}

// One cluster for the suite: the schema, a default partition for each time-ordered table, two
// stations, a year of minute readings and 300 events for relay 7 of the first.
class PlantWebApi : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        db_ = new PostgresCluster;
        ASSERT_TRUE(db_->start()) << db_->errors().toStdString();
        ASSERT_TRUE(db_->psql(schemaSql())) << db_->errors().toStdString();
        const QString fill = QStringLiteral(R"sql(
            CREATE TABLE terval.events_all PARTITION OF terval.events DEFAULT;
            CREATE TABLE terval.alarm_changes_all PARTITION OF terval.alarm_changes DEFAULT;
            CREATE TABLE terval.link_changes_all PARTITION OF terval.link_changes DEFAULT;
            CREATE TABLE terval.connection_changes_all PARTITION OF terval.connection_changes DEFAULT;
            CREATE TABLE terval.samples_all PARTITION OF terval.samples DEFAULT;
            INSERT INTO terval.stations (prefix, name, first_seen, last_seen, online)
                VALUES ('plant/hall1', 'gen-1', now(), now(), true),
                       ('plant/hall2', 'gen-2', now(), now(), false);
            INSERT INTO terval.relays (station_id, address, tile, serial, generator, breaker, state,
                                       insulation_kohm, signal_kohm, trip_kohm, first_seen, last_seen)
                VALUES (1, 7, 2, 2407, 'Ген. 2', 'Выкл 2', 'normal', 1213, 500, 200, now(), now()),
                       (2, 3, 1, 1001, 'Ген. 5', 'Выкл 5', 'event', 90, 500, 200, now(), now());
            INSERT INTO terval.events (station_id, relay_id, record, detected_at, event_time,
                                       sign_code, sign_text, alarm_line, tile, serial, generator,
                                       breaker, received_at)
                SELECT 1, 1, g, now() - g * interval '40 minutes',
                       (now() - g * interval '40 minutes')::timestamp, 4, 'Реле ОТКЛЮЧЕНИЯ',
                       'Ген. 2; Реле ОТКЛЮЧЕНИЯ', 2, 2407, 'Ген. 2', 'Выкл; 2', now()
                FROM generate_series(1, 300) g;
            INSERT INTO terval.samples (relay_id, at, insulation_kohm, control_kohm)
                SELECT 1, t, (1500 + 400 * cos(extract(epoch FROM t)::float8 / 86400 / 365 * 2 * pi())
                              + 120 * sin(extract(epoch FROM t)::float8 / 86400 * 2 * pi())
                              + extract(epoch FROM t)::bigint % 37)::int, 100
                FROM generate_series(date_trunc('minute', now()) - interval '365 days',
                                     date_trunc('minute', now()), interval '1 minute') t;
            INSERT INTO terval.link_changes (station_id, changed_at, type, link, state, status_text)
                VALUES (1, now() - interval '2 hours', 'tcp', 'Ethernet TCP/IP 10.0.1.20:502',
                        'open', 'Произошло подключение к устройству');
            INSERT INTO terval.alarm_changes (station_id, relay_id, record, alarm_id, kind,
                                              priority, state, change, text, raised_at,
                                              changed_at, received_at)
                VALUES (1, 1, 301, 'trip_relay_7', 'trip_relay', 'high', 'active_unacknowledged',
                        'raised', 'Ген. 2: Реле ОТКЛЮЧЕНИЯ', now() - interval '50 minutes',
                        now() - interval '50 minutes', now()),
                       (1, NULL, 302, 'link_lost', 'link_lost', 'medium', 'normal', 'returned',
                        'Нет связи', now() - interval '30 minutes', now() - interval '20 minutes',
                        now());
            INSERT INTO terval.connection_changes (station_id, changed_at, status, reason)
                VALUES (1, now() - interval '3 hours', 'online', NULL);
            ANALYZE;
        )sql");
        ASSERT_TRUE(db_->psql(fill)) << db_->errors().toStdString();
    }
    static void TearDownTestSuite() {
        delete db_;
        db_ = nullptr;
    }

    DatabaseSettings database() const {
        DatabaseSettings settings;
        settings.host = db_->host();
        settings.port = db_->port();
        settings.user = db_->user();
        settings.name = db_->database();
        settings.password = db_->password();
        return settings;
    }
    WebSettings web() const {
        WebSettings settings;
        settings.enabled = true;
        settings.address = QStringLiteral("127.0.0.1");
        settings.port = 0;
        settings.maxSpanDays = 400;
        return settings;
    }
    QUrl url(const PlantWebServer& server, const QString& pathAndQuery) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server.port()).arg(pathAndQuery));
    }

    static PostgresCluster* db_;
    QNetworkAccessManager manager_;
};

PostgresCluster* PlantWebApi::db_ = nullptr;

TEST_F(PlantWebApi, EveryBadRequestGetsItsStatusAndRussianReasonAndTheServerStaysUp) {
    PlantLiveState live;
    PlantHistory history(database(), QStringLiteral("web-api-test"));
    PlantWebServer server(web(), live, &history);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();
    live.received({"plant/hall1/gen-1/relay/7/state",
                   R"({"address":7,"relay":2,"state":"normal","insulation_kohm":1213})", true,
                   QDateTime::currentDateTime()});

    const QString s = QStringLiteral("station=") + QUrl::toPercentEncoding(kStation);
    struct Case {
        QByteArray method;
        QString path;
        int status;
        QString reason;  // a part of the Russian message
    };
    const std::vector<Case> cases = {
        {"GET", "/api/events?station=plant/hall9/nope", 404, "не найдена"},
        {"GET", "/api/events?station=nohall", 400, "Неверное имя станции"},
        {"GET", "/api/events?station=plant/h%2Bx/g", 400, "Неверное имя станции"},
        {"GET", "/api/events?" + s + "&relay=99", 404, "не найдено"},
        {"GET", "/api/events?" + s + "&relay=abc", 400, "Неверный адрес реле"},
        {"GET", "/api/events?" + s + "&relay=248", 400, "Неверный адрес реле"},
        {"GET", "/api/events?" + s + "&relay=-1", 400, "Неверный адрес реле"},
        {"GET", "/api/events?relay=7", 400, "вместе со станцией"},
        {"GET", "/api/events?from=2026-13-40", 400, "Неверная дата"},
        {"GET", "/api/events?from=yesterday", 400, "Неверная дата"},
        {"GET", "/api/events?to=2026-02-30T10:00", 400, "Неверная дата"},
        {"GET", "/api/events?from=2026-12-08&to=2026-12-01", 400, "раньше его конца"},
        {"GET", "/api/events?from=2020-01-01&to=2026-01-01", 400, "Период длиннее 400"},
        {"GET", "/api/events?limit=0", 400, "Неверное число строк"},
        {"GET", "/api/events?limit=1001", 400, "Неверное число строк"},
        {"GET", "/api/events?limit=1e3", 400, "Неверное число строк"},
        {"GET", "/api/events?offset=-5", 400, "Неверный сдвиг"},
        {"GET", "/api/events?order=asc", 400, "Неизвестный параметр"},
        {"GET", "/api/events?" + s + "&" + s, 400, "задан дважды"},
        {"GET", "/api/samples?" + s, 400, "Не задан адрес реле"},
        {"GET", "/api/samples?relay=7", 400, "Не задана станция"},
        {"GET", "/api/samples?" + s + "&relay=7&from=1900-01-01", 400, "Неверная дата"},
        {"GET", "/api/link", 400, "Не задана станция"},
        {"GET", "/api/stations?x=1", 400, "не принимает параметров"},
        {"GET", "/api/alarms?station=plant/hall9/nope", 404, "не найдена"},
        {"GET", "/api/nothing", 404, "Нет такого запроса"},
        {"GET", "/etc/passwd", 404, "Страница не найдена"},
        {"GET", "/static/../plant_web_server.cpp", 404, "Страница не найдена"},
        {"GET", "/static/%2e%2e%2fstations.html", 404, "Страница не найдена"},
        {"GET", "/static/nothing.js", 404, "Страница не найдена"},
        {"GET", "/?debug=1", 400, "не принимает параметров"},
        {"POST", "/api/events", 405, "только для чтения"},
        {"PUT", "/api/stations", 405, "только для чтения"},
        {"DELETE", "/", 405, "только для чтения"},
        {"PATCH", "/api/relay", 405, "только для чтения"},
        {"POST", "/login", 405, "только для чтения"},  // no password file: no sign-in either
        // Text that would end the statement were it spliced in is only ever a value.
        {"GET", "/api/events?station=plant/x'%3B%20DROP%20TABLE%20terval.events%3B--/g", 404,
         "не найдена"},
    };
    for (const Case& c : cases) {
        const WebAnswer answer = webRequest(manager_, url(server, c.path), c.method);
        SCOPED_TRACE((c.method + " " + c.path).toStdString());
        EXPECT_EQ(answer.status, c.status) << answer.body.toStdString();
        EXPECT_TRUE(answer.json().value("error").toString().contains(c.reason))
            << answer.body.toStdString();
        EXPECT_EQ(answer.header("Content-Security-Policy"),
                  PlantWebServer::contentSecurityPolicy());
        if (c.status == 405) {
            EXPECT_EQ(answer.header("Allow"), "GET");
        }
    }

    // On loopback, a name other than this computer's is another site's (DNS rebinding).
    {
        QNetworkRequest request(url(server, "/api/stations"));
        request.setRawHeader("Host", "attacker.example:" + QByteArray::number(server.port()));
        QNetworkReply* reply = manager_.get(request);
        ASSERT_TRUE(spinUntil([&] { return reply->isFinished(); }, 10s));
        EXPECT_EQ(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 403);
        EXPECT_FALSE(reply->readAll().contains("stations"));
        reply->deleteLater();
    }
    EXPECT_EQ(
        webRequest(manager_,
                   QUrl(QStringLiteral("http://localhost:%1/api/stations").arg(server.port())))
            .status,
        200);

    // Still up, the tables untouched, and the good requests answered in full.
    const WebAnswer events = webRequest(manager_, url(server, "/api/events?" + s));
    ASSERT_EQ(events.status, 200) << events.body.toStdString();
    const QJsonArray rows = events.json().value("rows").toArray();
    ASSERT_EQ(rows.size(), 200);
    for (qsizetype i = 1; i < rows.size(); ++i) {
        // Record 1 is the newest (40 minutes ago), 300 the oldest.
        EXPECT_LT(rows[i - 1].toObject().value("record").toInt(),
                  rows[i].toObject().value("record").toInt());
        EXPECT_GE(rows[i - 1].toObject().value("detected_at").toString(),
                  rows[i].toObject().value("detected_at").toString());
    }
    const WebAnswer rest = webRequest(manager_, url(server, "/api/events?" + s + "&offset=200"));
    EXPECT_EQ(rest.json().value("rows").toArray().size(), 100);
    const WebAnswer page = webRequest(manager_, url(server, "/alarms"));
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(QString::fromUtf8(page.body).contains(QStringLiteral("Аварии")));
    EXPECT_FALSE(page.body.contains("<script>")) << "no inline script";
    const WebAnswer chart = webRequest(manager_, url(server, "/static/dygraph.min.js"));
    EXPECT_EQ(chart.status, 200);
    EXPECT_TRUE(chart.header("Content-Type").startsWith("text/javascript"));
}

TEST_F(PlantWebApi, HistoryComesAsReadingsForADayAndAsBucketsForAYear) {
    PlantLiveState live;
    PlantHistory history(database(), QStringLiteral("web-samples-test"));
    PlantWebServer server(web(), live, &history);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();
    const QString s = QStringLiteral("station=") + QUrl::toPercentEncoding(kStation) + "&relay=7";

    const WebAnswer day = webRequest(manager_, url(server, "/api/samples?" + s));
    ASSERT_EQ(day.status, 200) << day.body.toStdString();
    EXPECT_EQ(day.json().value("mode").toString(), "raw");
    const qsizetype dayPoints = day.json().value("points").toArray().size();
    EXPECT_GE(dayPoints, 1439);
    EXPECT_LE(dayPoints, 1441);
    EXPECT_EQ(day.json().value("relay").toObject().value("signal_kohm").toInt(), 500);

    const QDateTime now = QDateTime::currentDateTime();
    QUrlQuery year;
    year.addQueryItem("from", now.addDays(-366).toString(Qt::ISODate));
    year.addQueryItem("to", now.toString(Qt::ISODate));
    QElapsedTimer timer;
    timer.start();
    const WebAnswer answer = webRequest(
        manager_, url(server, "/api/samples?" + s + "&" +
                                  year.toString(QUrl::FullyEncoded).replace("+", "%2B")));
    const qint64 elapsed = timer.elapsed();
    ASSERT_EQ(answer.status, 200) << answer.body.toStdString();
    const QJsonObject json = answer.json();
    EXPECT_EQ(json.value("mode").toString(), "aggregate");
    EXPECT_EQ(json.value("bucket_seconds").toInt(), 6 * 3600);
    const QJsonArray points = json.value("points").toArray();
    EXPECT_GE(points.size(), 1460);
    EXPECT_LE(points.size(), PlantHistory::kMaxBuckets);
    qint64 previous = 0;
    for (const QJsonValue& value : points) {
        const QJsonArray p = value.toArray();
        ASSERT_EQ(p.size(), 4);
        EXPECT_GT(p[0].toInteger(), previous);
        previous = p[0].toInteger();
        EXPECT_LE(p[1].toDouble(), p[2].toDouble());
        EXPECT_LE(p[2].toDouble(), p[3].toDouble());
        EXPECT_GE(p[1].toDouble(), 1500 - 400 - 120 - 1);
        EXPECT_LE(p[3].toDouble(), 1500 + 400 + 120 + 37);
    }
    std::printf("a year of minute readings (%lld points) answered in %lld ms\n",
                static_cast<long long>(points.size()), static_cast<long long>(elapsed));
    EXPECT_LT(elapsed, 3000 * timeScale());

    // The alarm log's export: as the station's journal export writes it.
    const WebAnswer csv = webRequest(
        manager_, url(server, "/api/events.csv?station=" + QUrl::toPercentEncoding(kStation)));
    ASSERT_EQ(csv.status, 200);
    EXPECT_TRUE(csv.header("Content-Type").startsWith("text/csv"));
    EXPECT_TRUE(csv.header("Content-Disposition").startsWith("attachment"));
    ASSERT_TRUE(csv.body.startsWith("\xEF\xBB\xBF"));
    const QStringList lines = QString::fromUtf8(csv.body.mid(3)).split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 302);  // header, 300 events, the empty end after the last CRLF
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Обнаружено;Станция;Адрес")));
    EXPECT_TRUE(lines[1].contains(QStringLiteral(";\"Выкл; 2\";"))) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(";Реле ОТКЛЮЧЕНИЯ;1"))) << lines[1].toStdString();

    // Alarm moves, newest first; the link's alarm has no relay.
    const WebAnswer moves = webRequest(
        manager_, url(server, "/api/alarm_changes?station=" + QUrl::toPercentEncoding(kStation)));
    ASSERT_EQ(moves.status, 200) << moves.body.toStdString();
    const QJsonArray moveRows = moves.json().value("rows").toArray();
    ASSERT_EQ(moveRows.size(), 2);
    EXPECT_EQ(moveRows[0].toObject().value("id").toString(), "link_lost");
    EXPECT_TRUE(moveRows[0].toObject().value("address").isNull());
    EXPECT_EQ(moveRows[1].toObject().value("address").toInt(), 7);
    const WebAnswer relayMoves = webRequest(
        manager_, url(server, "/api/alarm_changes?station=" + QUrl::toPercentEncoding(kStation) +
                                  "&relay=7"));
    ASSERT_EQ(relayMoves.json().value("rows").toArray().size(), 1);

    const WebAnswer link =
        webRequest(manager_, url(server, "/api/link?station=" + QUrl::toPercentEncoding(kStation)));
    ASSERT_EQ(link.status, 200);
    const QJsonArray linkRows = link.json().value("rows").toArray();
    ASSERT_EQ(linkRows.size(), 2);
    EXPECT_EQ(linkRows[0].toObject().value("what").toString(), "link");
    EXPECT_EQ(linkRows[1].toObject().value("state").toString(), "online");
}

TEST_F(PlantWebApi, WithAPasswordFileNothingAnswersWithoutASession) {
    QTemporaryDir dir;
    const QString passwords = dir.filePath("users");
    {
        QFile file(passwords);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("# engineers\n" +
                   PlantWebServer::passwordLine(QStringLiteral("инженер"), "Секрет 1+2") + "\n");
    }
    WebSettings settings = web();
    settings.passwordFile = passwords;
    PlantLiveState live;
    PlantHistory history(database(), QStringLiteral("web-auth-test"));
    PlantWebServer server(settings, live, &history);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();

    const QStringList guarded = {"/",
                                 "/alarms",
                                 "/relay?station=plant/hall1/gen-1&relay=7",
                                 "/static/common.js",
                                 "/static/dygraph.min.js",
                                 "/api/stations",
                                 "/api/events",
                                 "/api/alarms",
                                 "/api/samples?station=plant/hall1/gen-1&relay=7"};
    for (const QString& path : guarded) {
        const WebAnswer answer = webRequest(manager_, url(server, path));
        SCOPED_TRACE(path.toStdString());
        if (path.startsWith("/api/")) {
            EXPECT_EQ(answer.status, 401);
            EXPECT_EQ(answer.json().value("error").toString(), "Требуется вход");
        } else {
            EXPECT_EQ(answer.status, 303);
            EXPECT_EQ(answer.header("Location"), "/login");
        }
        EXPECT_FALSE(answer.body.contains("ТЕРВАЛ"));
    }
    EXPECT_EQ(webRequest(manager_, url(server, "/login")).status, 200);
    EXPECT_EQ(webRequest(manager_, url(server, "/static/style.css")).status, 200);

    // A wrong password, an unknown user, a forged cookie: still nothing.
    for (const QByteArray& form : {QByteArray("user=%D0%B8%D0%BD%D0%B6%D0%B5%D0%BD%D0%B5%D1%80"
                                              "&password=wrong"),
                                   QByteArray("user=nobody&password=Секрет 1%2B2")}) {
        const WebAnswer answer = webRequest(manager_, url(server, "/login"), "POST", form);
        EXPECT_EQ(answer.status, 303);
        EXPECT_EQ(answer.header("Location"), "/login?failed=1");
        EXPECT_TRUE(answer.header("Set-Cookie").isEmpty());
    }
    EXPECT_EQ(webRequest(manager_, url(server, "/api/stations"), "GET", {}, "terval_session=forged")
                  .status,
              401);

    const WebAnswer signedIn = webRequest(
        manager_, url(server, "/login"), "POST",
        "user=%D0%B8%D0%BD%D0%B6%D0%B5%D0%BD%D0%B5%D1%80&password=%D0%A1%D0%B5%D0%BA%D1%80%D0%B5"
        "%D1%82+1%2B2");
    ASSERT_EQ(signedIn.status, 303);
    const QByteArray setCookie = signedIn.header("Set-Cookie");
    EXPECT_TRUE(setCookie.contains("HttpOnly")) << setCookie.toStdString();
    EXPECT_TRUE(setCookie.contains("SameSite=Strict")) << setCookie.toStdString();
    EXPECT_FALSE(setCookie.contains("Secure")) << "no TLS here";
    const QByteArray cookie = setCookie.left(setCookie.indexOf(';'));
    for (const QString& path : guarded) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(webRequest(manager_, url(server, path), "GET", {}, cookie).status, 200);
    }

    // The live socket: refused without the session, a snapshot with it.
    for (const QByteArray& withCookie : {QByteArray(), cookie}) {
        // Before the socket, which may still signal into them as it goes.
        QStringList messages;
        bool closed = false;
        QWebSocket socket(QStringLiteral("http://127.0.0.1:%1").arg(server.port()));
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(server.port())));
        if (!withCookie.isEmpty()) {
            request.setRawHeader("Cookie", withCookie);
        }
        QObject::connect(&socket, &QWebSocket::textMessageReceived,
                         [&](const QString& text) { messages << text; });
        QObject::connect(&socket, &QWebSocket::disconnected, [&] { closed = true; });
        socket.open(request);
        ASSERT_TRUE(spinUntil([&] { return closed || !messages.isEmpty(); }, 5s));
        if (withCookie.isEmpty()) {
            EXPECT_TRUE(messages.isEmpty());
            EXPECT_TRUE(closed);
        } else {
            EXPECT_TRUE(messages.first().contains("\"type\":\"snapshot\""));
            EXPECT_TRUE(messages.first().contains("\"auth\":true"));
        }
    }

    // Signed out, the cookie is worth nothing.
    EXPECT_EQ(webRequest(manager_, url(server, "/logout"), "POST", {}, cookie).status, 303);
    EXPECT_EQ(webRequest(manager_, url(server, "/api/stations"), "GET", {}, cookie).status, 401);
}

TEST_F(PlantWebApi, ConnectionsBeyondTheLimitAreRefusedAndTheLimitFreesAgain) {
    WebSettings settings = web();
    settings.maxConnections = 3;
    PlantLiveState live;
    PlantWebServer server(settings, live, nullptr);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(std::make_unique<QTcpSocket>());
        held.back()->connectToHost(QHostAddress::LocalHost, server.port());
    }
    ASSERT_TRUE(spinUntil([&] { return server.openConnections() == 3; }, 5s))
        << server.openConnections();
    QTcpSocket extra;
    extra.connectToHost(QHostAddress::LocalHost, server.port());
    QByteArray refused;
    ASSERT_TRUE(spinUntil(
        [&] {
            refused += extra.readAll();
            return extra.state() == QAbstractSocket::UnconnectedState;
        },
        5s));
    EXPECT_TRUE(refused.startsWith("HTTP/1.1 503")) << refused.toStdString();
    EXPECT_EQ(server.openConnections(), 3);

    held.clear();
    ASSERT_TRUE(spinUntil([&] { return server.openConnections() == 0; }, 5s))
        << server.openConnections();
    // Pages opened and closed many times over: their live sockets are given back too.
    for (int i = 0; i < 6; ++i) {
        bool snapshot = false;
        QWebSocket socket(QStringLiteral("http://127.0.0.1:%1").arg(server.port()));
        QObject::connect(&socket, &QWebSocket::textMessageReceived, [&] { snapshot = true; });
        socket.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/live").arg(server.port())));
        ASSERT_TRUE(spinUntil([&] { return snapshot; }, 5s)) << "page " << i;
        socket.close();
        ASSERT_TRUE(spinUntil([&] { return server.openConnections() == 0; }, 5s))
            << server.openConnections() << " after page " << i;
    }
    const WebAnswer answer = webRequest(manager_, url(server, "/api/stations"));
    EXPECT_EQ(answer.status, 200);
    // Without a database the history says so instead of failing.
    const WebAnswer events = webRequest(manager_, url(server, "/api/events"));
    EXPECT_EQ(events.status, 503);
    EXPECT_TRUE(events.json().value("error").toString().contains("Архив не подключён"));
}

// The three pages in headless Chromium, fed as the broker would feed them, at a laptop's and an
// office screen's size; each page's picture is kept as an artefact of the test.
TEST_F(PlantWebApi, ThePagesShowTheLiveStateTheAlarmsAsTheyComeAndARelaysYear) {
    PlantLiveState live;
    PlantHistory history(database(), QStringLiteral("web-browser-test"));
    PlantWebServer server(web(), live, &history);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();
    const QDateTime now = QDateTime::currentDateTime();
    auto feed = [&](const QString& topic, const QByteArray& payload) {
        live.received({topic.toUtf8(), payload, false, QDateTime::currentDateTime()});
    };
    live.brokerChanged(true, {});
    struct Fed {
        QString root;
        int relays;
    };
    for (const Fed& station : {Fed{"plant/hall1/gen-1/", 12}, Fed{"plant/hall2/gen-2/", 5}}) {
        feed(station.root + "status", "online");
        feed(
            station.root + "link",
            R"({"link":"Ethernet TCP/IP 10.0.1.20:502","state":"open","status_text":"Произошло подключение к устройству - IP adress: 10.0.1.20  Port: 502","type":"tcp"})");
        for (int r = 1; r <= station.relays; ++r) {
            const int address = station.root.contains("gen-1") && r == 2 ? 7 : r + 20;
            const QString state = r == 3 ? "event" : r == 5 ? "no_answer" : "normal";
            const QJsonObject json{
                {"address", address},
                {"relay", r},
                {"generator", QStringLiteral("Генератор %1").arg(r)},
                {"breaker", QStringLiteral("Выключатель %1").arg(r)},
                {"insulation_kohm", state == "no_answer" ? QJsonValue() : QJsonValue(1200 + r)},
                {"signal_kohm", 500},
                {"trip_kohm", 200},
                {"state", state},
                {"last_answer", now.addSecs(-r * 7).toString(Qt::ISODate)}};
            feed(station.root + "relay/" + QString::number(address) + "/state",
                 QJsonDocument(json).toJson(QJsonDocument::Compact));
        }
    }
    feed(
        "plant/hall1/gen-1/alarm/trip_relay_7",
        R"({"address":7,"id":"trip_relay_7","kind":"trip_relay","priority":"high","raised_at":"2026-12-07T19:08:33+03:00","relay":2,"state":"active_unacknowledged","text":"Ген. 2: Реле ОТКЛЮЧЕНИЯ"})");

    QDir().mkpath(TERVAL_ARTEFACTS);
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(server.port());
    WebDriver browser;
    ASSERT_TRUE(browser.start(1366, 768, &error)) << error.toStdString();
    auto save = [&](const QString& name) {
        QFile file(QStringLiteral(TERVAL_ARTEFACTS "/%1.png").arg(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(browser.screenshot());
    };
    auto fitsWidth = [&] {
        return browser.run("return document.documentElement.scrollWidth <= window.innerWidth;")
            .toBool();
    };

    for (const QSize size : {QSize(1366, 768), QSize(1920, 1080), QSize(1024, 768)}) {
        const QString suffix = QStringLiteral("-%1x%2").arg(size.width()).arg(size.height());
        browser.go(base + "/");
        browser.setViewport(size.width(), size.height());
        ASSERT_TRUE(
            browser.waitFor("return document.body.dataset.ready === '1' && "
                            "document.querySelectorAll('a.tile').length === 17;",
                            10s))
            << browser.run("return document.body.innerText;").toString().toStdString();
        EXPECT_TRUE(browser
                        .run("return document.querySelector('a.tile.event') !== null && "
                             "document.querySelector('a.tile.no_answer') !== null && "
                             "document.body.innerText.includes('1202');")
                        .toBool());
        EXPECT_TRUE(fitsWidth());
        if (size.width() == 1366) {
            // A station that dies shows offline without a reload.
            feed("plant/hall2/gen-2/status", "offline");
            EXPECT_TRUE(
                browser.waitFor("const s = document.querySelector('section.station.offline');"
                                "return s !== null && s.dataset.key === 'plant/hall2/gen-2' && "
                                "s.innerText.includes('не в сети');",
                                3s));
        }
        save("stations" + suffix);

        browser.go(base + "/alarms");
        ASSERT_TRUE(
            browser.waitFor("return document.body.dataset.ready === '1' && "
                            "document.querySelectorAll('#events tbody tr').length === 200;",
                            10s))
            << browser.run("return document.body.innerText;").toString().toStdString();
        EXPECT_TRUE(browser
                        .run("return document.querySelector('#alarms').innerText"
                             ".includes('Реле отключения');")
                        .toBool());
        if (size.width() == 1366) {
            QElapsedTimer shown;
            shown.start();
            feed(
                "plant/hall1/gen-1/relay/7/event",
                QStringLiteral(
                    R"({"address":7,"detected_at":"%1","event_time":"2026-12-08T10:00:00","generator":"Генератор 2","breaker":"Выключатель 2","relay":2,"record":9001,"sign_code":4,"sign_text":"Реле СИГНАЛИЗАЦИИ"})")
                    .arg(now.toString(Qt::ISODate))
                    .toUtf8());
            EXPECT_TRUE(
                browser.waitFor("const r = document.querySelector('#events tbody tr');"
                                "return r !== null && r.innerText.includes('Реле СИГНАЛИЗАЦИИ');",
                                2s));
            std::printf("a fed event on the open Аварии page after %lld ms\n",
                        static_cast<long long>(shown.elapsed()));
        }
        EXPECT_TRUE(fitsWidth());
        save("alarms" + suffix);

        browser.go(base + "/relay?station=plant%2Fhall1%2Fgen-1&relay=7");
        ASSERT_TRUE(
            browser.waitFor("return Number(document.body.dataset.chart) > 1000 && "
                            "document.querySelectorAll('#chart canvas').length > 0;",
                            10s))
            << browser.run("return document.body.innerText;").toString().toStdString();
        // A year: buckets, drawn within a second of asking.
        const QJsonValue yearMs = browser.run(
            "window.__asked = performance.now(); document.body.dataset.chart = '';"
            "document.querySelector('#ranges button[data-days=\"366\"]').click(); return 0;");
        (void)yearMs;
        ASSERT_TRUE(browser.waitFor("return Number(document.body.dataset.chart) > 1000;", 10s));
        const double drawn = browser.run("return performance.now() - window.__asked;").toDouble();
        std::printf("a year of minute readings drawn in %.0f ms (%s)\n", drawn, qPrintable(suffix));
        EXPECT_LT(drawn, 3000.0 * timeScale());
        EXPECT_TRUE(browser
                        .run("return document.querySelector('#mode').innerText"
                             ".includes('мин. / среднее / макс.');")
                        .toBool());
        EXPECT_TRUE(fitsWidth());
        save("relay" + suffix);
    }
    EXPECT_TRUE(browser.run("return document.documentElement.dataset.cspViolations === undefined;")
                    .toBool())
        << browser.run("return document.documentElement.dataset.cspViolations;")
               .toString()
               .toStdString();
}

// The database going away costs one connect timeout, not one per request, and the live part of
// the view goes on meanwhile.
TEST_F(PlantWebApi, ADatabaseAwayIsSaidOnceAndTheLiveViewGoesOn) {
    PlantLiveState live;
    DatabaseSettings settings = database();
    settings.connectTimeoutSeconds = 2;
    PlantHistory history(settings, QStringLiteral("web-away-test"));
    PlantWebServer server(web(), live, &history);
    QString error;
    ASSERT_TRUE(server.start(&error)) << error.toStdString();
    const QString events = "/api/events?station=" + QUrl::toPercentEncoding(kStation);
    ASSERT_EQ(webRequest(manager_, url(server, events)).status, 200);
    EXPECT_EQ(db_->psql("SELECT count(*) FROM pg_stat_activity WHERE application_name = "
                        "'terval-plant-web'"),
              QStringLiteral("1"));

    db_->stop();
    const WebAnswer first = webRequest(manager_, url(server, events));
    EXPECT_EQ(first.status, 503);
    EXPECT_TRUE(first.json().value("error").toString().startsWith("Архив"))
        << first.body.toStdString();
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < 5; ++i) {
        const WebAnswer again = webRequest(manager_, url(server, events));
        EXPECT_EQ(again.status, 503);
        EXPECT_TRUE(again.json().value("error").toString().contains("недоступен"))
            << again.body.toStdString();
    }
    EXPECT_LT(timer.elapsed(), 1500) << "each request waited for the database again";
    live.received({"plant/hall1/gen-1/status", "online", true, QDateTime::currentDateTime()});
    const WebAnswer stations = webRequest(manager_, url(server, "/api/stations"));
    EXPECT_EQ(stations.status, 200);
    EXPECT_EQ(stations.json().value("stations").toArray().size(), 1);
    ASSERT_TRUE(db_->start()) << db_->errors().toStdString();
}

}  // namespace
