// The station's alarms against relay-sim over TCP, in real time: what each condition raises, how
// the operator's answers move it, what the journal keeps, and a gateway outage as one alarm.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "alarms/alarm_book.h"
#include "station_harness.h"

namespace terval {
namespace {

using testing::SimulatedLine;
using testing::StationHarness;

// Every alarm transition as the record stream tells it.
class AlarmRecords final : public RecordFeed {
  public:
    void recorded(const JournalEntry& entry) override {
        if (const auto* d = std::get_if<AlarmDetails>(&entry.details)) {
            seen.push_back(*d);
        }
    }
    void statusRead(int, const StatusReading&) override {}
    // Raises that were annunciated, from the `from`-th record on.
    int annunciatedRaises(size_t from = 0) const {
        int n = 0;
        for (size_t i = from; i < seen.size(); ++i) {
            n += seen[i].change == AlarmChange::Raised && seen[i].alarm.annunciated();
        }
        return n;
    }
    std::vector<AlarmDetails> seen;
};

class AlarmsEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override {
        station.journal = JournalOptions{};
        ASSERT_TRUE(line.start(kLinkTcp, QStringLiteral("1-3"))) << qPrintable(line.errors());
        line.connectStation({1, 2, 3});
        station.core().station.journal.records().addFeed(&records);
    }
    void TearDown() override { station.core().station.journal.records().removeFeed(&records); }

    std::optional<AlarmState> state(const QString& id) {
        const std::optional<Alarm> a = station.core().alarms.find(id);
        return a ? std::optional<AlarmState>(a->state) : std::nullopt;
    }
    // In real time with the one-second timer, as the relays have to answer for it.
    bool until(int ms, const std::function<bool()>& done) { return station.runFor(ms, done); }

    SimulatedLine line;
    StationHarness& station = line.station;
    AlarmRecords records;
};

TEST_F(AlarmsEndToEnd, EachConditionIsOneAlarmAndAGatewayOutageIsOneAlarmNotThree) {
    AlarmBook& alarms = station.core().alarms;
    using S = AlarmState;
    // The relays' newest stored protocols were never logged: three protection events, latched.
    const std::vector<QString> events{"protection_event_1", "protection_event_2",
                                      "protection_event_3"};
    ASSERT_TRUE(until(8000, [&] {
        return state(events[0]) == S::ActiveUnacknowledged &&
               state(events[1]) == S::ActiveUnacknowledged &&
               state(events[2]) == S::ActiveUnacknowledged;
    }));
    EXPECT_EQ(alarms.unacknowledgedCount(), 3);
    EXPECT_EQ(alarms.acknowledgeAll(events), 3);
    EXPECT_EQ(alarms.unacknowledgedCount(), 0);
    ASSERT_TRUE(until(3000, [&] { return station.allTiles(3, kTileAnswering); }));

    // A new event on relay 2: its tile red again and its alarm back.
    ASSERT_TRUE(line.sim.command("event 2 1").startsWith("ok"));
    ASSERT_TRUE(until(5000, [&] { return state(events[1]) == S::ActiveUnacknowledged; }));
    EXPECT_EQ(station.tile(2).state, kTileEvent);

    // Relay 3's trip relay closes and opens again: active, returned unacknowledged, normal once
    // acknowledged.
    ASSERT_TRUE(line.sim.command("set 3 0x0113 2").startsWith("ok"));
    ASSERT_TRUE(until(5000, [&] { return state("trip_relay_3") == S::ActiveUnacknowledged; }));
    EXPECT_EQ(alarms.find("trip_relay_3")->kind, AlarmKind::TripRelay);
    ASSERT_TRUE(line.sim.command("set 3 0x0113 0").startsWith("ok"));
    ASSERT_TRUE(until(5000, [&] { return state("trip_relay_3") == S::ReturnedUnacknowledged; }));
    EXPECT_TRUE(alarms.acknowledge("trip_relay_3"));
    EXPECT_EQ(state("trip_relay_3"), S::Normal);

    // Relay 1 stops answering and answers again.
    ASSERT_TRUE(line.sim.command("silent 1 on").startsWith("ok"));
    ASSERT_TRUE(until(8000, [&] { return state("no_answer_1") == S::ActiveUnacknowledged; }));
    ASSERT_TRUE(line.sim.command("silent 1 off").startsWith("ok"));
    ASSERT_TRUE(until(8000, [&] { return state("no_answer_1") == S::ReturnedUnacknowledged; }));
    EXPECT_EQ(alarms.acknowledgeAll({"no_answer_1"}), 1);

    // Relay 3 falls silent, then the gateway goes: one link alarm, and relay 3's silence is
    // recorded as suppressed, not annunciated.
    ASSERT_TRUE(line.sim.command("silent 3 on").startsWith("ok"));
    ASSERT_TRUE(until(8000, [&] { return state("no_answer_3") == S::ActiveUnacknowledged; }));
    const size_t outageFrom = records.seen.size();
    line.sim.kill();
    ASSERT_TRUE(until(8000, [&] { return state("link_lost") == S::ActiveUnacknowledged; }));
    ASSERT_TRUE(until(4000, [&] { return station.allTiles(3, kTileNoAnswer); }));
    station.runFor(2000);
    EXPECT_EQ(records.annunciatedRaises(outageFrom), 1);
    EXPECT_TRUE(alarms.find("no_answer_3")->suppressed);
    EXPECT_TRUE(std::any_of(records.seen.begin() + static_cast<std::ptrdiff_t>(outageFrom),
                            records.seen.end(), [](const AlarmDetails& d) {
                                return d.change == AlarmChange::Suppressed &&
                                       alarmId(d.alarm) == QStringLiteral("no_answer_3");
                            }));
    for (const Alarm& a : alarms.shown()) {
        EXPECT_NE(a.kind, AlarmKind::NoAnswer) << alarmId(a).toStdString();
    }
    // Relay 2's event is still waiting: the tile grey now, its alarm standing.
    EXPECT_EQ(state(events[1]), S::ActiveUnacknowledged);

    // What the journal kept is what the stream told, move by move.
    JournalFilter alarmRecords;
    alarmRecords.kinds = JournalKinds{JournalKind::AlarmChanged};
    const JournalRows kept = station.core().journal()->read(alarmRecords, 1000);
    ASSERT_EQ(kept.entries.size(), records.seen.size());
    for (size_t i = 0; i < records.seen.size(); ++i) {
        const auto& onFile = kept.entries[records.seen.size() - 1 - i];
        EXPECT_EQ(std::get<AlarmDetails>(onFile.details), records.seen[i]) << i;
    }
    EXPECT_TRUE(line.station.messages.messages.isEmpty());
}

}  // namespace
}  // namespace terval
