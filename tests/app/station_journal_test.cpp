// What the running station leaves in its journal: the core driven over the fake transport, the
// records read back from journal.db by a second connection, as another program would read them.

#include <gtest/gtest.h>

#include <QFile>
#include <algorithm>
#include <functional>
#include <random>

#include "param/fake_relay.h"
#include "param/param_window_model.h"
#include "param/recording_param_view.h"
#include "station/station_texts.h"
#include "support/journal_fixture.h"

namespace terval {
namespace {

using testing::FakeRelay;
using testing::RecordingMessageSink;
using testing::RecordingParamView;
using testing::Request;
using testing::Rig;

using K = JournalKind;

// Every record on file, oldest first.
std::vector<JournalEntry> onFile(Rig& rig) {
    return testing::recordsOnFile(rig.folder.dir(), rig.clock);
}

std::vector<JournalEntry> ofKinds(Rig& rig, JournalKinds kinds) {
    std::vector<JournalEntry> picked;
    for (JournalEntry& e : onFile(rig)) {
        if (kinds.contains(e.kind)) {
            picked.push_back(std::move(e));
        }
    }
    return picked;
}

JournalRelay relayNamed(int n) {
    return {n, static_cast<uint16_t>(n), QStringLiteral("Ген. %1").arg(n),
            QStringLiteral("Выкл %1").arg(n)};
}

QByteArray tcpException(uint8_t unit, uint8_t function, uint8_t code) {
    QByteArray pdu;
    pdu.append(static_cast<char>(unit));
    pdu.append(static_cast<char>(function | 0x80));
    pdu.append(static_cast<char>(code));
    return testing::mbapFrame(pdu);
}

// The core's parameter window rules, shown on `view`.
ParamWindowModel& attachedRules(Rig& rig, RecordingParamView& view) {
    rig.core().paramWindow.setView(&view);
    return rig.core().paramWindow;
}

// A station of three relays over TCP that keeps its journal; relay 2 is the one the parameter
// window opens, answering from a plausible register map.
class StationJournalTest : public ::testing::Test {
  protected:
    void exchange(int n) { relay.exchange(rig, 2, n); }
    void openWindowOnRelay2() {
        rig.core().main.NEWbmpClick(2);
        rig.core().dispatcher.setParamWindow(&model);
        model.prepareOpen();
        model.FormShow();
        for (int i = 0; i < 14 && rig.poll().InitialRead(); ++i) {
            exchange(1);
        }
        ASSERT_FALSE(rig.poll().InitialRead());
    }
    void type(const QString& panel, const char* keys) {
        model.PanUstClick(panel);
        for (; *keys; ++keys) {
            model.PanelUstKeyPressFloat(panel, *keys);
        }
    }
    // Sends requests, answering all but a write, until the write is the request in flight.
    void untilWriteSent() {
        for (int i = 0; i < 10; ++i) {
            ASSERT_GT(rig.tickUntilSent(), 0);
            if (rig.lastRequest().function == 6) {
                return;
            }
            relay.answer(rig, 2);
        }
        FAIL() << "no write went out";
    }

    // Before the station, which shows the window's rules on it to its last moment.
    RecordingParamView view;
    Rig rig{3, kLinkTcp, {}, JournalOptions{}};
    FakeRelay relay;
    ParamWindowModel& model = attachedRules(rig, view);
};

TEST_F(StationJournalTest, ProtectionEventsAndWhatTheOperatorDidWithThem) {
    rig.connect();
    const QVector<uint16_t> trip = testing::tripRecord(3, 15, 11, 59, 30, 1);
    // Relay 1 reports an event in its newest protocol; relay 3 one a minute later.
    for (int i = 0; i < 6; ++i) {
        ASSERT_GT(rig.tickUntilSent(), 0);
        const Request r = rig.lastRequest();
        if (r.reg == 0x1000 && (r.unit == 1 || r.unit == 3)) {
            QVector<uint16_t> words = trip;
            words[2] = static_cast<uint16_t>((r.unit == 1 ? 59 : 58) << 8 | 30);
            words[10] = 0xBEEF;
            rig.answerRead(words);
        } else {
            rig.answerPlausibly();
        }
    }
    const std::vector<JournalEntry> events = ofKinds(rig, {K::ProtectionEvent});
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].relay, relayNamed(1));
    EXPECT_EQ(events[0].text, rig.station().alarmLog.text(1));
    EXPECT_EQ(events[0].text, QStringLiteral("15.03.2026 11:59:30  : Ген. 1,Реле ОТКЛЮЧЕНИЯ"));
    const auto& d = std::get<ProtectionEventDetails>(events[0].details);
    EXPECT_EQ(d.relayTime, QDateTime(QDate(2026, 3, 15), QTime(11, 59, 30)));
    EXPECT_EQ(d.signCode, 1);
    EXPECT_EQ(d.signText, QStringLiteral("Реле ОТКЛЮЧЕНИЯ"));
    ASSERT_TRUE(d.record);
    EXPECT_EQ((*d.record)[10], 0xBEEF);
    EXPECT_EQ((*d.record)[31], 1);
    EXPECT_EQ((*d.record)[2], 59 << 8 | 30);
    EXPECT_EQ(events[1].relay, relayNamed(3));

