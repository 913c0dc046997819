#include "poll/event_detection.h"

#include <gtest/gtest.h>
#include <QFile>

#include "support/rig.h"

namespace terval {
namespace {

using testing::Rig;
using testing::statusBlock;
using testing::tripRecord;

const QLocale kRussian(QLocale::Russian, QLocale::Russia);

TEST(EventTime, BuiltFromTheRecordWithTheComputersYearAndNoSeconds) {
    RegisterWords w{};
    w[0] = 0x0703;  // protocol 7, March
    w[1] = 0x0907;  // 9th, 7 o'clock
    w[2] = 0x0536;  // 5 minutes, 54 seconds
    EXPECT_EQ(tripEventTime(w, 2008), QDateTime(QDate(2008, 3, 9), QTime(7, 5)));
}

TEST(EventTime, ImpossibleDatesAndTimesAreNoEvent) {
    const auto at = [](int month, int day, int hour, int minute, int year) {
        RegisterWords w{};
        w[0] = static_cast<uint16_t>(month);
        w[1] = static_cast<uint16_t>(day << 8 | hour);
        w[2] = static_cast<uint16_t>(minute << 8);
        return tripEventTime(w, year);
    };
    EXPECT_TRUE(at(2, 29, 10, 0, 2028));
    EXPECT_FALSE(at(2, 29, 10, 0, 2026));
    EXPECT_FALSE(at(0, 1, 0, 0, 2026));
    EXPECT_FALSE(at(13, 1, 0, 0, 2026));
    EXPECT_FALSE(at(4, 31, 0, 0, 2026));
    EXPECT_FALSE(at(1, 0, 0, 0, 2026));
    EXPECT_FALSE(at(1, 1, 24, 0, 2026));
    EXPECT_FALSE(at(1, 1, 23, 60, 2026));
    EXPECT_FALSE(at(255, 255, 255, 255, 2026));  // an erased slot
}

TEST(EventTime, StoredAsDaysSince1899WithTheTimeAsFraction) {
    EXPECT_EQ(toDateTimeValue(QDateTime(QDate(1899, 12, 30), QTime(0, 0))), 0.0);
    EXPECT_EQ(toDateTimeValue(QDateTime(QDate(2000, 1, 1), QTime(12, 0))), 36526.5);
    const QDateTime t(QDate(2026, 3, 9), QTime(7, 5));
    EXPECT_EQ(fromDateTimeValue(toDateTimeValue(t)), t);
}

TEST(AlarmLine, DateTimeNameAndSign) {
    EXPECT_EQ(alarmLineText(QDateTime(QDate(2026, 3, 9), QTime(7, 5)), "Ген. 1", 1, kRussian),
              QStringLiteral("09.03.2026 07:05:00  : Ген. 1,Реле ОТКЛЮЧЕНИЯ"));
    // At exactly midnight the time is left out.
    EXPECT_EQ(alarmLineText(QDateTime(QDate(2026, 1, 2), QTime(0, 0)), "ТГ-2", 54, kRussian),
              QStringLiteral("02.01.2026  : ТГ-2,Отказ блока"));
    const char* signs[] = {"СИГНАЛЬНОЕ реле", "Реле ОТКЛЮЧЕНИЯ", "Фиксация альфы 1",
                           "Фиксация альфы 2", "Обрыв цепи"};
    for (uint16_t code = 0; code < 5; ++code) {
        EXPECT_EQ(signText(code), QString::fromUtf8(signs[code]));
    }
    EXPECT_EQ(signText(5), QStringLiteral("Неизвестный код признака"));
    EXPECT_EQ(signText(0xFFFF), QStringLiteral("Неизвестный код признака"));
}

// Polls relay `relay` through its newest protocol, answering with `record`.
void pollWithProtocol(Rig& rig, int relay, const QVector<uint16_t>& record) {
    for (int i = 0; i < 10; ++i) {
        rig.tickUntilSent();
        const testing::Request r = rig.lastRequest();
        if (r.unit == relay && r.reg == 0x1000) {
            rig.answerRead(record);
            return;
        }
        rig.answerPlausibly();
    }
    FAIL() << "relay " << relay << " was not polled";
}

TEST(NewEvents, FirstPollOfANewRelayLogsItsNewestProtocol) {
    Rig rig(2);
    rig.connect();
    pollWithProtocol(rig, 2, tripRecord(3, 9, 7, 5, 54, 1));
    ASSERT_EQ(rig.view.alarmLines, QStringList{"09.03.2026 07:05:00  : Ген. 2,Реле ОТКЛЮЧЕНИЯ"});
    EXPECT_EQ(rig.view.alarmNew, QVector<bool>{true});
    EXPECT_EQ(rig.view.alarmSelected, 0);
    EXPECT_TRUE(rig.view.alarmCommands);
    EXPECT_EQ(rig.station().tile(2).state, kTileEvent);
    EXPECT_EQ(rig.view.tiles.at(2).state, kTileEvent);
    // The main window is active: the event's relay is selected.
    EXPECT_EQ(rig.station().devices.SelectedDevice, 2);

    // gen.dat holds the new time, byte for byte.
    const double expected = toDateTimeValue(QDateTime(QDate(2026, 3, 9), QTime(7, 5)));
    EXPECT_EQ(rig.relay(2).LastEventTime, expected);
    DeviceTable copy = rig.station().devices;
    EXPECT_EQ(rig.folder.read("gen.dat").mid(56, 56), copy.entry(2).toRecord());
    EXPECT_EQ(loadDeviceFile(rig.folder.dir()).table.entry(2).LastEventTime, expected);
}

TEST(NewEvents, EqualAndOlderTimesAreNotLoggedAgain) {
    Rig rig(1);
    rig.relay(1).LastEventTime = toDateTimeValue(QDateTime(QDate(2026, 3, 9), QTime(7, 5)));
    rig.connect();
    const QByteArray before = rig.folder.read("gen.dat");
    pollWithProtocol(rig, 1, tripRecord(3, 9, 7, 5, 59, 1));  // same minute, other second
    pollWithProtocol(rig, 1, tripRecord(3, 8, 23, 59, 0, 1));
    EXPECT_TRUE(rig.view.alarmLines.isEmpty());
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);
    EXPECT_EQ(rig.folder.read("gen.dat"), before);
    // Even so, the log's commands are enabled: the relay was checked while the log was empty.
    EXPECT_TRUE(rig.view.alarmCommands);
    pollWithProtocol(rig, 1, tripRecord(3, 9, 7, 6, 0, 4));
    EXPECT_EQ(rig.view.alarmLines.size(), 1);
}

TEST(NewEvents, InvalidSlotsAndLeapDaysOfACommonYearAreIgnored) {
    Rig rig(1);
    rig.connect();
    pollWithProtocol(rig, 1, QVector<uint16_t>(32, 0));
    pollWithProtocol(rig, 1, QVector<uint16_t>(32, 0xFFFF));
    pollWithProtocol(rig, 1, tripRecord(2, 29, 12, 0, 0, 0));
    EXPECT_TRUE(rig.view.alarmLines.isEmpty());
    EXPECT_EQ(rig.relay(1).LastEventTime, 0.0);
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);
}

