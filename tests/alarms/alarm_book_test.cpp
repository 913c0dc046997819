#include "alarms/alarm_book.h"

#include <gtest/gtest.h>
#include <QRandomGenerator>
#include <algorithm>
#include <map>
#include <set>

#include "alarms/alarm_transition.h"
#include "alarms/recording_sound.h"
#include "support/rig.h"

namespace terval {
namespace {

using testing::mbapFrame;
using testing::RecordingSound;
using testing::Request;
using testing::Rig;
using testing::statusBlock;
using testing::tripRecord;

constexpr int kNewestProtocol = 0x1000;

// What the station records, as it goes by on the record stream.
class RecordLog final : public RecordFeed {
  public:
    void recorded(const JournalEntry& entry) override { entries.push_back(entry); }
    void statusRead(int, const StatusReading&) override {}
    std::vector<AlarmDetails> alarmRecords() const {
        std::vector<AlarmDetails> found;
        for (const JournalEntry& e : entries) {
            if (const auto* d = std::get_if<AlarmDetails>(&e.details)) {
                found.push_back(*d);
            }
        }
        return found;
    }
    std::vector<JournalEntry> entries;
};

// Polls relay `relay` through its newest protocol, answering with `record` and everything else
// plausibly.
void pollWithProtocol(Rig& rig, int relay, const QVector<uint16_t>& record) {
    for (int i = 0; i < 12; ++i) {
        ASSERT_GT(rig.tickUntilSent(40), 0) << "nothing was sent";
        const Request r = rig.lastRequest();
        if (r.unit == relay && r.reg == kNewestProtocol) {
            rig.answerRead(record);
            return;
        }
        rig.answerPlausibly();
    }
    FAIL() << "relay " << relay << " was not polled";
}

// A Modbus exception in place of the answer to the request in flight.
void answerException(Rig& rig, uint8_t code) {
    const Request r = rig.lastRequest();
    QByteArray pdu;
    pdu.append(static_cast<char>(r.unit));
    pdu.append(static_cast<char>(r.function | 0x80));
    pdu.append(static_cast<char>(code));
    rig.deliver(mbapFrame(pdu, rig.lastTransaction()));
}

// The gateway's connection made again after a loss: the link's own retry, then the connection.
void reconnect(Rig& rig) {
    for (int i = 0; i < 400 && !rig.socket.active; ++i) {
        rig.tick();
    }
    ASSERT_TRUE(rig.socket.active);
    rig.socket.connectNow();
}

JournalOptions journalKept() {
    return JournalOptions{};
}

// The mend of the lost event: a relay whose protection event nobody has looked at shows it
// again, not "НОРМА", whenever it answers: after the link dropped and came back, after the
// gateway's exception replies, after a restart of the station. Green only once seen.
TEST(UnacknowledgedEvent, StaysOnTheTileThroughLinkLossExceptionsAndRestartUntilSeen) {
    RecordingSound sound;  // outlives the station, which holds it
    Rig rig(2, kLinkTcp, {}, journalKept());
    rig.core().alarms.setSound(&sound);
    rig.connect();
    const QVector<uint16_t> trip = tripRecord(3, 9, 7, 5, 54, 1);
    pollWithProtocol(rig, 1, trip);
    ASSERT_EQ(rig.station().tile(1).state, kTileEvent);
    const QString id = QStringLiteral("protection_event_1");
    auto event = rig.core().alarms.find(id);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->state, AlarmState::ActiveUnacknowledged);
    EXPECT_EQ(event->text, rig.view.alarmLines.first());
    EXPECT_TRUE(sound.repeating);
    EXPECT_EQ(rig.core().alarms.unacknowledgedCount(), 1);
    EXPECT_TRUE(rig.core().alarms.eventWaiting(1));

    // The gateway hangs up: grey while it is away, red again when the relay answers.
    rig.socket.hangUp();
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    EXPECT_EQ(rig.core().alarms.find(QStringLiteral("link_lost"))->state,
              AlarmState::ActiveUnacknowledged);
    reconnect(rig);
    pollWithProtocol(rig, 1, trip);
    EXPECT_EQ(rig.station().tile(1).state, kTileEvent);
    EXPECT_EQ(rig.view.tiles.at(1).state, kTileEvent);
    EXPECT_EQ(rig.core().alarms.find(QStringLiteral("link_lost"))->state,
              AlarmState::ReturnedUnacknowledged);

