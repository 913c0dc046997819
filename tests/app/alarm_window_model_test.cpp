// The alarm window's rows as the operator reads them: the window's order, each priority's colour,
// the relay named by the tile it has now, the shelves' remaining time, and the status bar's texts.
#include "app/alarm_window_model.h"

#include <gtest/gtest.h>

#include "devices/device_table.h"

namespace terval {
namespace {

qint64 at(int hour, int minute, int second = 0) {
    return QDateTime(QDate(2026, 12, 6), QTime(hour, minute, second)).toMSecsSinceEpoch();
}

// Rec. 601 luma, 0 to 255.
int luma(const RowColor& c) {
    return (299 * c.red + 587 * c.green + 114 * c.blue) / 1000;
}

Alarm alarmOf(AlarmKind kind, uint16_t address, AlarmState state, qint64 raisedMs) {
    Alarm a;
    a.kind = kind;
    a.address = address;
    a.state = state;
    a.raisedAtMs = raisedMs;
    a.text = alarmKindText(kind);
    return a;
}

TEST(AlarmWindowModel, RowsInOrderColouredAndNamedByTheirTileOfNow) {
    DeviceTable devices;
    for (int n = 1; n <= 3; ++n) {
        DeviceEntry e;
        e.GeneratorName = QStringLiteral("Ген. %1").arg(n);
        e.Address = static_cast<uint16_t>(10 + n);
        devices.append(e);
    }
    // The relay at address 11 goes: the one at 13 is tile 2 now, and 11 is known by address only.
    devices.remove(1);

    Alarm returned =
        alarmOf(AlarmKind::TripRelay, 12, AlarmState::ReturnedUnacknowledged, at(14, 0, 5));
    returned.returnedAtMs = at(14, 2, 0);
    const std::vector<Alarm> given{
        alarmOf(AlarmKind::NoAnswer, 13, AlarmState::ActiveUnacknowledged, at(14, 20)),
        alarmOf(AlarmKind::SignalRelay, 12, AlarmState::ActiveAcknowledged, at(14, 10)),
        returned,
        alarmOf(AlarmKind::CircuitBreak, 11, AlarmState::ActiveUnacknowledged, at(14, 15)),
        alarmOf(AlarmKind::LinkLost, 0, AlarmState::ActiveAcknowledged, at(13, 0)),
        alarmOf(AlarmKind::ProtectionEvent, 13, AlarmState::ActiveUnacknowledged, at(14, 1)),
    };
    const std::vector<AlarmRow> rows = alarmRows(given, devices, at(14, 30));

    const RowColor high = alarmPriorityColor(AlarmPriority::High);
    const RowColor medium = alarmPriorityColor(AlarmPriority::Medium);
    const RowColor low = alarmPriorityColor(AlarmPriority::Low);
    // Three colours an operator tells apart at a glance: no two alike, none white.
    EXPECT_NE(high, medium);
    EXPECT_NE(medium, low);
    EXPECT_NE(high, low);
    EXPECT_GT(high.red, high.blue + 40);
    EXPECT_GT(medium.red, medium.blue + 40);
    EXPECT_GT(low.blue, low.red);

    const struct {
        const char* id;
        const char* raised;
        const char* returned;
        const char* relay;
        const char* priority;
        const char* state;
        RowColor background;
        bool bold;
        bool shelvable;
    } expected[] = {
        {"protection_event_13", "06.12.2026 14:01:00", "", "2 — Ген. 3", "высокий",
         "Активна, не квитирована", high, true, false},
        {"trip_relay_12", "06.12.2026 14:00:05", "06.12.2026 14:02:00", "1 — Ген. 2", "высокий",
         "Вернулась, не квитирована", high, true, true},
        {"link_lost", "06.12.2026 13:00:00", "", "Связь", "высокий", "Активна, квитирована", high,
         false, true},
        {"circuit_break_11", "06.12.2026 14:15:00", "", "адрес 11", "средний",
         "Активна, не квитирована", medium, true, true},
        {"signal_relay_12", "06.12.2026 14:10:00", "", "1 — Ген. 2", "средний",
         "Активна, квитирована", medium, false, true},
        {"no_answer_13", "06.12.2026 14:20:00", "", "2 — Ген. 3", "низкий",
         "Активна, не квитирована", low, true, true},
    };
    ASSERT_EQ(rows.size(), std::size(expected));
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& e = expected[i];
        const AlarmRow& r = rows[i];
        SCOPED_TRACE(e.id);
        EXPECT_EQ(r.id, QString::fromUtf8(e.id));
        EXPECT_EQ(r.raised, QString::fromUtf8(e.raised));
        EXPECT_EQ(r.returned, QString::fromUtf8(e.returned));
        EXPECT_EQ(r.relay, QString::fromUtf8(e.relay));
        EXPECT_EQ(r.priority, QString::fromUtf8(e.priority));
        EXPECT_EQ(r.state, QString::fromUtf8(e.state));
        EXPECT_EQ(r.background, e.background);
        EXPECT_EQ(r.emphasised, e.bold);
        EXPECT_EQ(r.shelvable, e.shelvable);
        // The button's tooltip says why exactly when it cannot be shelved.
        EXPECT_EQ(r.shelveRefusal.isEmpty(), e.shelvable);
        // Text readable on its background.
        EXPECT_GT(luma(r.background) - luma(r.foreground), 100);
        EXPECT_TRUE(r.shelfRemaining.isEmpty());
    }