TEST(NewEvents, TileStatesFollowAnswersAndEvents) {
    Rig rig(1);
    rig.connect();
    // A relay that answers its status block but not its protocol stays "no answer".
    rig.tickUntilSent();
    rig.answerPlausibly(321);
    EXPECT_TRUE(rig.station().tile(1).valueVisible);
    EXPECT_EQ(rig.station().tile(1).value, QStringLiteral("321"));
    rig.tickUntilSent();
    rig.tick(6);
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);

    pollWithProtocol(rig, 1, tripRecord(3, 1, 10, 0, 0, 2));
    EXPECT_EQ(rig.station().tile(1).state, kTileEvent);
    // A later protocol read leaves the unacknowledged event on the tile.
    pollWithProtocol(rig, 1, tripRecord(3, 1, 10, 0, 0, 2));
    EXPECT_EQ(rig.station().tile(1).state, kTileEvent);
    // A timeout ends it; the next full answer shows "answering".
    rig.tickUntilSent();
    rig.tick(6);
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    pollWithProtocol(rig, 1, tripRecord(3, 1, 10, 0, 0, 2));
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);
    EXPECT_EQ(rig.view.alarmLines.size(), 1);
}

TEST(NewEvents, EventWhileAnotherWindowIsActiveKeepsTheSelection) {
    Rig rig(2);
    rig.core().main.NEWbmpClick(1);
    rig.view.mainActive = false;
    rig.connect();
    pollWithProtocol(rig, 2, tripRecord(3, 9, 7, 5, 0, 0));
    EXPECT_EQ(rig.view.alarmLines.size(), 1);
    EXPECT_EQ(rig.station().devices.SelectedDevice, 1);
}

