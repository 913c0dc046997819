#include "devices/alarm_log.h"

#include <gtest/gtest.h>

#include "poll/event_detection.h"
#include "support/rig.h"

namespace terval {
namespace {

using testing::Rig;

class AlarmLogCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        // Relay 1 "Ген. 1" comes first, relay 10 "Ген. 10" later.
        rig.station().alarmLog.commandsEnabled = true;
        main().addAlarmLine(QStringLiteral("01.03.2026 10:00:00  : Ген. 3,Обрыв цепи"));
        main().addAlarmLine(QStringLiteral("02.03.2026 10:00:00  : Ген. 10,Обрыв цепи"));
        main().addAlarmLine(QStringLiteral("03.03.2026 10:00:00  : Ген. 2,Обрыв цепи"));
    }
    MainController& main() { return rig.core().main; }
    int selected() { return rig.station().devices.SelectedDevice; }
    Rig rig{10};
};

TEST_F(AlarmLogCommands, NewestLineOnTopAndSelected) {
    EXPECT_EQ(rig.view.alarmLines.first(),
              QStringLiteral("03.03.2026 10:00:00  : Ген. 2,Обрыв цепи"));
    EXPECT_EQ(rig.view.alarmSelected, 0);
    EXPECT_EQ(selected(), 0);  // PolledDevice is 0 here: no relay of the table
}

TEST_F(AlarmLogCommands, ClickSelectsTheLineAndTheRelayItNames) {
    main().RichEditMouseDown(1);
    EXPECT_EQ(rig.view.alarmSelected, 1);
    EXPECT_EQ(selected(), 10);  // "Ген. 10", not "Ген. 1", which is only part of it
    main().RichEditMouseDown(2);
    EXPECT_EQ(selected(), 3);
    EXPECT_EQ(rig.view.selectedTiles(), QVector<int>{3});
}

TEST_F(AlarmLogCommands, OnlyUpAndDownSelectByKeyboard) {
    main().RichEditKeyDown(Qt::Key_Down, 2);
    EXPECT_EQ(rig.view.alarmSelected, 2);
    EXPECT_EQ(selected(), 3);
    main().RichEditKeyDown(Qt::Key_Left, 0);
    main().RichEditKeyDown(Qt::Key_Right, 1);
    EXPECT_EQ(rig.view.alarmSelected, 2);
    EXPECT_EQ(selected(), 3);
}

TEST_F(AlarmLogCommands, MarkingALineSeenTurnsItGreenAndKeepsItSelected) {
    rig.station().tile(2).state = kTileEvent;
    main().RichEditMouseDown(0);
    main().NDelInsClick();
    EXPECT_EQ(rig.view.alarmNew, (QVector<bool>{false, true, true}));
    EXPECT_EQ(rig.view.alarmSelected, 0);
    EXPECT_EQ(selected(), 2);
    EXPECT_EQ(rig.station().tile(2).state, kTileEvent);  // acknowledging the tile is elsewhere
}

TEST_F(AlarmLogCommands, DeletingALineSelectsTheNextOlderOne) {
    main().RichEditMouseDown(0);
    main().NDelListClick();
    EXPECT_EQ(rig.view.alarmLines.size(), 2);
    EXPECT_EQ(rig.view.alarmSelected, 0);
    EXPECT_TRUE(rig.view.alarmLines.first().contains(QStringLiteral("Ген. 10")));
    EXPECT_EQ(selected(), 10);
    main().RichEditMouseDown(1);
    main().NDelListClick();
    main().NDelListClick();  // the caret is past the last line: nothing to delete
    EXPECT_EQ(rig.view.alarmLines.size(), 1);
    EXPECT_TRUE(rig.station().alarmLog.commandsEnabled);  // they stay enabled
}

TEST_F(AlarmLogCommands, DeleteAllEmptiesTheLogAndGreysTheCommandsUntilTheNextCheck) {
    main().NDelAllClick();
    EXPECT_TRUE(rig.view.alarmLines.isEmpty());
    EXPECT_FALSE(rig.view.alarmCommands);
    // Deleting lines does not forget events: LastEventTime is untouched.
    rig.connect();
    rig.tickUntilSent();
    rig.answerPlausibly();
    rig.tickUntilSent();
    rig.answerPlausibly();
    EXPECT_TRUE(rig.view.alarmCommands);
}

TEST(AlarmLog, EmptyNameNeverMatchesAndCommandsOnAnEmptyLogDoNothing) {
    Rig rig(2);
    rig.station().devices.entry(1).GeneratorName.clear();
    rig.core().main.MyNEnabled(QStringLiteral("anything  : Ген. 2,x"));
    EXPECT_EQ(rig.station().devices.SelectedDevice, 2);
    rig.core().main.NDelInsClick();
    rig.core().main.NDelListClick();
    rig.core().main.RichEditMouseDown(0);
    EXPECT_TRUE(rig.view.alarmLines.isEmpty());
    EXPECT_EQ(rig.station().devices.SelectedDevice, 2);
}

TEST(AlarmLog, ClickedLineSelectsTheRelayOfExactlyThatName) {
    const char* names[] = {"Ген. 1", "Ген. 10", "Ген. 1 А", "Ген. 10"};
    Rig rig(4, kLinkTcp,
            [&names](DeviceEntry& e, int n) { e.GeneratorName = QString::fromUtf8(names[n - 1]); });
    MainController& main = rig.core().main;
    const QDateTime at(QDate(2026, 3, 9), QTime(7, 5, 54));
    rig.relay(4).LastEventTime = toDateTimeValue(at);
    const QLocale ru(QLocale::Russian, QLocale::Russia);
    const struct {
        QString line;
        int selected;
    } cases[] = {
        {alarmLineText(at.addDays(-1), "Ген. 10", 1, ru), 2},  // the first of that name
        {alarmLineText(at, "Ген. 10", 1, ru), 4},              // the one whose event it is
        {alarmLineText(at, "Ген. 1", 0, ru), 1},
        {alarmLineText(at, "Ген. 1 А", 4, ru), 3},
    };
    for (const auto& c : cases) {
        main.SelectTile(0);
        main.MyNEnabled(c.line);
        EXPECT_EQ(rig.station().devices.SelectedDevice, c.selected) << c.line.toStdString();
    }
    // A name no relay has selects nothing new.
    main.SelectTile(3);
    main.MyNEnabled(alarmLineText(at, "Ген. 2", 0, ru));
    EXPECT_EQ(rig.station().devices.SelectedDevice, 3);
}

}  // namespace
}  // namespace terval
