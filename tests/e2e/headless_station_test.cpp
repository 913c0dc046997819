// The station without windows: what it writes to its log, and the real program run as a service
// would be, with no display, against relay-sim, stopped by SIGTERM and by SIGHUP.
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTextStream>
#include <array>
#include <csignal>
#include <limits>

#include "devices/device_editor.h"
#include "devices/device_files.h"
#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "poll/event_detection.h"
#include "relay_sim_process.h"
#include "service/headless_station.h"
#include "support/fakes.h"
#include "support/mosquitto_broker.h"
#include "support/test_subscriber.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::FixedClock;
using testing::MosquittoBroker;
using testing::ReceivedMessage;
using testing::RecordingMessageSink;
using testing::RelaySimProcess;
using testing::TestSubscriber;
using testing::waitUntil;
using testing::WorkFolder;

QStringList linesOf(const QString& text) {
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

TEST(StationLog, TellsWhatChangedOnceWithItsTime) {
    QString text;
    QTextStream out(&text);
    FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(18, 22, 1)));
    WorkFolder folder;
    Station station(folder.dir());
    station.devices.append(newDeviceEntry(1));
    DeviceEntry second = newDeviceEntry(2);
    second.Address = 17;
    station.devices.append(second);
    StationLog log(out, clock);
    log.setStation(&station);
    log.buildTile(1, {}, QStringLiteral("Ген. 1"), QStringLiteral("Выкл 1"));
    log.buildTile(2, {}, QStringLiteral("Ген. 2"), QStringLiteral("Выкл 2"));

    // A tile repeats its state at every answer; a built tile already shows "no answer".
    log.showTileState(1, kTileNoAnswer);
    log.showTileState(2, kTileAnswering);
    log.showTileState(2, kTileAnswering);
    log.showTileState(2, kTileEvent);

    // A waiting link counts down every second; the countdown is not news, a new reason is, and
    // the old one coming back is again.
    const QString waiting = QStringLiteral(
        "Связь с СОМ портом COM3 потеряна. Следующая попытка "
        "через %1 с.");
    // A serial port that opens changes only its label in the window; the label's port number
    // (param.dat's) is not the port config.cfg opens.
    station.params.PortNumber = 1;
    station.connection.portName = QStringLiteral("COM3");
    log.setSerialDisplayVisible(true);
    log.showClock(QStringLiteral("07.12.2026"), QStringLiteral("18:22:01"),
                  QStringLiteral("COM 1"));
    log.showPortState(false);
    log.showPortState(true);
    log.showPortState(true);
    log.showPortState(false);
    log.setStatusText(waiting.arg(5));
    log.showLinkAttempt(QStringLiteral("Повтор через 5 с"));
    log.setStatusText(waiting.arg(4));
    log.showLinkAttempt(QStringLiteral("Повтор через 4 с"));
    log.showLinkAttempt(QStringLiteral("Подключение…"));
    // The port stays away: the same attempts within the minute are not told again...
    log.setStatusText(waiting.arg(5));
    log.showLinkAttempt(QStringLiteral("Повтор через 5 с"));
    log.showLinkAttempt(QStringLiteral("Подключение…"));
    // ...but after it they are.
    clock.time = clock.time.addSecs(61);
    log.showLinkAttempt(QStringLiteral("Повтор через 5 с"));
    log.setStatusText(QString());
    log.setStatusText(QStringLiteral("Связь с СОМ портом COM3 восстановлена."));
    log.setStatusText(waiting.arg(5));

    // A message box's lines make one line of the log.
    log.showMessage(MessageIcon::Error,
                    QStringLiteral("Связь с СОМ портом COM3 потеряна.\nInput/output error"));
    log.showMessage(MessageIcon::Information, QStringLiteral("Готово\nвсё"),
                    QStringLiteral("Экспорт"));
    const QString broker = QStringLiteral("MQTT: 127.0.0.1:1883");
    const QString brokerLost =
        QStringLiteral("MQTT 127.0.0.1:1883: нет связи с брокером: соединение оборвалось");
    log.showBrokerState(broker, false);
    log.showBrokerState(broker, false);
    log.showBrokerState(brokerLost, true);
    log.showBrokerState(brokerLost, true);
    log.showBrokerState(QString(), false);

    const QString before = text;
    const QStringList expected = {
        "2026-12-07 18:22:01 Ген. 2 (адрес 17): отвечает",
        "2026-12-07 18:22:01 Ген. 2 (адрес 17): событие",
        "2026-12-07 18:22:01 Порт COM3: открыт",
        "2026-12-07 18:22:01 Порт COM3: закрыт",
        "2026-12-07 18:22:01 Состояние: Связь с СОМ портом COM3 потеряна. Следующая попытка "
        "через 5 с.",
        "2026-12-07 18:22:01 Попытка связи: Повтор через 5 с",
        "2026-12-07 18:22:01 Попытка связи: Подключение…",
        "2026-12-07 18:23:02 Попытка связи: Повтор через 5 с",
        "2026-12-07 18:23:02 Состояние: Связь с СОМ портом COM3 восстановлена.",
        "2026-12-07 18:23:02 Состояние: Связь с СОМ портом COM3 потеряна. Следующая попытка "
        "через 5 с.",
        "2026-12-07 18:23:02 Ошибка: Связь с СОМ портом COM3 потеряна. Input/output error",
        "2026-12-07 18:23:02 Сведения (Экспорт): Готово — всё",
        "2026-12-07 18:23:02 Брокер: MQTT: 127.0.0.1:1883",
        "2026-12-07 18:23:02 Брокер: MQTT 127.0.0.1:1883: нет связи с брокером: соединение "
        "оборвалось",
        "2026-12-07 18:23:02 Брокер: публикация остановлена",
    };
    EXPECT_EQ(linesOf(before), expected);

    // The alarm log is shown whole at every change, the selection too; each line is told once,
    // oldest first, also when the log is full and its oldest lines fall off.
    AlarmLog alarms;
    int told = 0;
    auto show = [&](int newLines) {
        for (int k = 0; k < newLines; ++k) {
            alarms.insertNew(QStringLiteral("07.12.2026 18:22:%1  : Ген. 2,Реле ОТКЛЮЧЕНИЯ")
                                 .arg(++told, 3, 10, QLatin1Char('0')));
        }
        log.showAlarmLog(alarms);
        alarms.select(0);
        log.showAlarmLog(alarms);
    };
    show(1);
    for (int k = 0; k < AlarmLog::kMaxLines + 5; ++k) {
        show(1);
    }
    show(3);
    alarms.markSeen(0);
    log.showAlarmLog(alarms);
    QStringList alarmLines = linesOf(text.mid(before.size()));
    ASSERT_EQ(alarmLines.size(), told);
    for (int k = 0; k < told; ++k) {
        EXPECT_EQ(alarmLines[k],
                  QStringLiteral("2026-12-07 18:23:02 Авария: 07.12.2026 18:22:%1  : Ген. 2,"
                                 "Реле ОТКЛЮЧЕНИЯ")
                      .arg(k + 1, 3, 10, QLatin1Char('0')));
    }
}