    // The same event read again is not a new one.
    for (int i = 0; i < 6; ++i) {
        ASSERT_GT(rig.tickUntilSent(), 0);
        rig.answerPlausibly();
    }
    EXPECT_EQ(ofKinds(rig, {K::ProtectionEvent}).size(), 2u);

    // Line 0 is relay 3's: marked seen once (a second mark changes nothing), then line 1 deleted,
    // then the rest cleared.
    MainController& main = rig.core().main;
    main.RichEditMouseDown(0);
    main.NDelInsClick();
    main.NDelInsClick();
    main.RichEditMouseDown(1);
    main.NDelListClick();
    main.NDelAllClick();
    // Relay 3's event waits for acknowledgement until its page 4 is viewed; viewing it again
    // acknowledges nothing.
    ASSERT_EQ(rig.station().tile(3).state, kTileEvent);
    main.NEWbmpClick(3);
    model.prepareOpen();
    model.PageControl1Change(kPageInsulationProtocols);
    model.PageControl1Change(kPageInsulationProtocols);

    const std::vector<JournalEntry> answers =
        ofKinds(rig, JournalKinds::ofGroup(JournalGroup::Acknowledgement));
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_EQ(answers[0].kind, K::AlarmLineMarked);
    EXPECT_EQ(answers[0].relay, relayNamed(3));
    EXPECT_EQ(std::get<AlarmLineDetails>(answers[0].details).line, events[1].text);
    EXPECT_EQ(answers[1].kind, K::AlarmLineDeleted);
    EXPECT_EQ(answers[1].relay, relayNamed(1));
    EXPECT_EQ(answers[1].text, QStringLiteral("Строка тревоги удалена: ") + events[0].text);
    EXPECT_EQ(answers[2].kind, K::AlarmLogCleared);
    EXPECT_EQ(std::get<AlarmLogClearedDetails>(answers[2].details).lineCount, 1);
    EXPECT_EQ(answers[3].kind, K::Acknowledgement);
    EXPECT_EQ(answers[3].relay, relayNamed(3));
}