    // The gateway says the relay is silent: grey, and a "no answer" alarm; then it answers.
    for (int i = 0; i < 12 && rig.station().tile(1).state != kTileNoAnswer; ++i) {
        ASSERT_GT(rig.tickUntilSent(40), 0);
        if (rig.lastRequest().unit == 1) {
            answerException(rig, 0x0B);
        } else {
            rig.answerPlausibly();
        }
    }
    ASSERT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    EXPECT_EQ(rig.core().alarms.find(QStringLiteral("no_answer_1"))->state,
              AlarmState::ActiveUnacknowledged);
    pollWithProtocol(rig, 1, trip);
    EXPECT_EQ(rig.station().tile(1).state, kTileEvent);
    EXPECT_EQ(rig.core().alarms.find(QStringLiteral("no_answer_1"))->state,
              AlarmState::ReturnedUnacknowledged);

    // The station closed and started again: the event waits still, grey until the relay answers.
    rig.restart();
    rig.core().alarms.setSound(&sound);
    EXPECT_TRUE(rig.station().tile(1).eventWaiting);
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    event = rig.core().alarms.find(id);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->state, AlarmState::ActiveUnacknowledged);
    EXPECT_TRUE(sound.repeating);
    rig.connect();
    pollWithProtocol(rig, 1, trip);
    EXPECT_EQ(rig.station().tile(1).state, kTileEvent);
    EXPECT_EQ(rig.view.alarmLines.size(), 1);  // the same event is not news

    // The operator views the relay's last protocol page: seen, green, and the sound stops once
    // the link's loss, restored with it, is acknowledged too.
    EXPECT_TRUE(rig.core().alarms.acknowledge(QStringLiteral("link_lost")));
    EXPECT_TRUE(sound.repeating);
    rig.core().main.NEWbmpClick(1);
    rig.core().paramWindow.PageControl1Change(kPageInsulationProtocols);
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);
    EXPECT_FALSE(rig.station().tile(1).eventWaiting);
    EXPECT_EQ(rig.core().alarms.find(id)->state, AlarmState::Normal);
    EXPECT_FALSE(sound.repeating);
    pollWithProtocol(rig, 1, trip);
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);

    // Every step of the event's alarm is in the journal, in order.
    JournalFilter filter;
    filter.kinds = JournalKinds{JournalKind::AlarmChanged};
    const JournalRows rows = rig.core().journal()->read(filter, 1000);
    ASSERT_TRUE(rows.error.isEmpty()) << rows.error.toStdString();
    std::vector<AlarmChange> steps;
    for (auto it = rows.entries.rbegin(); it != rows.entries.rend(); ++it) {
        const auto& d = std::get<AlarmDetails>(it->details);
        if (alarmId(d.alarm) == id) {
            steps.push_back(d.change);
        }
    }
    EXPECT_EQ(steps,
              (std::vector{AlarmChange::Raised, AlarmChange::Restored, AlarmChange::Acknowledged}));
    EXPECT_TRUE(rows.entries.front().text.startsWith(QStringLiteral("Аварийный сигнал: ")))
        << rows.entries.front().text.toStdString();
}