// The real program in a folder of its own, with no display and no platform to draw on, as a
// service manager starts it. Its log goes to a file, read as it grows.
class HeadlessProgram {
  public:
    explicit HeadlessProgram(const WorkFolder& folder, const QStringList& options = {})
        : logPath_(folder.path("station.log")) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QString());
        process_.setProcessEnvironment(env);
        process_.setWorkingDirectory(folder.dir().path());
        process_.setStandardErrorFile(logPath_);
        process_.start(QStringLiteral(TERVAL_PROGRAM), QStringList{"--headless"} + options);
    }
    ~HeadlessProgram() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    QString log() const {
        QFile file(logPath_);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    bool logHas(const QString& text) const { return log().contains(text); }
    QProcess& process() { return process_; }

  private:
    QString logPath_;
    QProcess process_;
};

bool makeFolder(const WorkFolder& folder, const QStringList& arguments) {
    return QProcess::execute(QStringLiteral(STATION_FOLDER),
                             QStringList{folder.dir().path()} + arguments) == 0;
}

int requestsOf(RelaySimProcess& sim, int relay) {
    const QRegularExpression requests(QStringLiteral(" requests (\\d+) "));
    const QRegularExpressionMatch m =
        requests.match(sim.command(QStringLiteral("status %1").arg(relay)));
    return m.hasMatch() ? m.captured(1).toInt() : -1;
}