TEST_F(StationJournalTest, LinkChangesAndRelaysFallingSilentAndAnsweringAgain) {
    rig.connect();
    // A round of answers, then relay 2 stops answering for 90 s.
    for (int i = 0; i < 6; ++i) {
        ASSERT_GT(rig.tickUntilSent(), 0);
        rig.answerPlausibly();
    }
    const auto answerAllBut = [this](int silent, int requests) {
        for (int i = 0; i < requests; ++i) {
            ASSERT_GT(rig.tickUntilSent(), 0);
            if (rig.lastRequest().unit != silent) {
                rig.answerPlausibly();
            }
        }
    };
    answerAllBut(2, 12);
    rig.clock.time = rig.clock.time.addSecs(90);
    answerAllBut(0, 6);

    // The peer hangs up; the station connects again by itself 12 s later.
    rig.socket.hangUp();
    rig.clock.time = rig.clock.time.addSecs(12);
    for (int i = 0; i < 40 && !rig.socket.active; ++i) {
        rig.tick();
    }
    ASSERT_TRUE(rig.socket.active);
    rig.socket.connectNow();
    answerAllBut(0, 6);
    rig.core().link.NConnectingClick();

    const std::vector<JournalEntry> link = ofKinds(rig, JournalKinds::ofGroup(JournalGroup::Link));
    std::vector<K> kinds;
    for (const JournalEntry& e : link) {
        kinds.push_back(e.kind);
    }
    EXPECT_EQ(kinds, (std::vector<K>{K::OperatorConnect, K::LinkEstablished, K::RelaySilent,
                                     K::RelayAnswering, K::LinkLost, K::LinkRestored,
                                     K::OperatorDisconnect}));
    ASSERT_EQ(kinds.size(), 7u);
    const QString name = QStringLiteral("Ethernet TCP/IP 127.0.0.1:1502");
    EXPECT_EQ(std::get<LinkDetails>(link[0].details).link, name);
    EXPECT_EQ(link[1].text, QStringLiteral("Связь установлена: ") + name);
    EXPECT_EQ(link[2].relay, relayNamed(2));
    EXPECT_EQ(link[3].relay, relayNamed(2));
    EXPECT_EQ(std::get<SilenceDetails>(link[3].details).silentForMs, 90'000);
    EXPECT_EQ(link[3].text, QStringLiteral("Защита снова отвечает, молчала 1 мин 30 с"));
    EXPECT_EQ(std::get<LinkDetails>(link[4].details).reason,
              QStringLiteral("Произошло отключение от устройства - IP adress: 127.0.0.1  Port: "
                             "1502"));
    EXPECT_EQ(std::get<LinkDetails>(link[5].details).downForMs, 12'000);
    EXPECT_EQ(link[5].text, QStringLiteral("Связь восстановлена через 12 с: ") + name);
    EXPECT_FALSE(link[6].relay);
}

TEST_F(StationJournalTest, EveryWriteEndsInOneRecordThatSaysHowItEnded) {
    rig.connect();
    openWindowOnRelay2();
    model.PageControl1Change(kPageSetpoints);
    const QString panel = QStringLiteral("PanUst8");
    view.texts[panel] = QStringLiteral("500");

    // Echoed.
    type(panel, "450\r");
    untilWriteSent();
    relay.answer(rig, 2);
    // Refused: the relay answers with exception 3.
    view.texts[panel] = QStringLiteral("450");
    type(panel, "460\r");
    untilWriteSent();
    rig.deliver(tcpException(2, 6, 3));
    // Not echoed: no answer at all.
    type(panel, "470\r");
    untilWriteSent();
    ASSERT_GT(rig.tickUntilSent(), 0);
    relay.answer(rig, 2);
    // Typed before the one before it went out: both go, in the order typed.
    type(panel, "480\r");
    type(panel, "490\r");
    untilWriteSent();
    EXPECT_EQ(rig.lastRequest(), (Request{2, 6, 0x0408, 480}));
    relay.answer(rig, 2);
    untilWriteSent();
    EXPECT_EQ(rig.lastRequest(), (Request{2, 6, 0x0408, 490}));
    relay.answer(rig, 2);
    // The clock set from the computer, then read: the relay's clock had stood at 9 March
    // 07:05:00 against the computer's 15 March 12:00:00.
    model.BtnSaveDTSysClick();
    for (int i = 0; i < 30 && view.texts.value(QStringLiteral("LabClockOffset")) !=
                                  QStringLiteral("Расхождение с часами компьютера: 0 с");
         ++i) {
        exchange(1);
    }

    // Typed, and the link closed before its turn: it never went, and the record says why.
    type(panel, "510\r");
    rig.core().link.NConnectingClick();
    rig.tick(3);
    ASSERT_FALSE(rig.station().linkUp);

    const std::vector<JournalEntry> writes = ofKinds(rig, {K::RelayWrite, K::ClockSet});
    ASSERT_EQ(writes.size(), 7u);
    EXPECT_EQ(std::get<WriteDetails>(writes[6].details).outcome, WriteOutcome::NotSent);
    EXPECT_TRUE(writes[6].text.endsWith(QStringLiteral(" → 510, не отправлено: связь отключена")))
        << writes[6].text.toStdString();
    const struct {
        uint16_t written;
        WriteOutcome outcome;
        uint8_t exception;
        QString text;
    } expected[] = {
        {450, WriteOutcome::Echoed, 0,
         QStringLiteral(
             "Запись «Уровень срабатывания защиты на СИГНАЛ, кОм»: 500 → 450, защита подтвердила")},
        {460, WriteOutcome::Refused, 3,
         QStringLiteral(
             "Запись «Уровень срабатывания защиты на СИГНАЛ, кОм»: 450 → 460, защита не приняла: "
             "недопустимое значение (код 3)")},
        {470, WriteOutcome::NoEcho, 0, {}},
        {480, WriteOutcome::Echoed, 0, {}},
        {490, WriteOutcome::Echoed, 0, {}},
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(writes[i].kind, K::RelayWrite);
        EXPECT_EQ(writes[i].relay, relayNamed(2));
        const auto& w = std::get<WriteDetails>(writes[i].details);
        EXPECT_EQ(w.registerNumber, 0x0408);
        // The caption beside the panel, on one line and without its colon.
        EXPECT_EQ(w.caption, QStringLiteral("Уровень срабатывания защиты на СИГНАЛ, кОм"));
        // The register as the window last read it.
        if (i == 0) {
            EXPECT_EQ(w.valueBefore, std::optional<uint16_t>(500));
        }
        EXPECT_TRUE(w.valueBefore);
        EXPECT_EQ(w.valueWritten, expected[i].written);
        EXPECT_EQ(w.outcome, expected[i].outcome);
        EXPECT_EQ(w.exceptionCode, expected[i].exception);
        if (!expected[i].text.isEmpty()) {
            EXPECT_EQ(writes[i].text, expected[i].text);
        }
    }
    const JournalEntry& clock = writes[5];
    EXPECT_EQ(clock.kind, K::ClockSet);
    const auto& c = std::get<ClockDetails>(clock.details);
    // The relay's clock counts whole seconds: it is taken to be in the middle of the one it shows.
    const qint64 offset = QDateTime(QDate(2026, 3, 15), QTime(12, 0))
                              .msecsTo(QDateTime(QDate(2026, 3, 9), QTime(7, 5))) +
                          500;
    EXPECT_EQ(c.offsetMs, offset);
    EXPECT_EQ(c.setTo, QDateTime(QDate(2026, 3, 15), QTime(12, 0)));
    EXPECT_EQ(c.outcome, WriteOutcome::Echoed);
    EXPECT_EQ(clock.text, QStringLiteral("Часы защиты установлены на 15.03.2026 12:00:00, "
                                         "расхождение было −536099 с (6 сут 4 ч)"));

    // The offset was recorded once when first read, and not again at every read; after the set
    // the relay's clock agrees, which is no news. The clock page showed it.
    const std::vector<JournalEntry> offsets = ofKinds(rig, {K::ClockOffset});
    ASSERT_EQ(offsets.size(), 1u);
    EXPECT_EQ(std::get<ClockDetails>(offsets[0].details).offsetMs, offset);
    EXPECT_EQ(view.texts.value(QStringLiteral("LabClockOffset")),
              QStringLiteral("Расхождение с часами компьютера: 0 с"));
}

TEST_F(StationJournalTest, DeviceTableEditsAndTheStationsStartAndStop) {
    MainController& main = rig.core().main;
    main.NAddNewObjectClick();
    main.NEWbmpClick(4);
    main.applyDeviceEdit({QStringLiteral("Г-4; \"С\""), QStringLiteral("Q4"), 14});
    main.NEWbmpClick(2);
    main.NDelObjectClick();
    rig.core().stop();

    const std::vector<JournalEntry> all = onFile(rig);
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].kind, K::StationStarted);
    EXPECT_EQ(all[0].text, QStringLiteral("Станция запущена, версия ") + kVersionText);
    EXPECT_EQ(all[1].kind, K::DeviceAdded);
    EXPECT_EQ(all[1].relay, relayNamed(4));
    EXPECT_EQ(all[2].kind, K::DeviceChanged);
    const auto& change = std::get<DeviceChangeDetails>(all[2].details);
    EXPECT_EQ(change.before, (DeviceNames{4, QStringLiteral("Ген. 4"), QStringLiteral("Выкл 4")}));
    EXPECT_EQ(change.after, (DeviceNames{14, QStringLiteral("Г-4; \"С\""), QStringLiteral("Q4")}));
    EXPECT_EQ(all[2].relay->address, 14);
    EXPECT_EQ(all[3].kind, K::DeviceDeleted);
    EXPECT_EQ(all[3].relay, relayNamed(2));
    EXPECT_EQ(all[3].text, QStringLiteral("Удалён объект: адрес 2, «Ген. 2», «Выкл 2»"));
    EXPECT_EQ(all[4].kind, K::StationStopped);
}

