#include "alarms/alarm_transition.h"

#include <gtest/gtest.h>

#include "alarms/alarm_book.h"
#include "alarms/recording_sound.h"
#include "support/rig.h"

namespace terval {
namespace {

using S = AlarmState;
using I = AlarmInput;
using K = AlarmKind;

constexpr AlarmStatus st(S state, bool shelved = false, bool suppressed = false) {
    return AlarmStatus{state, shelved, suppressed};
}

const char* inputName(I input) {
    static const char* names[] = {"raise",    "return",   "acknowledge", "shelve",
                                  "shelfEnd", "suppress", "unsuppress",  "restore"};
    return names[static_cast<int>(input)];
}

// Every input from every state, for a latched kind, a plain condition and a relay's silence.
TEST(AlarmTransition, EveryInputFromEveryState) {
    const std::optional<AlarmStatus> none;
    const struct {
        K kind;
        AlarmStatus from;
        I input;
        std::optional<AlarmStatus> to;
    } cases[] = {
        // A condition: the two paths of alarm management.
        {K::TripRelay, st(S::Normal), I::Raise, st(S::ActiveUnacknowledged)},
        {K::TripRelay, st(S::ActiveUnacknowledged), I::Raise, none},
        {K::TripRelay, st(S::ActiveAcknowledged), I::Raise, none},
        {K::TripRelay, st(S::ReturnedUnacknowledged), I::Raise, st(S::ActiveUnacknowledged)},
        {K::TripRelay, st(S::Normal), I::Return, none},
        {K::TripRelay, st(S::ActiveUnacknowledged), I::Return, st(S::ReturnedUnacknowledged)},
        {K::TripRelay, st(S::ActiveAcknowledged), I::Return, st(S::Normal)},
        {K::TripRelay, st(S::ReturnedUnacknowledged), I::Return, none},
        {K::TripRelay, st(S::Normal), I::Acknowledge, none},
        {K::TripRelay, st(S::ActiveUnacknowledged), I::Acknowledge, st(S::ActiveAcknowledged)},
        {K::TripRelay, st(S::ActiveAcknowledged), I::Acknowledge, none},
        {K::TripRelay, st(S::ReturnedUnacknowledged), I::Acknowledge, st(S::Normal)},
        // Shelving leaves the state alone, in every state; a second shelf is not one.
        {K::SignalRelay, st(S::Normal), I::Shelve, st(S::Normal, true)},
        {K::SignalRelay, st(S::ActiveUnacknowledged), I::Shelve, st(S::ActiveUnacknowledged, true)},
        {K::CircuitBreak, st(S::ReturnedUnacknowledged, true), I::Shelve, none},
        {K::CircuitBreak, st(S::ActiveAcknowledged, true), I::ShelfEnd, st(S::ActiveAcknowledged)},
        {K::CircuitBreak, st(S::ActiveAcknowledged), I::ShelfEnd, none},
        // A shelved alarm still moves, recorded but not annunciated.
        {K::TripRelay, st(S::Normal, true), I::Raise, st(S::ActiveUnacknowledged, true)},
        {K::TripRelay, st(S::ActiveUnacknowledged, true), I::Return,
         st(S::ReturnedUnacknowledged, true)},
        // The protection event: latched, raised again while unacknowledged, never shelved.
        {K::ProtectionEvent, st(S::Normal), I::Raise, st(S::ActiveUnacknowledged)},
        {K::ProtectionEvent, st(S::ActiveUnacknowledged), I::Raise, st(S::ActiveUnacknowledged)},
        {K::ProtectionEvent, st(S::ActiveUnacknowledged), I::Return, none},
        {K::ProtectionEvent, st(S::ActiveUnacknowledged), I::Acknowledge, st(S::Normal)},
        {K::ProtectionEvent, st(S::Normal), I::Acknowledge, none},
        {K::ProtectionEvent, st(S::Normal), I::Shelve, none},
        {K::ProtectionEvent, st(S::ActiveUnacknowledged), I::Shelve, none},
        {K::ProtectionEvent, st(S::ActiveUnacknowledged), I::Suppress, none},
        // Suppression under the link alarm: a relay's silence only.
        {K::NoAnswer, st(S::ActiveUnacknowledged), I::Suppress,
         st(S::ActiveUnacknowledged, false, true)},
        {K::NoAnswer, st(S::ActiveUnacknowledged, false, true), I::Suppress, none},
        {K::NoAnswer, st(S::ActiveUnacknowledged, false, true), I::Unsuppress,
         st(S::ActiveUnacknowledged)},
        {K::NoAnswer, st(S::Normal), I::Unsuppress, none},
        {K::NoAnswer, st(S::Normal, false, true), I::Raise,
         st(S::ActiveUnacknowledged, false, true)},
        {K::NoAnswer, st(S::ActiveAcknowledged, false, true), I::Return,
         st(S::Normal, false, true)},
        {K::NoAnswer, st(S::ReturnedUnacknowledged, true, true), I::ShelfEnd,
         st(S::ReturnedUnacknowledged, false, true)},
        {K::LinkLost, st(S::ActiveUnacknowledged), I::Suppress, none},
        {K::TripRelay, st(S::ActiveUnacknowledged), I::Suppress, none},
        {K::LinkLost, st(S::Normal), I::Raise, st(S::ActiveUnacknowledged)},
        {K::LinkLost, st(S::ActiveAcknowledged), I::Return, st(S::Normal)},
        // Read back at a start: as it was, and always a record.
        {K::ProtectionEvent, st(S::ActiveUnacknowledged), I::Restore, st(S::ActiveUnacknowledged)},
        {K::NoAnswer, st(S::ReturnedUnacknowledged, true, true), I::Restore,
         st(S::ReturnedUnacknowledged, true, true)},
        {K::TripRelay, st(S::Normal, true), I::Restore, st(S::Normal, true)},
    };
    for (const auto& c : cases) {
        const auto to = alarmTransition(c.from, c.input, c.kind);
        EXPECT_EQ(to, c.to) << alarmKindName(c.kind).toStdString() << " from "
                            << alarmStateName(c.from.state).toStdString()
                            << (c.from.shelved ? " shelved" : "")
                            << (c.from.suppressed ? " suppressed" : "") << " on "
                            << inputName(c.input);
    }
}

// A shelf on the station's clock: it ends by itself at its time, and an alarm still waiting for
// the operator calls him again then.
TEST(AlarmTransition, ShelfEndsAtItsTimeAndTheAlarmSoundsAgain) {
    testing::RecordingSound sound;
    testing::Rig rig(2);
    AlarmBook& book = rig.core().alarms;
    book.setSound(&sound);
    book.setSoundSettings({true, 35});
    EXPECT_EQ(sound.volume, 35);
    book.setUser(QStringLiteral("ivanov"));
    rig.station().journal.relaySilent(1);  // no link wanted: not recorded, no alarm
    EXPECT_TRUE(book.standing().empty());

    rig.connect();
    rig.station().journal.linkDown(QStringLiteral("Ethernet"), QStringLiteral("шлюз молчит"));
    const auto link = book.find(QStringLiteral("link_lost"));
    ASSERT_TRUE(link);
    EXPECT_EQ(link->text, QStringLiteral("Связь потеряна: шлюз молчит"));
    EXPECT_TRUE(sound.repeating);
    EXPECT_FALSE(book.shelve(QStringLiteral("link_lost"), 2, QStringLiteral("ремонт")));
    EXPECT_FALSE(book.shelve(QStringLiteral("link_lost"), 4, QStringLiteral("   ")));
    EXPECT_FALSE(book.shelve(QStringLiteral("trip_relay_1"), 4, QStringLiteral("ремонт")));
    ASSERT_TRUE(book.shelve(QStringLiteral("link_lost"), 4, QStringLiteral("ремонт шлюза")));
    EXPECT_FALSE(sound.repeating);
    EXPECT_EQ(book.unacknowledgedCount(), 0);
    ASSERT_EQ(book.shelvedAlarms().size(), 1u);
    EXPECT_EQ(book.shelvedAlarms()[0].shelvedBy, QStringLiteral("ivanov"));

    rig.clock.time = rig.clock.time.addSecs(4 * 3600 - 1);
    rig.core().Timer1Timer();
    EXPECT_EQ(book.shelvedAlarms().size(), 1u);
    rig.clock.time = rig.clock.time.addSecs(1);
    rig.core().Timer1Timer();
    EXPECT_TRUE(book.shelvedAlarms().empty());
    EXPECT_EQ(book.unacknowledgedCount(), 1);
    EXPECT_TRUE(sound.repeating);
    book.silence();
    EXPECT_FALSE(sound.repeating);
    EXPECT_TRUE(book.silenced());
    EXPECT_TRUE(book.acknowledge(QStringLiteral("link_lost")));
    EXPECT_FALSE(book.acknowledge(QStringLiteral("link_lost")));
    EXPECT_EQ(book.find(QStringLiteral("link_lost"))->state, S::ActiveAcknowledged);
}

}  // namespace
}  // namespace terval
