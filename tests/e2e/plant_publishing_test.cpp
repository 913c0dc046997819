// The station publishing to a real broker (mosquitto on a loopback port of its own) while it
// polls simulated relays over real TCP: what a plant system subscribed to it sees, through a
// broker outage of 20 s, a relay deleted, and when the station is killed or stopped.

#include <gtest/gtest.h>
#include <signal.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

#include "e2e/relay_sim_process.h"
#include "e2e/station_harness.h"
#include "journal/journal.h"
#include "mqtt/mosquitto_client.h"
#include "support/mosquitto_broker.h"
#include "support/test_subscriber.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::MosquittoBroker;
using testing::ReceivedMessage;
using testing::RelaySimProcess;
using testing::StationHarness;
using testing::tcpTo;
using testing::TestSubscriber;

QJsonObject json(const QByteArray& payload) {
    return QJsonDocument::fromJson(payload).object();
}

// The newest payload on `topic`, or nothing.
std::optional<QJsonObject> newest(const std::vector<ReceivedMessage>& all,
                                  const QByteArray& topic) {
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        if (it->topic == topic) {
            return json(it->payload);
        }
    }
    return std::nullopt;
}

// A condition for TestSubscriber::waitFor: something on `topic` has arrived.
std::function<bool(const std::vector<ReceivedMessage>&)> arrived(const QByteArray& topic) {
    return [topic](const std::vector<ReceivedMessage>& all) {
        return std::any_of(all.begin(), all.end(),
                           [&topic](const ReceivedMessage& m) { return m.topic == topic; });
    };
}

// "online" is the first message of the station's connection, QoS 1, and said once.
void onlineFirstAndOnce(const std::vector<ReceivedMessage>& all) {
    std::vector<ReceivedMessage> station;
    std::copy_if(all.begin(), all.end(), std::back_inserter(station),
                 [](const ReceivedMessage& m) { return m.topic.startsWith("terval/st1/"); });
    ASSERT_FALSE(station.empty());
    EXPECT_EQ(station.front().topic, "terval/st1/status");
    EXPECT_EQ(station.front().payload, "online");
    EXPECT_EQ(station.front().qos, 1);
    EXPECT_EQ(
        std::count_if(station.begin(), station.end(),
                      [](const ReceivedMessage& m) { return m.topic == "terval/st1/status"; }),
        1);
}

// Every relay answering with its insulation read (the simulated relays start with an event each
// that the station has not seen yet, so "event" counts as answering).
bool allRelaysAnswering(const std::vector<ReceivedMessage>& all, int relays) {
    for (int n = 1; n <= relays; ++n) {
        const auto s = newest(all, "terval/st1/relay/" + QByteArray::number(n) + "/state");
        if (!s || (*s)["state"].toString() == QStringLiteral("no_answer") ||
            (*s)["insulation_kohm"].isNull()) {
            return false;
        }
    }
    return true;
}