// The serial converter pulled out and plugged in again: one link alarm, and the event red again.
TEST(UnacknowledgedEvent, StaysOnTheTileWhenTheSerialDeviceComesBack) {
    Rig rig(2, kLinkRs485, {}, journalKept());
    rig.connect();
    const QVector<uint16_t> trip = tripRecord(3, 9, 7, 5, 54, 4);
    pollWithProtocol(rig, 2, trip);
    ASSERT_EQ(rig.station().tile(2).state, kTileEvent);
    pollWithProtocol(rig, 1, QVector<uint16_t>(32, 0));  // an erased slot: no event
    rig.serial.lose();
    EXPECT_EQ(rig.station().tile(2).state, kTileNoAnswer);
    const auto link = rig.core().alarms.find(QStringLiteral("link_lost"));
    ASSERT_TRUE(link);
    EXPECT_EQ(link->state, AlarmState::ActiveUnacknowledged);
    EXPECT_EQ(rig.core().alarms.unacknowledgedCount(), 2);
    rig.serial.canOpen = true;
    for (int i = 0; i < 2000 && !rig.serial.opened; ++i) {
        rig.tick();
    }
    ASSERT_TRUE(rig.serial.opened);
    pollWithProtocol(rig, 1, QVector<uint16_t>(32, 0));  // an erased slot: no event
    pollWithProtocol(rig, 2, trip);
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);
    EXPECT_EQ(rig.station().tile(2).state, kTileEvent);
    EXPECT_EQ(rig.core().alarms.find(QStringLiteral("link_lost"))->state,
              AlarmState::ReturnedUnacknowledged);
    // "Квитировать" in the alarm window is as good as the page: green, and no second record of
    // the page's kind.
    EXPECT_TRUE(rig.core().alarms.acknowledge(QStringLiteral("protection_event_2")));
    EXPECT_EQ(rig.station().tile(2).state, kTileAnswering);
    EXPECT_FALSE(rig.station().tile(2).eventWaiting);
    pollWithProtocol(rig, 2, trip);
    EXPECT_EQ(rig.station().tile(2).state, kTileAnswering);
}

// Status word 19's bits and a relay's texts; the flood counts what is annunciated.
TEST(AlarmBookStatus, BitsRaiseAndReturnAndManyRaisesAreAFlood) {
    RecordingSound sound;
    Rig rig(1);
    AlarmBook& book = rig.core().alarms;
    book.setSound(&sound);
    rig.connect();
    auto answerStatus = [&rig](uint16_t word) {
        for (int i = 0; i < 6; ++i) {
            ASSERT_GT(rig.tickUntilSent(40), 0);
            if (rig.lastRequest().reg == 0x0100 && rig.lastRequest().countOrValue == 48) {
                QVector<uint16_t> words = statusBlock(1000);
                words[19] = word;
                rig.answerRead(words);
                return;
            }
            rig.answerPlausibly();
        }
        FAIL() << "no status read";
    };
    answerStatus(0x0001);
    const auto signal = book.find(QStringLiteral("signal_relay_1"));
    ASSERT_TRUE(signal);
    EXPECT_EQ(signal->text, rig.relay(1).GeneratorName + QStringLiteral(": СИГНАЛЬНОЕ реле"));
    ASSERT_FALSE(sound.plays.empty());
    EXPECT_EQ(sound.plays.back(), std::pair(AlarmPriority::Medium, false));
    EXPECT_FALSE(sound.repeating);
    answerStatus(0x0012);
    EXPECT_EQ(book.find(QStringLiteral("signal_relay_1"))->state,
              AlarmState::ReturnedUnacknowledged);
    EXPECT_EQ(book.find(QStringLiteral("trip_relay_1"))->state, AlarmState::ActiveUnacknowledged);
    EXPECT_EQ(book.find(QStringLiteral("circuit_break_1"))->state,
              AlarmState::ActiveUnacknowledged);
    EXPECT_TRUE(sound.repeating);
    const std::vector<Alarm> shown = book.shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].kind, AlarmKind::TripRelay);  // high first
    EXPECT_EQ(book.acknowledgeAll({QStringLiteral("trip_relay_1"), QStringLiteral("signal_relay_1"),
                                   QStringLiteral("nothing")}),
              2);
    EXPECT_FALSE(sound.repeating);
    EXPECT_EQ(book.unacknowledgedCount(), 1);

    // The trip relay's bit chattering: three raised so far, one more each time it comes back;
    // the eleventh within ten minutes is a flood, which ends as they age.
    for (int raised = 3; raised < 10; ++raised) {
        answerStatus(0x0000);
        answerStatus(0x0002);
    }
    EXPECT_FALSE(book.flood());
    answerStatus(0x0000);
    answerStatus(0x0002);
    EXPECT_TRUE(book.flood());
    rig.clock.time = rig.clock.time.addSecs(AlarmBook::kFloodWindowSeconds);
    rig.core().Timer1Timer();
    EXPECT_FALSE(book.flood());
}