TEST(HeadlessStation, PollsRecordsAndStopsCleanlyOnSigterm) {
    RelaySimProcess sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1-3"}))
        << sim.errors().toStdString();
    WorkFolder folder;
    ASSERT_TRUE(makeFolder(
        folder, {"--relays", "3", "--tcp", QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort())}));

    // The plant's broker, given on the command line.
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.errors().toStdString();
    TestSubscriber plant;
    ASSERT_TRUE(plant.start(broker, "e2e/#")) << plant.errors().toStdString();

    HeadlessProgram station(folder, {"--mqtt", QStringLiteral("127.0.0.1:%1").arg(broker.port()),
                                     "--mqtt-prefix", "e2e"});
    ASSERT_TRUE(station.process().waitForStarted(10000));
    const QString connected =
        QStringLiteral(
            "Состояние: Произошло подключение к устройству - IP adress: 127.0.0.1  "
            "Port: %1\n")
            .arg(sim.tcpPort());
    auto alarmsLogged = [&] {
        return linesOf(station.log()).filter(QStringLiteral(" Авария: ")).size();
    };
    // A new device list knows no event yet: each relay's newest protocol is one.
    ASSERT_TRUE(waitUntil(
        [&] {
            return station.logHas(connected) && alarmsLogged() == 3 &&
                   station.logHas(QStringLiteral("Ген. 3 (адрес 3): событие\n"));
        },
        30s))
        << station.log().toStdString();

    // Polling goes on and says nothing while nothing changes.
    const int linesBefore = static_cast<int>(linesOf(station.log()).size());
    const int requestsBefore = requestsOf(sim, 1);
    ASSERT_TRUE(waitUntil([&] { return requestsOf(sim, 1) >= requestsBefore + 5; }, 30s));
    EXPECT_EQ(linesOf(station.log()).size(), linesBefore) << station.log().toStdString();

    const QString reply = sim.command(QStringLiteral("event 2"));
    const QRegularExpressionMatch when =
        QRegularExpression(QStringLiteral("date (\\d\\d)/(\\d\\d) (\\d\\d:\\d\\d:\\d\\d)"))
            .match(reply);
    ASSERT_TRUE(when.hasMatch()) << reply.toStdString();
    auto isTheEvent = [&](const QDateTime& t) {
        return t.date().day() == when.captured(1).toInt() &&
               t.date().month() == when.captured(2).toInt() &&
               t.time().toString(QStringLiteral("HH:mm:ss")) == when.captured(3);
    };
    auto eventSaved = [&] {
        const DeviceLoad devices = loadDeviceFile(folder.dir());
        return devices.table.DeviceCount == 3 &&
               isTheEvent(fromDateTimeValue(devices.table.entry(2).LastEventTime));
    };
    ASSERT_TRUE(waitUntil([&] { return eventSaved() && alarmsLogged() == 4; }, 30s))
        << station.log().toStdString();

    // Every event has gone to the plant before the station is stopped.
    auto eventsPublished = [&plant] {
        QStringList lines;
        for (const ReceivedMessage& m : plant.messages()) {
            if (m.topic.startsWith("e2e/") && m.topic.endsWith("/event")) {
                lines << QJsonDocument::fromJson(m.payload)
                             .object()
                             .value(QStringLiteral("alarm_line"))
                             .toString();
            }
        }
        return lines;
    };
    ASSERT_TRUE(waitUntil([&] { return eventsPublished().size() == 4; }, 30s))
        << eventsPublished().join('\n').toStdString();
    // Each event raised its relay's alarm, logged and retained for the plant as unacknowledged.
    auto alarmOnBroker = [&plant](const QByteArray& id) {
        QString state;
        for (const ReceivedMessage& m : plant.messages()) {
            if (m.topic.startsWith("e2e/") && m.topic.endsWith("/alarm/" + id)) {
                state = QJsonDocument::fromJson(m.payload).object()["state"].toString();
            }
        }
        return state;
    };
    ASSERT_TRUE(waitUntil(
        [&] { return alarmOnBroker("protection_event_2") == "active_unacknowledged"; }, 30s));
    EXPECT_EQ(alarmOnBroker("protection_event_3"), QStringLiteral("active_unacknowledged"));
    // The event closed relay 2's trip and signal relays too: their alarms besides.
    const QStringList raised =
        linesOf(station.log())
            .filter(QStringLiteral(" — поднят; состояние: Активна, не квитирована"));
    EXPECT_EQ(raised.filter(QStringLiteral(" Аварийный сигнал (высокий приоритет): ")).size(), 5)
        << station.log().toStdString();
    EXPECT_EQ(raised.filter(QStringLiteral("  : Ген. ")).size(), 4);
    EXPECT_EQ(raised.filter(QStringLiteral("): Ген. 2: Реле ОТКЛЮЧЕНИЯ — ")).size(), 1);

    station.process().terminate();
    ASSERT_TRUE(station.process().waitForFinished(20000)) << station.log().toStdString();
    EXPECT_EQ(station.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(station.process().exitCode(), 0) << station.log().toStdString();
    EXPECT_TRUE(eventSaved());

    // The journal as the windowed station leaves it.
    FixedClock clock(QDateTime::currentDateTime());
    RecordingMessageSink messages;
    Journal journal(folder.dir(), clock, messages);
    ASSERT_TRUE(journal.open()) << messages.texts().join('\n').toStdString();
    JournalFilter filter;
    filter.kinds = JournalKinds{JournalKind::StationStarted,  JournalKind::OperatorConnect,
                                JournalKind::LinkEstablished, JournalKind::ProtectionEvent,
                                JournalKind::LinkLost,        JournalKind::OperatorDisconnect,
                                JournalKind::StationStopped};
    JournalRows rows = journal.read(filter, 100);
    ASSERT_TRUE(rows.error.isEmpty()) << rows.error.toStdString();
    std::reverse(rows.entries.begin(), rows.entries.end());
    std::vector<JournalKind> kinds;
    for (const JournalEntry& e : rows.entries) {
        kinds.push_back(e.kind);
    }
    using K = JournalKind;
    ASSERT_EQ(kinds,
              (std::vector<JournalKind>{K::StationStarted, K::OperatorConnect, K::LinkEstablished,
                                        K::ProtectionEvent, K::ProtectionEvent, K::ProtectionEvent,
                                        K::ProtectionEvent, K::StationStopped}));
    const JournalEntry& event = rows.entries[6];
    ASSERT_TRUE(event.relay.has_value());
    EXPECT_EQ(event.relay->address, 2);
    const auto* details = std::get_if<ProtectionEventDetails>(&event.details);
    ASSERT_NE(details, nullptr);
    EXPECT_TRUE(isTheEvent(details->relayTime));
    EXPECT_EQ(details->signCode, 1);

    // The log: a time on every line, the alarm line as the journal has it and told once, and the
    // stop the last word.
    const QStringList log = linesOf(station.log());
    const QRegularExpression stamped(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\S"));
    for (const QString& line : log) {
        EXPECT_TRUE(stamped.match(line).hasMatch()) << line.toStdString();
    }
    // Each event's alarm line, once and in their order, as the journal has it.
    QStringList alarms;
    for (const QString& line : log.filter(QStringLiteral(" Авария: "))) {
        alarms << line.section(QStringLiteral(" Авария: "), 1);
    }
    QStringList recorded;
    for (int k = 3; k <= 6; ++k) {
        recorded << rows.entries[k].text;
    }
    EXPECT_EQ(alarms, recorded);
    EXPECT_EQ(eventsPublished(), recorded);
    EXPECT_TRUE(station.logHas(QStringLiteral(" Брокер: ")));
    // The plant learns that the station has gone.
    const std::vector<ReceivedMessage> all = plant.messages();
    auto status = std::find_if(all.rbegin(), all.rend(), [](const ReceivedMessage& m) {
        return m.topic.endsWith("/status");
    });
    ASSERT_NE(status, all.rend());
    EXPECT_EQ(status->payload, "offline");
    EXPECT_TRUE(event.text.contains(QStringLiteral("Ген. 2,Реле ОТКЛЮЧЕНИЯ")));
    EXPECT_EQ(log.filter(QStringLiteral("Получен сигнал SIGTERM")).size(), 1);
    ASSERT_FALSE(log.isEmpty());
    EXPECT_TRUE(log.last().endsWith(QStringLiteral(" Станция остановлена")));
}

// The terminal it was started from closing: SIGHUP, and its log's reader gone with it. The
// station stops as on SIGTERM, and every reading it took is in the file, though the minute at which
// it writes them has not come.
TEST(HeadlessStation, AClosedTerminalStopsItCleanlyWithEveryReadingKept) {
    RelaySimProcess sim;
    ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1-3"}))
        << sim.errors().toStdString();
    WorkFolder folder;
    ASSERT_TRUE(makeFolder(
        folder, {"--relays", "3", "--tcp", QStringLiteral("127.0.0.1:%1").arg(sim.tcpPort())}));

    // The log into a pipe, as into a terminal or `| tee`.
    QProcess station;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QString());
    station.setProcessEnvironment(env);
    station.setWorkingDirectory(folder.dir().path());
    station.start(QStringLiteral(TERVAL_PROGRAM), {"--headless"});
    ASSERT_TRUE(station.waitForStarted(10000));
    QString log;
    auto readLog = [&] {
        station.waitForReadyRead(100);
        log += QString::fromUtf8(station.readAllStandardError());
        return log;
    };
    const QString connected = QStringLiteral("Произошло подключение к устройству");
    ASSERT_TRUE(waitUntil([&] { return readLog().contains(connected); }, 30s)) << log.toStdString();
    // A few rounds, well inside the first minute, so that nothing has been written yet.
    ASSERT_TRUE(waitUntil([&] { return requestsOf(sim, 3) >= 6; }, 30s));
    std::array<int, 3> requests{};
    for (int relay = 1; relay <= 3; ++relay) {
        requests[relay - 1] = requestsOf(sim, relay);
    }

    station.closeReadChannel(QProcess::StandardError);
    ASSERT_EQ(::kill(static_cast<pid_t>(station.processId()), SIGHUP), 0);
    ASSERT_TRUE(station.waitForFinished(20000));
    EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(station.exitCode(), 0);

    FixedClock clock(QDateTime::currentDateTime());
    RecordingMessageSink messages;
    Journal journal(folder.dir(), clock, messages);
    ASSERT_TRUE(journal.open()) << messages.texts().join('\n').toStdString();
    JournalFilter filter;
    filter.kinds = JournalKinds{JournalKind::StationStarted, JournalKind::StationStopped};
    const JournalRows rows = journal.read(filter, 10);
    ASSERT_TRUE(rows.error.isEmpty()) << rows.error.toStdString();
    ASSERT_EQ(rows.entries.size(), 2u);
    EXPECT_EQ(rows.entries[0].kind, JournalKind::StationStopped);
    // Two requests a round, one reading for each status answer.
    const InsulationTrend trend(journal);
    EXPECT_EQ(trend.addresses(), (std::vector<uint16_t>{1, 2, 3}));
    for (uint16_t address = 1; address <= 3; ++address) {
        const TrendSeries series =
            trend.read(address, 0, std::numeric_limits<qint64>::max() / 2, TrendResolution::Raw);
        ASSERT_TRUE(series.error.isEmpty()) << series.error.toStdString();
        EXPECT_GE(static_cast<int>(series.points.size()), requests[address - 1] / 2)
            << "relay " << address;
    }
}

TEST(HeadlessStation, AFolderWithoutRelaysSaysSoAndFails) {
    WorkFolder folder;
    ASSERT_TRUE(makeFolder(folder, {"--relays", "0"}));
    HeadlessProgram station(folder);
    ASSERT_TRUE(station.process().waitForFinished(30000)) << station.log().toStdString();
    EXPECT_EQ(station.process().exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(station.process().exitCode(), 1);
    EXPECT_TRUE(station.logHas(QStringLiteral("нет ни одного реле")))
        << station.log().toStdString();
}

}  // namespace
}  // namespace terval