TEST(PlantPublishing, StatesAndEventsReachTheBrokerAndSurviveItsOutageWithoutSlowingThePoll) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();
    RelaySimProcess sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1-3"})) << qPrintable(sim.errors());

    StationHarness station;
    station.plant =
        PlantOptions{{QStringLiteral("127.0.0.1:%1").arg(broker.port()), QStringLiteral("terval")},
                     [] { return std::make_unique<MosquittoClient>(); },
                     QStringLiteral("st1")};
    station.secondTimer = true;
    station.start({1, 2, 3}, tcpTo(sim.tcpPort()));
    station.core().link.NConnectingClick();

    // Online, the link open, every tile as the station shows it.
    const auto said = [&plant](const QByteArray& topic, const QByteArray& payload) {
        const std::vector<QByteArray> all = plant.payloads(topic);
        return std::find(all.begin(), all.end(), payload) != all.end();
    };
    ASSERT_TRUE(station.runFor(10000, [&] { return said("terval/st1/status", "online"); }))
        << broker.log().toStdString();
    ASSERT_TRUE(station.runFor(15000, [&] { return allRelaysAnswering(plant.messages(), 3); }))
        << [&plant] {
               std::string s;
               for (const ReceivedMessage& m : plant.messages()) {
                   s += m.topic.toStdString() + " " + m.payload.toStdString() + "\n";
               }
               return s;
           }();
    const auto link = newest(plant.messages(), "terval/st1/link");
    ASSERT_TRUE(link);
    EXPECT_EQ((*link)["type"].toString(), QStringLiteral("tcp"));
    EXPECT_EQ((*link)["state"].toString(), QStringLiteral("open"));
    EXPECT_EQ((*link)["status_text"].toString(), station.core().station.statusText);
    const auto state1 = newest(plant.messages(), "terval/st1/relay/1/state");
    EXPECT_EQ((*state1)["generator"].toString(), station.relay(1).GeneratorName);
    EXPECT_EQ((*state1)["address"].toInt(), 1);
    // relay-sim's serial numbers are 2400 and the address.
    EXPECT_EQ((*state1)["serial"].toInt(), 2401);
    onlineFirstAndOnce(plant.messages());
    EXPECT_FALSE(station.view.brokerTrouble);
    EXPECT_EQ(station.view.brokerText, QStringLiteral("MQTT: 127.0.0.1:%1").arg(broker.port()));

    // A protection event: its message says what the alarm log says.
    const size_t eventsBefore = plant.messages("terval/st1/relay/2/event").size();
    ASSERT_TRUE(sim.command("event 2 4").startsWith("ok"));
    ASSERT_TRUE(station.runFor(
        15000, [&] { return plant.messages("terval/st1/relay/2/event").size() > eventsBefore; }));
    {
        const std::vector<ReceivedMessage> events = plant.messages("terval/st1/relay/2/event");
        ASSERT_EQ(events.size(), eventsBefore + 1);
        EXPECT_EQ(events.back().qos, 1);
        const QJsonObject e = json(events.back().payload);
        ASSERT_FALSE(station.core().station.alarmLog.lines().empty());
        EXPECT_EQ(e["alarm_line"].toString(), station.core().station.alarmLog.lines().front().text);
        EXPECT_EQ(e["sign_code"].toInt(), 4);
        EXPECT_EQ(e["serial"].toInt(), 2402);
        EXPECT_FALSE(e["sign_text"].toString().isEmpty());
        EXPECT_FALSE(e["event_time"].toString().isEmpty());
    }
    // The poll's pace with the broker there, then with it gone for 20 s.
    const auto requestsIn = [&station](int ms) {
        const qsizetype before = station.socket.sent.size();
        station.runFor(ms);
        return static_cast<double>(station.socket.sent.size() - before) * 1000.0 / ms;
    };
    const double withBroker = requestsIn(5000);
    broker.stop();
    plant.stop();
    ASSERT_TRUE(station.runFor(5000, [&] { return station.view.brokerTrouble; }));
    EXPECT_TRUE(station.view.brokerText.startsWith(
        QStringLiteral("MQTT 127.0.0.1:%1: нет связи с брокером").arg(broker.port())))
        << station.view.brokerText.toStdString();
    // An event while the broker is away waits for it.
    const size_t linesBefore = station.core().station.alarmLog.lines().size();
    ASSERT_TRUE(sim.command("event 3 2").startsWith("ok"));
    const double withoutBroker = requestsIn(15000);
    EXPECT_GT(withBroker, 1.0);
    EXPECT_NEAR(withoutBroker, withBroker, withBroker * 0.1)
        << "requests per second: " << withBroker << " with the broker, " << withoutBroker
        << " without";
    ASSERT_EQ(station.core().station.alarmLog.lines().size(), linesBefore + 1);

    // Back: the subscriber finds everything retained said again, and the event that waited.
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    plant.clear();
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();
    ASSERT_TRUE(station.runFor(20000, [&] {
        const auto all = plant.messages();
        return !plant.messages("terval/st1/relay/3/event").empty() &&
               newest(all, "terval/st1/link") && allRelaysAnswering(all, 1) &&
               !plant.payloads("terval/st1/status").empty();
    })) << broker.log().toStdString();
    EXPECT_EQ(plant.payloads("terval/st1/status").back(), QByteArray("online"));
    // Before the event that waited for the broker.
    onlineFirstAndOnce(plant.messages());
    const QJsonObject waited = json(plant.messages("terval/st1/relay/3/event").front().payload);
    EXPECT_EQ(waited["alarm_line"].toString(),
              station.core().station.alarmLog.lines().front().text);
    EXPECT_EQ(waited["sign_code"].toInt(), 2);
    EXPECT_FALSE(station.view.brokerTrouble);
    std::cout << "requests per second: " << withBroker << " with the broker, " << withoutBroker
              << " while it was away\n";

    // Relay 2 of 3 deleted: its topic is emptied, and relay 3, now on tile 2, stays on its own.
    station.core().station.devices.SelectedDevice = 2;
    station.core().main.NDelObjectClick();
    ASSERT_TRUE(station.runFor(5000, [&] {
        const std::vector<QByteArray> two = plant.payloads("terval/st1/relay/2/state");
        const auto three = newest(plant.messages(), "terval/st1/relay/3/state");
        return !two.empty() && two.back().isEmpty() && three && (*three)["relay"].toInt() == 2;
    }));
    const QJsonObject three = *newest(plant.messages(), "terval/st1/relay/3/state");
    EXPECT_EQ(three["address"].toInt(), 3);
    EXPECT_EQ(three["serial"].toInt(), 2403);
    EXPECT_EQ(three["generator"].toString(), station.relay(2).GeneratorName);
    station.core().stop();
    TestSubscriber late;
    ASSERT_TRUE(late.start(broker, "terval/st1/relay/+/state")) << late.errors().toStdString();
    ASSERT_TRUE(late.waitFor(arrived("terval/st1/relay/3/state"), 2s));
    EXPECT_TRUE(late.messages("terval/st1/relay/2/state").empty())
        << "a deleted relay's state is still retained";
}