// A relay deleted while its status request is in flight lends its bits to no other relay.
TEST(AlarmBookStatus, AnAnswerOfADeletedRelayRaisesNothing) {
    Rig rig(3);
    rig.connect();
    for (int i = 0; i < 12; ++i) {
        ASSERT_GT(rig.tickUntilSent(40), 0);
        const Request r = rig.lastRequest();
        if (r.unit == 2 && r.reg == 0x0100) {
            break;
        }
        rig.answerPlausibly();
    }
    ASSERT_EQ(rig.lastRequest().unit, 2);
    rig.core().main.NEWbmpClick(2);
    rig.core().main.NDelObjectClick();
    ASSERT_EQ(rig.station().devices.DeviceCount, 2);
    QVector<uint16_t> words = statusBlock(1000);
    words[19] = 0x0013;
    rig.answerRead(words);
    EXPECT_TRUE(rig.core().alarms.standing().empty());
}

// ---- the randomised run ----

struct Model {
    std::map<QString, AlarmStatus> recorded;  // as the last record of each alarm says
    bool silenced = false;
};

class RandomRun {
  public:
    explicit RandomRun(quint32 seed) : random(seed), rig(5, kLinkTcp, {}, JournalOptions{}) {
        join();
    }

    void join() {
        rig.core().alarms.setSound(&sound);
        rig.core().alarms.setUser(QStringLiteral("ivanov"));
        rig.station().journal.records().addFeed(&log);
    }

    AlarmBook& book() { return rig.core().alarms; }
    int pick(int n) { return static_cast<int>(random.bounded(static_cast<quint32>(n))); }

    QString anyId() {
        const std::vector<Alarm> all = book().standing();
        const std::vector<Alarm> rows = all.empty() ? book().shown() : all;
        if (rows.empty()) {
            return QStringLiteral("link_lost");
        }
        return alarmId(rows[static_cast<size_t>(pick(static_cast<int>(rows.size())))]);
    }

    void pollOnce() {
        if (rig.tickUntilSent(30) < 0) {
            if (rig.socket.active && !rig.socket.connected) {
                rig.socket.connectNow();
            }
            return;
        }
        const Request r = rig.lastRequest();
        const int way = pick(20);
        if (way == 0) {
            rig.tick(8);  // no answer: the request times out
            return;
        }
        if (way == 1) {
            answerException(rig, static_cast<uint8_t>(pick(2) == 0 ? 0x0B : 0x02));
            return;
        }
        if (r.reg == 0x0100 && r.countOrValue == 48) {
            QVector<uint16_t> words = statusBlock(static_cast<uint16_t>(100 + pick(900)));
            words[19] = static_cast<uint16_t>(random.bounded(32u));
            rig.answerRead(words);
        } else if (r.reg == kNewestProtocol && pick(6) == 0) {
            // A newer event than any before it from this relay.
            const int seq = ++eventSeq[r.unit];
            const QDateTime at = QDateTime(QDate(2026, 1, 1), QTime(0, 0)).addSecs(seq * 61);
            rig.answerRead(tripRecord(at.date().month(), at.date().day(), at.time().hour(),
                                      at.time().minute(), at.time().second(),
                                      static_cast<uint16_t>(pick(5))));
        } else {
            rig.answerPlausibly();
        }
    }