// What the composition root adds beside the poll runs with the station: one added to a running
// station starts at once, every one is told each second, and they stop last first while the
// journal still takes their records; one that left is told nothing more.
TEST_F(StationJournalTest, CompanionsRunWithTheStationAndRecordBeforeItsJournalCloses) {
    struct Companion final : StationCompanion {
        Companion(std::vector<QString>& log, Station& station, int number)
            : log(log), station(station), number(number) {}
        void stationStarted() override { log.push_back(QStringLiteral("start %1").arg(number)); }
        void secondPassed() override { log.push_back(QStringLiteral("second %1").arg(number)); }
        void stationStopping() override {
            log.push_back(QStringLiteral("stop %1").arg(number));
            station.journal.alarmLogCleared(number);
        }
        std::vector<QString>& log;
        Station& station;
        int number;
    };
    std::vector<QString> log;
    StationCore& core = rig.core();
    Companion first(log, rig.station(), 1);
    Companion second(log, rig.station(), 2);
    Companion gone(log, rig.station(), 3);
    core.addCompanion(first);
    core.addCompanion(gone);
    core.addCompanion(second);
    core.addCompanion(first);  // no second place
    core.Timer1Timer();
    core.removeCompanion(gone);
    core.Timer1Timer();
    core.stop();
    core.Timer1Timer();
    EXPECT_EQ(log, (std::vector<QString>{"start 1", "start 3", "start 2", "second 1", "second 3",
                                         "second 2", "second 1", "second 2", "stop 2", "stop 1"}));

    const std::vector<JournalEntry> all = onFile(rig);
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(all[all.size() - 3].kind, K::AlarmLogCleared);
    EXPECT_EQ(all[all.size() - 2].kind, K::AlarmLogCleared);
    EXPECT_EQ(all.back().kind, K::StationStopped);
    core.removeCompanion(first);
    core.removeCompanion(second);
}