TEST(PlantPublishing, AKilledStationLeavesItsWillAndAStoppedOneSaysOffline) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/#")) << plant.errors().toStdString();
    RelaySimProcess sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1,2"})) << qPrintable(sim.errors());
    testing::WorkFolder folder;
    DeviceTable table;
    table.append(newDeviceEntry(1));
    table.append(newDeviceEntry(2));
    folder.write("gen.dat", table.toFileBytes());
    folder.write("config.cfg", tcpTo(sim.tcpPort()).toRecord());
    folder.write("terval.ini", "[mqtt]\nstation=killed\n");

    const auto run = [&](QProcess& station) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        station.setProcessEnvironment(env);
        station.setWorkingDirectory(folder.dir().absolutePath());
        station.start(QStringLiteral(TERVAL_PROGRAM),
                      {"--headless", "--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port())});
        return station.waitForStarted(5000);
    };
    // The station has said online and that its link to the relays is open.
    const auto onlineWithLinkOpen = [&] {
        return plant.waitFor("terval/killed/status", "online", 15s) &&
               plant.waitFor(
                   [](const std::vector<ReceivedMessage>& all) {
                       const auto link = newest(all, "terval/killed/link");
                       return link && (*link)["state"].toString() == QStringLiteral("open");
                   },
                   15s);
    };
    {
        QProcess station;
        ASSERT_TRUE(run(station));
        ASSERT_TRUE(plant.waitFor("terval/killed/status", "online", 15s))
            << station.readAllStandardError().toStdString();
        ASSERT_TRUE(plant.waitFor(
            [](const std::vector<ReceivedMessage>& all) {
                return newest(all, "terval/killed/relay/2/state").has_value();
            },
            15s));
        ::kill(static_cast<pid_t>(station.processId()), SIGKILL);
        station.waitForFinished(5000);
        EXPECT_TRUE(plant.waitFor("terval/killed/status", "offline", 10s))
            << "no last will after the station was killed";
    }
    {
        plant.clear();
        QProcess station;
        ASSERT_TRUE(run(station));
        ASSERT_TRUE(onlineWithLinkOpen());
        ::kill(static_cast<pid_t>(station.processId()), SIGTERM);
        ASSERT_TRUE(station.waitForFinished(10000));
        EXPECT_EQ(station.exitCode(), 0);
        EXPECT_TRUE(plant.waitFor("terval/killed/status", "offline", 5s))
            << "a station stopped cleanly did not say offline";
        // The link said closed before it, and kept so.
        const std::vector<ReceivedMessage> all = plant.messages();
        const auto offline = std::find_if(all.begin(), all.end(), [](const ReceivedMessage& m) {
            return m.topic == "terval/killed/status" && m.payload == "offline";
        });
        const auto link = newest({all.begin(), offline}, "terval/killed/link");
        ASSERT_TRUE(link);
        EXPECT_EQ((*link)["state"].toString(), QStringLiteral("closed"));
        TestSubscriber late;
        ASSERT_TRUE(late.start(broker, "terval/killed/link")) << late.errors().toStdString();
        ASSERT_TRUE(late.waitFor(arrived("terval/killed/link"), 2s));
        EXPECT_EQ(json(late.messages("terval/killed/link").back().payload)["state"].toString(),
                  QStringLiteral("closed"));
    }
    {
        // Stopped while the broker hangs: the station does not wait for it, its journal counts
        // what the broker did not confirm (the states go with QoS 1 here: QoS 0 is done once
        // written), and once the broker is back the will says offline.
        folder.write("terval.ini", "[mqtt]\nstation=killed\nqos=1\n");
        plant.clear();
        QProcess station;
        ASSERT_TRUE(run(station));
        ASSERT_TRUE(onlineWithLinkOpen());
        broker.pause();
        ::kill(static_cast<pid_t>(station.processId()), SIGTERM);
        const bool finished = station.waitForFinished(10000);
        broker.resume();
        ASSERT_TRUE(finished) << "the station waited for a broker that hangs";
        EXPECT_EQ(station.exitCode(), 0);
        EXPECT_TRUE(plant.waitFor("terval/killed/status", "offline", 5s))
            << broker.log().toStdString();

        testing::FixedClock clock(QDateTime::currentDateTime());
        testing::RecordingMessageSink messages;
        Journal journal(folder.dir(), clock, messages);
        ASSERT_TRUE(journal.open()) << messages.texts().join('\n').toStdString();
        JournalFilter filter;
        filter.kinds = JournalKinds{JournalKind::BrokerLost, JournalKind::StationStopped};
        const JournalRows rows = journal.read(filter, 2);
        ASSERT_EQ(rows.entries.size(), 2u) << rows.error.toStdString();
        EXPECT_EQ(rows.entries[0].kind, JournalKind::StationStopped);
        EXPECT_EQ(rows.entries[1].kind, JournalKind::BrokerLost);
        EXPECT_TRUE(rows.entries[1].text.startsWith(
            QStringLiteral("Брокер MQTT 127.0.0.1:%1: при остановке не переданы или не "
                           "подтверждены сообщения: ")
                .arg(broker.port())))
            << rows.entries[1].text.toStdString();
    }
}