    void step() {
        const int what = pick(100);
        if (what < 55) {
            pollOnce();
        } else if (what < 60) {
            book().silence();
            model.silenced = true;
        } else if (what < 66) {
            book().acknowledge(anyId());
        } else if (what < 68) {
            std::vector<QString> ids;
            for (const Alarm& a : book().shown()) {
                ids.push_back(alarmId(a));
            }
            book().acknowledgeAll(ids);
        } else if (what < 72) {
            const int n = 1 + pick(std::max(1, rig.station().devices.DeviceCount));
            if (n <= rig.station().devices.DeviceCount) {
                rig.core().main.NEWbmpClick(n);
                rig.core().paramWindow.PageControl1Change(kPageInsulationProtocols);
            }
        } else if (what < 77) {
            static const int hours[] = {1, 2, 4, 8};
            book().shelve(anyId(), hours[pick(4)],
                          pick(5) == 0 ? QString() : QStringLiteral("наладка"));
        } else if (what < 79) {
            book().unshelve(anyId());
        } else if (what < 87) {
            rig.clock.time = rig.clock.time.addSecs(1 + pick(pick(4) == 0 ? 4 * 3600 : 120));
            rig.core().Timer1Timer();
        } else if (what < 91) {
            if (rig.socket.connected) {
                rig.socket.hangUp();
            }
        } else if (what < 95) {
            if (rig.station().linkUp) {
                rig.core().link.NConnectingClick();  // "Отключиться"
            } else if (rig.station().devices.DeviceCount > 0) {
                rig.connect();
            }
        } else if (what < 96 && rig.station().devices.DeviceCount > 2) {
            rig.core().main.NEWbmpClick(1 + pick(rig.station().devices.DeviceCount));
            rig.core().main.NDelObjectClick();
        } else if (what < 97) {
            restart();
        } else {
            pollOnce();
        }
    }

    void restart() {
        rig.core().stop();
        check("stop");
        const std::vector<Alarm> before = book().standing();
        rig.station().journal.records().removeFeed(&log);
        sound.repeating = false;
        log.entries.clear();
        rig.restart();
        model.silenced = false;
        join();
        std::vector<Alarm> after = book().standing();
        ASSERT_EQ(after.size(), before.size()) << "the standing alarms come back whole";
        for (const Alarm& a : before) {
            const auto restored = book().find(alarmId(a));
            ASSERT_TRUE(restored) << alarmId(a).toStdString();
            Alarm expected = a;
            // Under no link alarm nothing stays suppressed.
            expected.suppressed = restored->suppressed;
            EXPECT_EQ(*restored, expected) << alarmId(a).toStdString();
        }
        // The records of the restore went by before the log joined: start the model from here.
        model.recorded.clear();
        for (const Alarm& a : book().standing()) {
            model.recorded[alarmId(a)] = AlarmStatus{a.state, a.shelved(), a.suppressed};
        }
    }