// Every good status answer is a reading of the relay's insulation under its address, whichever
// step asked for it; the readings reach journal.db every few seconds and at the stop, and the
// alarm levels whenever the parameter window reads the setpoints.
TEST_F(StationJournalTest, InsulationReadingsAndAlarmLevelsReachTheTrend) {
    rig.connect();
    std::vector<InsulationSample> answered;
    const auto exchangeStatus = [&](int n) {
        for (int i = 0; i < n; ++i) {
            rig.clock.time = rig.clock.time.addMSecs(700);
            ASSERT_GT(rig.tickUntilSent(), 0);
            const Request r = rig.lastRequest();
            if (r.reg == 0x0100) {
                QVector<uint16_t> words = testing::statusBlock(static_cast<uint16_t>(900 + i));
                words[30] = static_cast<uint16_t>(4000 + r.unit);
                rig.answerRead(words);
                answered.push_back({static_cast<uint16_t>(r.unit),
                                    rig.clock.time.toMSecsSinceEpoch(), words[27], words[30]});
            } else {
                relay.answer(rig, 2);
            }
        }
    };
    exchangeStatus(12);
    InsulationTrend& trend = *rig.core().trend();
    const qint64 from = rig.clock.time.addSecs(-600).toMSecsSinceEpoch();
    const qint64 to = rig.clock.time.addSecs(600).toMSecsSinceEpoch();
    // Nothing is written before the flush is due.
    EXPECT_TRUE(trend.read(1, from, to, TrendResolution::Raw).points.empty());
    rig.clock.time = rig.clock.time.addSecs(StationCore::kTrendFlushSeconds);
    rig.core().Timer1Timer();
    EXPECT_EQ(trend.pending(), 0u);

    // The parameter window's own status reads of relay 2 count as well.
    rig.core().main.NEWbmpClick(2);
    rig.core().dispatcher.setParamWindow(&model);
    model.prepareOpen();
    model.FormShow();
    for (int i = 0; i < 20 && rig.poll().InitialRead(); ++i) {
        exchangeStatus(1);
    }
    ASSERT_FALSE(rig.poll().InitialRead());
    model.PageControl1Change(kPageSetpoints);
    exchangeStatus(12);
    EXPECT_EQ(trend.levels(2), (AlarmLevels{trend.levels(2)->readAtMs, 500, 250}));
    rig.core().stop();

    for (uint16_t address : {uint16_t{1}, uint16_t{2}, uint16_t{3}}) {
        SCOPED_TRACE(address);
        RecordingMessageSink sink;
        Journal reader(rig.folder.dir(), rig.clock, sink,
                       JournalOptions{QStringLiteral("journal.db"), 0});
        ASSERT_TRUE(reader.open());
        InsulationTrend stored(reader);
        const TrendSeries series = stored.read(address, from, to, TrendResolution::Raw);
        std::vector<std::pair<qint64, double>> expected;
        for (const InsulationSample& a : answered) {
            if (a.address == address) {
                expected.emplace_back(a.timeMs, a.insulationKohm);
            }
        }
        std::vector<std::pair<qint64, double>> got;
        for (const TrendPoint& p : series.points) {
            got.emplace_back(p.timeMs, p.mean);
            EXPECT_EQ(p.controlMean, 4000 + address);
        }
        EXPECT_EQ(got, expected);
        EXPECT_FALSE(expected.empty());
    }
}