    // The shelving dialog names the kind beside the relay, not the alarm's own line again.
    EXPECT_EQ(rows[0].kind, QStringLiteral("Защита: событие"));
    EXPECT_EQ(rows[2].kind, QStringLiteral("Связь потеряна"));

    // A relay without a generator name is its tile number alone.
    devices.entry(1).GeneratorName = QStringLiteral("  ");
    EXPECT_EQ(alarmRelayText(12, AlarmKind::TripRelay, devices), QStringLiteral("1"));
}

TEST(AlarmWindowModel, ShelfTimeLeftAndStatusBarTexts) {
    const qint64 now = at(10, 0);
    const struct {
        qint64 leftMs;
        const char* text;
    } shelves[] = {
        {8 * 3600'000LL, "8 ч 00 мин"},
        {3600'000LL, "1 ч 00 мин"},
        {3600'000LL - 1000, "1 ч 00 мин"},
        {3600'000LL - 60'000, "59 мин"},
        {3 * 3600'000LL + 5 * 60'000 - 30'000, "3 ч 05 мин"},
        {61'000, "2 мин"},
        {60'000, "1 мин"},
        {59'999, "меньше минуты"},
        {1, "меньше минуты"},
        {0, "истекло"},
        {-5000, "истекло"},
    };
    for (const auto& s : shelves) {
        EXPECT_EQ(shelfRemainingText(now + s.leftMs, now), QString::fromUtf8(s.text)) << s.leftMs;
    }

    Alarm shelved = alarmOf(AlarmKind::TripRelay, 5, AlarmState::ActiveAcknowledged, at(9, 0));
    shelved.shelvedUntilMs = now + 4 * 3600'000LL;
    shelved.shelfReason = QStringLiteral("Ремонт цепи, наряд 17");
    shelved.shelvedBy = QStringLiteral("operator");
    const AlarmRow row = alarmRow(shelved, DeviceTable{}, now);
    EXPECT_EQ(row.shelfRemaining, QStringLiteral("4 ч 00 мин"));
    EXPECT_EQ(row.shelfReason, shelved.shelfReason);
    EXPECT_EQ(row.shelvedBy, shelved.shelvedBy);
    EXPECT_EQ(row.relay, QStringLiteral("адрес 5"));

    EXPECT_EQ(unacknowledgedCounterText(0), QStringLiteral("Неквитированных: 0"));
    EXPECT_EQ(unacknowledgedCounterText(33), QStringLiteral("Неквитированных: 33"));
    EXPECT_EQ(floodWarningText(true), QStringLiteral("Лавина сигналов"));
    EXPECT_TRUE(floodWarningText(false).isEmpty());
}

}  // namespace
}  // namespace terval