// The broker hangs while relays make events, and the station is restarted meanwhile: when the
// broker answers again, a consumer subscribed all along is given every event of the outage from
// the station's journal, marked replayed, in record order, each naming the one before it; the
// event the broker had confirmed before the outage is not sent again.
TEST(PlantPublishing, EventsOfAnOutageComeFromTheJournalAfterTheStationRestartedDuringIt) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "terval/replay/#")) << plant.errors().toStdString();
    RelaySimProcess sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1-3"})) << qPrintable(sim.errors());
    testing::WorkFolder folder;
    DeviceTable table;
    table.append(newDeviceEntry(1));
    table.append(newDeviceEntry(2));
    table.append(newDeviceEntry(3));
    folder.write("gen.dat", table.toFileBytes());
    folder.write("config.cfg", tcpTo(sim.tcpPort()).toRecord());
    folder.write("terval.ini", "[mqtt]\nstation=replay\n");
    const auto run = [&](QProcess& station) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        station.setProcessEnvironment(env);
        station.setWorkingDirectory(folder.dir().absolutePath());
        station.start(QStringLiteral(TERVAL_PROGRAM),
                      {"--headless", "--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port())});
        return station.waitForStarted(5000);
    };
    // The protection events in the station's journal, oldest first, read beside the station.
    testing::FixedClock clock(QDateTime::currentDateTime());
    testing::RecordingMessageSink sink;
    const auto journalEvents = [&] {
        std::vector<qint64> ids;
        Journal journal(folder.dir(), clock, sink);
        if (!journal.openForReading()) {
            return ids;
        }
        JournalFilter filter;
        filter.kinds = JournalKinds{JournalKind::ProtectionEvent};
        for (const JournalEntry& e : journal.read(filter, 10000).entries) {
            ids.insert(ids.begin(), e.id);
        }
        return ids;
    };
    const auto eventsArrived = [](const std::vector<ReceivedMessage>& all, bool replayed) {
        std::vector<QJsonObject> out;
        for (const ReceivedMessage& m : all) {
            if (m.topic.endsWith("/event") && json(m.payload)["replayed"].toBool() == replayed) {
                out.push_back(json(m.payload));
            }
        }
        return out;
    };

    QProcess first;
    ASSERT_TRUE(run(first));
    ASSERT_TRUE(plant.waitFor("terval/replay/status", "online", 15s))
        << first.readAllStandardError().toStdString();
    ASSERT_TRUE(sim.command("event 2 4").startsWith("ok"));
    ASSERT_TRUE(plant.waitFor(
        [&](const std::vector<ReceivedMessage>& all) {
            const auto live = eventsArrived(all, false);
            return std::any_of(live.begin(), live.end(),
                               [](const QJsonObject& o) { return o["sign_code"].toInt() == 4; });
        },
        20s))
        << first.readAllStandardError().toStdString();
    const std::vector<QJsonObject> live = eventsArrived(plant.messages(), false);
    const auto confirmedEvent = std::find_if(
        live.begin(), live.end(), [](const QJsonObject& o) { return o["sign_code"].toInt() == 4; });
    const qint64 confirmed = (*confirmedEvent)["record"].toInteger();
    ASSERT_GT(confirmed, 0);
    EXPECT_EQ(journalEvents().back(), confirmed);

    // The broker hangs: two events, the station restarted, one more. A relay dates its protocols
    // to the second, and one of the same second as the one before is no news: each event is on
    // a relay of its own, the last seconds later.
    broker.pause();
    const size_t before = journalEvents().size();
    ASSERT_TRUE(sim.command("event 1 3").startsWith("ok"));
    ASSERT_TRUE(sim.command("event 3 5").startsWith("ok"));
    ASSERT_TRUE(testing::waitUntil([&] { return journalEvents().size() >= before + 2; }, 20s))
        << journalEvents().size() << " events after " << before << "\n"
        <<
        [&] {
            Journal journal(folder.dir(), clock, sink);
            journal.openForReading();
            std::string t;
            for (const JournalEntry& e : journal.read({}, 100).entries) {
                t += std::to_string(e.id) + " " + std::to_string(int(e.kind)) + " " +
                     e.text.toStdString() + "\n";
            }
            return t;
        }()
        << sink.texts().join('\n').toStdString() << first.readAllStandardError().toStdString();
    ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitCode(), 0);
    QProcess second;
    ASSERT_TRUE(run(second));
    ASSERT_TRUE(sim.command("event 2 6").startsWith("ok"));
    ASSERT_TRUE(testing::waitUntil([&] { return journalEvents().size() >= before + 3; }, 20s))
        << second.readAllStandardError().toStdString();
    const std::vector<qint64> recorded = journalEvents();
    const std::vector<qint64> outage(recorded.begin() + static_cast<std::ptrdiff_t>(before),
                                     recorded.end());
    broker.resume();

    ASSERT_TRUE(plant.waitFor(
        [&](const std::vector<ReceivedMessage>& all) {
            const auto replayed = eventsArrived(all, true);
            return std::all_of(outage.begin(), outage.end(), [&](qint64 record) {
                return std::any_of(
                    replayed.begin(), replayed.end(),
                    [record](const QJsonObject& o) { return o["record"].toInteger() == record; });
            });
        },
        40s))
        << second.readAllStandardError().toStdString() << broker.log().toStdString();
    const std::vector<QJsonObject> replayed = eventsArrived(plant.messages(), true);
    qint64 last = 0;
    for (const QJsonObject& o : replayed) {
        const qint64 record = o["record"].toInteger();
        EXPECT_GT(record, last) << "replayed out of order";
        EXPECT_NE(record, confirmed) << "an event the broker had confirmed was sent again";
        last = record;
        const auto at = std::find(recorded.begin(), recorded.end(), record);
        ASSERT_NE(at, recorded.end()) << "record " << record << " is no event of the journal";
        if (at == recorded.begin()) {
            EXPECT_TRUE(o["previous"].isNull());
        } else {
            EXPECT_EQ(o["previous"].toInteger(), *(at - 1)) << "record " << record;
        }
    }
    ::kill(static_cast<pid_t>(second.processId()), SIGTERM);
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
}

}  // namespace
}  // namespace terval