TEST(StationJournalTexts, DurationsAndClockOffsetsAsTheLinesGiveThem) {
    const struct {
        qint64 ms;
        const char* duration;
        const char* offset;
    } cases[] = {
        {0, "0 с", "0 с"},
        {499, "0 с", "0 с"},
        {-500, "0 с", "0 с"},
        {501, "1 с", "+1 с"},
        {-1'499, "0 с", "−1 с"},
        {59'400, "59 с", "+59 с"},
        {75'000, "1 мин 15 с", "+75 с (1 мин 15 с)"},
        {-398'000, "0 с", "−398 с (6 мин 38 с)"},
        {3'600'000, "1 ч 00 мин", "+3600 с (1 ч 00 мин)"},
        {90'061'000, "1 сут 1 ч", "+90061 с (1 сут 1 ч)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ms);
        EXPECT_EQ(journalDurationText(c.ms), QString::fromUtf8(c.duration));
        EXPECT_EQ(clockOffsetText(c.ms), QString::fromUtf8(c.offset));
    }
}

// A journal that cannot be opened is told once, after the stored files, and the station monitors
// as if it had none.
TEST(StationJournalFailure, JournalThatCannotBeOpenedIsToldOnceAndMonitoringGoesOn) {
    Rig rig{2, kLinkTcp, {}, JournalOptions{QStringLiteral("missing/journal.db"), 60}};
    ASSERT_EQ(rig.messages.texts().size(), 1);
    EXPECT_TRUE(rig.messages.texts()[0].contains(QStringLiteral("journal.db")))
        << rig.messages.texts()[0].toStdString();
    rig.connect();
    for (int i = 0; i < 8; ++i) {
        ASSERT_GT(rig.tickUntilSent(), 0);
        rig.answerPlausibly(777);
    }
    rig.core().link.NConnectingClick();
    EXPECT_EQ(rig.station().devices.entry(2).GoodAnswers, 4u);
    EXPECT_EQ(rig.messages.texts().size(), 1);
    EXPECT_FALSE(QFile::exists(rig.folder.path(QStringLiteral("missing"))));
}

// Thousands of random steps of a hostile line: answers, silences, refusals, hang-ups, the
// operator's clicks and writes. Whatever happens, the records keep their order: a relay's silence
// and its end alternate and the end gives the time between them, a loss and a restoration
// alternate, the link is not "established" twice without the operator's connect between, and each
// write asked for ends in exactly one record.
TEST(StationJournalRandom, RecordsKeepTheirOrderWhateverTheLineDoes) {
    const QByteArray fixed = qgetenv("TERVAL_JOURNAL_SEED");
    const unsigned seed = fixed.isEmpty() ? std::random_device{}() : fixed.toUInt();
    SCOPED_TRACE(::testing::Message() << "replay with TERVAL_JOURNAL_SEED=" << seed);
    std::mt19937 random(seed);
    const auto chance = [&random](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(random) < percent;
    };
    RecordingParamView view;
    Rig rig{3, kLinkTcp, {}, JournalOptions{}};
    ParamWindowModel& model = attachedRules(rig, view);
    rig.core().dispatcher.setParamWindow(&model);
    rig.core().main.NEWbmpClick(2);
    rig.connect();
    int writesAsked = 0;
    for (int step = 0; step < 20000; ++step) {
        rig.clock.time = rig.clock.time.addMSecs(100);
        if (chance(1)) {
            rig.socket.hangUp();
        }
        if (chance(1)) {
            rig.core().link.NConnectingClick();
            if (rig.socket.active && !rig.socket.connected && chance(70)) {
                rig.socket.connectNow();
            }
        }
        if (rig.socket.active && !rig.socket.connected && chance(30)) {
            rig.socket.connectNow();
        }
        if (chance(2) && rig.station().linkUp) {
            if (!rig.poll().ParamWindowOpen()) {
                model.prepareOpen();
                model.FormShow();
                model.PageControl1Change(kPageSetpoints);
            }
            const uint16_t value = static_cast<uint16_t>(step);
            rig.scheduler().queueWrite(0x0408, &value, 1);
            ++writesAsked;
        }
        const int before = rig.sentCount();
        rig.tick();
        if (rig.sentCount() > before && rig.socket.connected) {
            const Request r = rig.lastRequest();
            const bool silentRelay = r.unit == 3 && (step / 400) % 2 == 1;
            if (silentRelay || chance(5)) {
                continue;
            }
            if (chance(3)) {
                rig.deliver(tcpException(static_cast<uint8_t>(r.unit),
                                         static_cast<uint8_t>(r.function), 4));
            } else {
                rig.answerPlausibly();
            }
        }
    }
    rig.core().stop();

    const std::vector<JournalEntry> all = onFile(rig);
    std::map<int, qint64> silentSince;
    bool wanted = false;
    bool lost = false;
    bool established = false;
    int writeRecords = 0;
    const JournalEntry* previous = nullptr;
    for (const JournalEntry& e : all) {
        SCOPED_TRACE(e.text.toStdString());
        const int relay = e.relay ? e.relay->number : 0;
        switch (e.kind) {
            case K::RelaySilent:
                ASSERT_TRUE(wanted);
                // A relay that refused a value has answered: no silence comes of the refusal.
                if (previous != nullptr && previous->kind == K::RelayWrite &&
                    previous->timeMs == e.timeMs && previous->relay &&
                    previous->relay->number == relay) {
                    EXPECT_NE(std::get<WriteDetails>(previous->details).outcome,
                              WriteOutcome::Refused);
                }
                ASSERT_FALSE(silentSince.count(relay));
                silentSince[relay] = e.timeMs;
                break;
            case K::RelayAnswering:
                ASSERT_TRUE(silentSince.count(relay));
                EXPECT_EQ(std::get<SilenceDetails>(e.details).silentForMs,
                          e.timeMs - silentSince[relay]);
                silentSince.erase(relay);
                break;
            case K::OperatorConnect:
                established = lost = false;
                wanted = true;
                break;
            case K::OperatorDisconnect:
                established = lost = wanted = false;
                silentSince.clear();
                break;
            case K::LinkEstablished:
                // Never after the operator's "Отключиться" without his "Установить связь".
                ASSERT_TRUE(wanted);
                ASSERT_FALSE(established);
                ASSERT_FALSE(lost);
                established = true;
                break;
            case K::LinkLost:
                ASSERT_FALSE(lost);
                lost = true;
                silentSince.clear();
                break;
            case K::LinkRestored:
                ASSERT_TRUE(wanted);
                ASSERT_TRUE(lost);
                lost = false;
                break;
            case K::RelayWrite: {
                ++writeRecords;
                // A write that never went out says why.
                const WriteOutcome outcome = std::get<WriteDetails>(e.details).outcome;
                if (outcome == WriteOutcome::NotSent) {
                    EXPECT_TRUE(e.text.contains(QStringLiteral("не отправлено: ")));
                }
                break;
            }
            default:
                break;
        }
        previous = &e;
    }
    EXPECT_EQ(writeRecords, writesAsked);
    // The line was hostile enough for the run to mean something.
    std::map<K, int> perKind;
    for (const JournalEntry& e : all) {
        ++perKind[e.kind];
    }
    for (K k : {K::RelaySilent, K::RelayAnswering, K::LinkLost, K::LinkRestored, K::RelayWrite}) {
        EXPECT_GT(perKind[k], 0) << static_cast<int>(k);
    }
    EXPECT_EQ(all.back().kind, K::StationStopped);
}

// What follows the station beside its journal. A feed that leaves from inside its own call is told
// nothing more, one that joins there is told from the next record on, one recorded there comes
// after the record being told, and every feed sees records and readings interleaved in the one
// order, the journal's file included.
TEST_F(StationJournalTest, EveryFeedOfTheRecordStreamSeesItInTheOrderRecorded) {
    struct Log final : RecordFeed {
        std::vector<QString> seen;
        std::function<void()> onRecord;
        void recorded(const JournalEntry& e) override {
            seen.push_back(QString::number(static_cast<int>(e.kind)) + QLatin1Char(' ') + e.text);
            if (onRecord) {
                onRecord();
            }
        }
        void statusRead(int relay, const StatusReading& r) override {
            seen.push_back(QStringLiteral("reading %1: %2/%3")
                               .arg(relay)
                               .arg(r.insulationKohm)
                               .arg(r.controlKohm));
        }
    };
    RecordStream& stream = rig.station().journal.records();
    Log all;
    Log leaving;
    Log joining;
    stream.addFeed(&all);
    stream.addFeed(&leaving);
    stream.addFeed(&all);  // no second place
    const size_t onFileBefore = onFile(rig).size();
    int recordsLeft = 3;
    leaving.onRecord = [&] {
        if (--recordsLeft == 0) {
            stream.removeFeed(&leaving);
            stream.addFeed(&joining);
            // Recorded from inside a feed: told to everyone after the record being told.
            rig.station().journal.alarmLogCleared(77);
        }
    };
    rig.connect();
    for (int i = 0; i < 12; ++i) {
        ASSERT_GT(rig.tickUntilSent(), 0);
        rig.answerPlausibly(static_cast<uint16_t>(1000 + i));
        if (i % 3 == 2) {
            rig.station().journal.alarmLogCleared(i);
        }
    }
    stream.removeFeed(&all);
    stream.removeFeed(&joining);
    rig.station().journal.alarmLogCleared(99);

    // The leaving feed saw a beginning, the joining one the rest after the record that swapped
    // them, and the whole is what the first feed saw.
    ASSERT_FALSE(joining.seen.empty());
    EXPECT_TRUE(joining.seen.front().endsWith(QStringLiteral(": 77")))
        << joining.seen.front().toStdString();
    std::vector<QString> halves = leaving.seen;
    const auto swap = std::find(all.seen.begin() + static_cast<std::ptrdiff_t>(halves.size()),
                                all.seen.end(), joining.seen.front());
    ASSERT_NE(swap, all.seen.end());
    EXPECT_EQ(std::vector<QString>(all.seen.begin(),
                                   all.seen.begin() + static_cast<std::ptrdiff_t>(halves.size())),
              halves);
    halves.insert(halves.end(), all.seen.begin() + static_cast<std::ptrdiff_t>(halves.size()),
                  swap);
    halves.insert(halves.end(), joining.seen.begin(), joining.seen.end());
    EXPECT_EQ(halves, all.seen);
    EXPECT_EQ(
        std::count_if(leaving.seen.begin(), leaving.seen.end(),
                      [](const QString& s) { return !s.startsWith(QStringLiteral("reading")); }),
        3);

    // Readings came between the records, and the records are the journal's own, in its order.
    std::vector<QString> records;
    for (const QString& s : all.seen) {
        if (!s.startsWith(QStringLiteral("reading"))) {
            records.push_back(s);
        }
    }
    EXPECT_GT(all.seen.size(), records.size());
    std::vector<QString> kept;
    const std::vector<JournalEntry> file = onFile(rig);
    for (size_t i = onFileBefore; i < file.size(); ++i) {
        kept.push_back(QString::number(static_cast<int>(file[i].kind)) + QLatin1Char(' ') +
                       file[i].text);
    }
    ASSERT_GT(kept.size(), records.size());
    kept.resize(records.size());  // the last came after the feeds left
    EXPECT_EQ(records, kept);
}

}  // namespace
}  // namespace terval
