// The plant view end to end: terval-plant --http with a real broker and PostgreSQL, two stations
// without windows on simulated relays, and the pages in headless Chromium.
#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTcpServer>

#include "plantd/plant_rig.h"
#include "plantweb/web_client.h"
#include "plantweb/web_driver.h"
#include "support/free_port.h"

using namespace terval::testing;
using namespace std::chrono_literals;

namespace {

TEST(PlantViewEndToEnd, StationsTilesAnEventAStationStoppedAndARelaysWeekInTheBrowser) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    PostgresCluster db;
    ASSERT_TRUE(db.start()) << db.errors().toStdString();

    QTemporaryDir folder;
    {
        QFile ini(folder.filePath("terval-plant.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write("[spool]\nfolder=spool\nlimitMB=64\n[database]\nconnectTimeout=3\n");
    }
    const auto httpPort = static_cast<quint16>(freeLoopbackPort());
    ServiceProcess plant;
    ASSERT_TRUE(
        plant.start(QStringLiteral(TERVAL_PLANT_PROGRAM),
                    {"--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port()), "--mqtt-prefix",
                     "terval", "--db", db.url(), "--db-password-file", db.passwordFile(), "--http",
                     QStringLiteral("127.0.0.1:%1").arg(httpPort)},
                    folder.path(), folder.filePath("plant.log")));
    std::vector<std::unique_ptr<PlantStation>> stations;
    QString why;
    for (const char* name : {"st1", "st2"}) {
        stations.push_back(std::make_unique<PlantStation>(QString::fromLatin1(name)));
        ASSERT_TRUE(stations.back()->start(3, broker.port(), &why)) << why.toStdString();
    }
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(httpPort);
    QNetworkAccessManager manager;
    // Both stations with their three relays read, as the plant's page gets them.
    const bool live = spinUntil(
        [&] {
            const QJsonArray all = webRequest(manager, QUrl(base + "/api/stations"))
                                       .json()
                                       .value("stations")
                                       .toArray();
            int read = 0;
            for (const QJsonValue& st : all) {
                for (const QJsonValue& relay : st.toObject().value("relays").toArray()) {
                    read += relay.toObject().value("insulation_kohm").isDouble() ? 1 : 0;
                }
            }
            return all.size() == 2 && read == 6;
        },
        60s);
    ASSERT_TRUE(live) << plant.log().toStdString();

    QDir().mkpath(TERVAL_ARTEFACTS);
    WebDriver browser;
    ASSERT_TRUE(browser.start(1366, 768, &why)) << why.toStdString();
    browser.setViewport(1366, 768);
    auto save = [&](const QString& name) {
        QFile file(QStringLiteral(TERVAL_ARTEFACTS "/e2e-%1.png").arg(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(browser.screenshot());
    };
    browser.go(base + "/");
    ASSERT_TRUE(
        browser.waitFor("return document.querySelectorAll('a.tile').length === 6 && "
                        "document.querySelectorAll('.badge.online').length === 2;",
                        10s))
        << browser.run("return document.body.innerText;").toString().toStdString();
    save("stations");

    // An event made in a simulator, on the open Аварии page.
    browser.go(base + "/alarms");
    ASSERT_TRUE(browser.waitFor("return document.body.dataset.ready === '1';", 10s));
    const int before =
        browser.run("return document.querySelectorAll('#events tbody tr').length;").toInt();
    QElapsedTimer made;
    made.start();
    ASSERT_TRUE(stations[0]->sim().command("event 2 4").startsWith("ok"));
    EXPECT_TRUE(browser.waitFor(
        QStringLiteral("return document.querySelectorAll('#events tbody tr.fresh').length > 0 && "
                       "document.querySelectorAll('#events tbody tr').length > %1;")
            .arg(before),
        20s))
        << stations[0]->log().toStdString();
    std::printf("an event made in the simulator on the open Аварии page after %lld ms\n",
                static_cast<long long>(made.elapsed()));
    save("alarms");

    // A week of minute readings behind the first relay, as a historian running that long has.
    ASSERT_TRUE(
        db.psql("INSERT INTO terval.samples (relay_id, at, insulation_kohm, control_kohm) "
                "SELECT r.id, t, (1400 + 300 * sin(extract(epoch FROM t)::float8 / 86400 * 2 * "
                "pi()))::int, "
                "100 FROM terval.relays r JOIN terval.stations s ON s.id = r.station_id, "
                "generate_series(greatest(date_trunc('month', now()), now() - interval '7 days'), "
                "now() - interval '10 minutes', interval '1 minute') t "
                "WHERE s.name = 'st1' AND r.address = 1 ON CONFLICT DO NOTHING"))
        << db.errors().toStdString();
    browser.go(base + "/relay?station=terval%2Fst1&relay=1");
    ASSERT_TRUE(
        browser.waitFor("return document.body.dataset.chart !== undefined && "
                        "document.body.dataset.chart !== '';",
                        10s));
    browser.run(
        "document.body.dataset.chart = '';"
        "document.querySelector('#ranges button[data-days=\"7\"]').click(); return 0;");
    EXPECT_TRUE(
        browser.waitFor("return Number(document.body.dataset.chart) > 100 && "
                        "document.querySelectorAll('#chart canvas').length > 0;",
                        10s))
        << browser.run("return document.body.innerText;").toString().toStdString();
    save("relay");

    // A station stopped says offline (its last word, or its will had it died).
    ASSERT_EQ(stations[1]->stop(), 0);
    browser.go(base + "/");
    EXPECT_TRUE(
        browser.waitFor("const s = document.querySelector('section.station.offline');"
                        "return s !== null && s.dataset.key === 'terval/st2';",
                        15s))
        << browser.run("return document.body.innerText;").toString().toStdString();
    save("stations-offline");

    EXPECT_EQ(plant.stop(), 0) << plant.log().toStdString();
}

}  // namespace