    void check(const char* what) {
        SCOPED_TRACE(what);
        const std::vector<Alarm> all = book().standing();
        // Every record is a move the rules allow from the one before it, and the last of each
        // alarm is the alarm as it stands.
        std::map<QString, AlarmDetails> last;
        for (const AlarmDetails& d : log.alarmRecords()) {
            const QString id = alarmId(d.alarm);
            const AlarmStatus now{d.alarm.state, d.alarm.shelved(), d.alarm.suppressed};
            const AlarmStatus before =
                model.recorded.count(id) ? model.recorded[id] : AlarmStatus{};
            if (d.change != AlarmChange::Removed && d.change != AlarmChange::Restored) {
                bool allowed = false;
                for (int i = 0; i <= static_cast<int>(AlarmInput::Restore); ++i) {
                    const auto input = static_cast<AlarmInput>(i);
                    if (alarmChangeOf(input) != d.change) {
                        continue;
                    }
                    auto to = alarmTransition(before, input, d.alarm.kind);
                    // A relay's silence raised under the link alarm is suppressed as it comes.
                    if (to && d.change == AlarmChange::Raised) {
                        to->suppressed = now.suppressed;
                    }
                    allowed = to == now;
                }
                EXPECT_TRUE(allowed)
                    << id.toStdString() << " " << alarmChangeName(d.change).toStdString()
                    << " from " << alarmStateName(before.state).toStdString();
            }
            if (d.change == AlarmChange::Removed) {
                EXPECT_EQ(d.alarm.state, AlarmState::Normal);
                model.recorded.erase(id);
            } else {
                model.recorded[id] = now;
            }
            // A new sounding alarm, or one called again, ends the silence.
            if (d.alarm.annunciated() && d.alarm.unacknowledged() &&
                alarmPriority(d.alarm.kind) != AlarmPriority::Low &&
                (d.change == AlarmChange::Raised || d.change == AlarmChange::Unshelved ||
                 d.change == AlarmChange::Unsuppressed)) {
                model.silenced = false;
            }
            EXPECT_FALSE(d.alarm.kind == AlarmKind::ProtectionEvent && d.alarm.shelved());
            seenChanges.insert(d.change);
            seenKinds.insert(d.alarm.kind);
            last[id] = d;
        }
        log.entries.clear();
        for (const auto& [id, d] : last) {
            const auto now = book().find(id);
            if (d.change == AlarmChange::Removed) {
                EXPECT_FALSE(now) << id.toStdString();
            } else {
                ASSERT_TRUE(now) << id.toStdString();
                EXPECT_EQ(*now, d.alarm) << id.toStdString() << " is as its last record says";
            }
        }
        // Nothing stands that its records do not account for.
        for (const Alarm& a : all) {
            const auto it = model.recorded.find(alarmId(a));
            ASSERT_NE(it, model.recorded.end()) << alarmId(a).toStdString();
            EXPECT_EQ(it->second, (AlarmStatus{a.state, a.shelved(), a.suppressed}))
                << alarmId(a).toStdString();
        }

        int waiting = 0;
        bool highWaits = false;
        bool linkActive = false;
        for (const Alarm& a : all) {
            EXPECT_FALSE(a.kind == AlarmKind::ProtectionEvent && a.shelved());
            if (a.annunciated() && a.unacknowledged()) {
                ++waiting;
                highWaits |= alarmPriority(a.kind) == AlarmPriority::High;
            }
            linkActive |= a.kind == AlarmKind::LinkLost && a.active();
        }
        EXPECT_EQ(book().unacknowledgedCount(), waiting);
        EXPECT_EQ(sound.repeating, highWaits && !model.silenced)
            << "high waiting " << highWaits << ", silenced " << model.silenced;
        if (linkActive) {
            for (const Alarm& a : book().shown()) {
                EXPECT_NE(a.kind, AlarmKind::NoAnswer) << "annunciated under the link alarm";
            }
        }
        for (int n = 1; n <= rig.station().devices.DeviceCount; ++n) {
            const TileModel& tile = rig.station().tile(n);
            EXPECT_EQ(tile.eventWaiting, book().eventWaiting(n)) << "tile " << n;
            if (book().eventWaiting(n)) {
                EXPECT_NE(tile.state, kTileAnswering) << "tile " << n << " green with an event";
            }
        }
    }

    QRandomGenerator random;
    // Before the station, which tells them to its last moment.
    RecordingSound sound;
    RecordLog log;
    Model model;
    std::map<int, int> eventSeq;
    std::set<AlarmChange> seenChanges;
    std::set<AlarmKind> seenKinds;
    Rig rig;
};

TEST(AlarmBookRandom, InvariantsHoldOverThousandsOfSteps) {
    quint32 seed = QRandomGenerator::global()->generate();
    if (const QByteArray fixed = qgetenv("TERVAL_ALARM_SEED"); !fixed.isEmpty()) {
        seed = fixed.toUInt();
    }
    SCOPED_TRACE(::testing::Message() << "TERVAL_ALARM_SEED=" << seed);
    RandomRun run(seed);
    run.rig.connect();
    for (int i = 0; i < 4000; ++i) {
        run.step();
        run.check("step");
        if (::testing::Test::HasFailure()) {
            FAIL() << "at step " << i << " with TERVAL_ALARM_SEED=" << seed;
        }
    }
    // The run went through what it is meant to: every kind, and every move but a restore (whose
    // records go by before the log joins again).
    EXPECT_EQ(run.seenKinds.size(), 6u);
    for (AlarmChange c : {AlarmChange::Raised, AlarmChange::Returned, AlarmChange::Acknowledged,
                          AlarmChange::Shelved, AlarmChange::Unshelved, AlarmChange::Suppressed,
                          AlarmChange::Unsuppressed, AlarmChange::Removed}) {
        EXPECT_TRUE(run.seenChanges.count(c)) << alarmChangeName(c).toStdString();
    }
}

}  // namespace
}  // namespace terval