TEST(NewEvents, LogKeepsTheHundredNewestLines) {
    Rig rig(1);
    rig.connect();
    QDateTime t(QDate(2026, 1, 1), QTime(0, 1));
    for (int i = 0; i < 101; ++i) {
        pollWithProtocol(
            rig, 1,
            tripRecord(t.date().month(), t.date().day(), t.time().hour(), t.time().minute(), 0, 0));
        t = t.addSecs(3600);
    }
    ASSERT_EQ(rig.view.alarmLines.size(), 100);
    EXPECT_TRUE(rig.view.alarmLines.first().startsWith(QStringLiteral("05.01.2026 04:01:00")));
    EXPECT_TRUE(rig.view.alarmLines.last().startsWith(QStringLiteral("01.01.2026 01:01:00")));
}

TEST(NewEvents, DeviceListThatCannotBeSavedLosesNothingOfTheEvent) {
    Rig rig(2);
    rig.connect();
    rig.tickUntilSent();
    rig.answerPlausibly();
    ASSERT_TRUE(QFile::remove(rig.folder.path("gen.dat")));
    ASSERT_TRUE(rig.folder.dir().mkdir("gen.dat"));  // nothing can replace it now
    rig.tickUntilSent();
    rig.answerRead(tripRecord(3, 9, 7, 5, 0, 3));
    // Logged, marked, remembered, and the error shown.
    ASSERT_EQ(rig.messages.messages.size(), 1);
    EXPECT_TRUE(rig.messages.messages[0].text.startsWith(
        QStringLiteral("Не удалось записать файл gen.dat: под этим именем в папке находится "
                       "другая папка.")))
        << rig.messages.messages[0].text.toStdString();
    EXPECT_EQ(rig.view.alarmLines.size(), 1);
    EXPECT_NE(rig.relay(1).LastEventTime, 0.0);
    EXPECT_EQ(rig.station().tile(1).state, kTileEvent);
    // The poll goes on to the next relay; the same event is not logged again, and the next
    // event's failed save shows no second box.
    rig.tickUntilSent();
    EXPECT_EQ(rig.lastRequest(), (testing::Request{2, 3, 0x0100, 48}));
    rig.answerPlausibly();
    rig.tickUntilSent();
    rig.answerRead(tripRecord(3, 9, 8, 0, 0, 1));
    EXPECT_EQ(rig.messages.messages.size(), 1);
    EXPECT_EQ(rig.view.alarmLines.size(), 2);
    rig.tickUntilSent();
    rig.answerPlausibly();
    rig.tickUntilSent();
    rig.answerRead(tripRecord(3, 9, 7, 5, 0, 3));
    EXPECT_EQ(rig.view.alarmLines.size(), 2);
    // The folder is mended: the table is written at exit, with both events.
    ASSERT_TRUE(rig.folder.dir().rmdir("gen.dat"));
    rig.core().main.saveUnsavedAtExit();
    const DeviceLoad load = loadDeviceFile(rig.folder.dir());
    ASSERT_EQ(load.table.DeviceCount, 2);
    EXPECT_EQ(load.table.entry(1).LastEventTime, rig.relay(1).LastEventTime);
    EXPECT_EQ(load.table.entry(2).LastEventTime, rig.relay(2).LastEventTime);
    EXPECT_EQ(rig.messages.messages.size(), 1);
}

}  // namespace
}  // namespace terval
