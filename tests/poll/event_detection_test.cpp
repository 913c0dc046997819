#include "poll/event_detection.h"

#include <gtest/gtest.h>
#include <QFile>
#include <cmath>

#include "support/rig.h"

namespace terval {
namespace {

using testing::Rig;
using testing::statusBlock;
using testing::tripRecord;

const QLocale kRussian(QLocale::Russian, QLocale::Russia);

RegisterWords record(int month, int day, int hour, int minute, int second) {
    RegisterWords w{};
    w[0] = static_cast<uint16_t>(0x0700 | month);
    w[1] = static_cast<uint16_t>(day << 8 | hour);
    w[2] = static_cast<uint16_t>(minute << 8 | second);
    return w;
}

QDateTime at(int year, int month, int day, int hour = 12, int minute = 0, int second = 0) {
    return QDateTime(QDate(year, month, day), QTime(hour, minute, second));
}

TEST(EventTime, TheRecordsTimeToTheSecondInTheYearNearestBeforeNow) {
    const struct {
        RegisterWords record;
        QDateTime now;
        std::optional<QDateTime> expected;
    } cases[] = {
        // The seconds count: a trip three seconds after a signal is an event of its own.
        {record(3, 9, 7, 5, 54), at(2008, 6, 1), at(2008, 3, 9, 7, 5, 54)},
        // New Year, the relay behind: its December protocol belongs to last year.
        {record(12, 31, 23, 59, 50), at(2027, 1, 1, 0, 0, 20), at(2026, 12, 31, 23, 59, 50)},
        {record(11, 20, 8, 0, 0), at(2027, 1, 1), at(2026, 11, 20, 8)},
        // New Year, the relay ahead: an event of a few minutes into the new year is now, not
        // eleven months ago.
        {record(1, 1, 0, 1, 0), at(2026, 12, 31, 23, 58), at(2027, 1, 1, 0, 1)},
        // Up to a day ahead of the computer is now; more is last year.
        {record(6, 2, 11, 0, 0), at(2026, 6, 1, 12), at(2026, 6, 2, 11)},
        {record(6, 3, 11, 0, 0), at(2026, 6, 1, 12), at(2025, 6, 3, 11)},
        // The latest leap day seen from a common year.
        {record(2, 29, 10, 0, 0), at(2029, 1, 15), at(2028, 2, 29, 10)},
        {record(2, 29, 10, 0, 0), at(2026, 3, 15), std::nullopt},
        // Impossible dates and times, and erased slots, are no event.
        {record(0, 1, 0, 0, 0), at(2026, 3, 15), std::nullopt},
        {record(13, 1, 0, 0, 0), at(2026, 3, 15), std::nullopt},
        {record(4, 31, 0, 0, 0), at(2026, 3, 15), std::nullopt},
        {record(1, 0, 0, 0, 0), at(2026, 3, 15), std::nullopt},
        {record(1, 1, 24, 0, 0), at(2026, 3, 15), std::nullopt},
        {record(1, 1, 23, 60, 0), at(2026, 3, 15), std::nullopt},
        {record(1, 1, 23, 0, 60), at(2026, 3, 15), std::nullopt},
        {record(255, 255, 255, 255, 255), at(2026, 3, 15), std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(tripEventTime(c.record, c.now), c.expected)
            << c.now.toString(Qt::ISODate).toStdString();
    }
}

TEST(EventTime, StoredAsDaysSince1899WithTheTimeAsFraction) {
    EXPECT_EQ(toDateTimeValue(QDateTime(QDate(1899, 12, 30), QTime(0, 0))), 0.0);
    EXPECT_EQ(toDateTimeValue(QDateTime(QDate(2000, 1, 1), QTime(12, 0))), 36526.5);
    const QDateTime t(QDate(2026, 3, 9), QTime(7, 5));
    EXPECT_EQ(fromDateTimeValue(toDateTimeValue(t)), t);
}

TEST(AlarmLine, DateTimeNameAndSign) {
    EXPECT_EQ(alarmLineText(QDateTime(QDate(2026, 3, 9), QTime(7, 5, 54)), "Ген. 1", 1, kRussian),
              QStringLiteral("09.03.2026 07:05:54  : Ген. 1,Реле ОТКЛЮЧЕНИЯ"));
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
    ASSERT_EQ(rig.view.alarmLines, QStringList{"09.03.2026 07:05:54  : Ген. 2,Реле ОТКЛЮЧЕНИЯ"});
    EXPECT_EQ(rig.view.alarmNew, QVector<bool>{true});
    EXPECT_EQ(rig.view.alarmSelected, 0);
    EXPECT_TRUE(rig.view.alarmCommands);
    EXPECT_EQ(rig.station().tile(2).state, kTileEvent);
    EXPECT_EQ(rig.view.tiles.at(2).state, kTileEvent);
    // The main window is active: the event's relay is selected.
    EXPECT_EQ(rig.station().devices.SelectedDevice, 2);

    // gen.dat holds the new time, byte for byte.
    const double expected = toDateTimeValue(QDateTime(QDate(2026, 3, 9), QTime(7, 5, 54)));
    EXPECT_EQ(rig.relay(2).LastEventTime, expected);
    DeviceTable copy = rig.station().devices;
    EXPECT_EQ(rig.folder.read("gen.dat").mid(56, 56), copy.entry(2).toRecord());
    EXPECT_EQ(loadDeviceFile(rig.folder.dir()).table.entry(2).LastEventTime, expected);
}

TEST(NewEvents, EqualAndOlderTimesAreNotLoggedAgainButASecondLaterIs) {
    Rig rig(1);
    rig.relay(1).LastEventTime = toDateTimeValue(QDateTime(QDate(2026, 3, 9), QTime(7, 5, 30)));
    rig.connect();
    const QByteArray before = rig.folder.read("gen.dat");
    pollWithProtocol(rig, 1, tripRecord(3, 9, 7, 5, 30, 1));
    pollWithProtocol(rig, 1, tripRecord(3, 9, 7, 5, 10, 1));
    pollWithProtocol(rig, 1, tripRecord(3, 8, 23, 59, 0, 1));
    EXPECT_TRUE(rig.view.alarmLines.isEmpty());
    EXPECT_EQ(rig.station().tile(1).state, kTileAnswering);
    EXPECT_EQ(rig.folder.read("gen.dat"), before);
    // Even so, the log's commands are enabled: the relay was checked while the log was empty.
    EXPECT_TRUE(rig.view.alarmCommands);
    // A trip three seconds after the signal, in the same minute.
    pollWithProtocol(rig, 1, tripRecord(3, 9, 7, 5, 33, 1));
    EXPECT_EQ(rig.view.alarmLines.size(), 1);
}

TEST(NewEvents, DeviceListKeptToTheMinuteDoesNotLogItsNewestEventAgain) {
    // Written before seconds were kept: the event of 07:05:54 stored as 07:05.
    Rig rig(1, kLinkTcp, [](DeviceEntry& e, int) {
        e.LastEventTime = toDateTimeValue(QDateTime(QDate(2026, 3, 9), QTime(7, 5)));
    });
    rig.connect();
    pollWithProtocol(rig, 1, tripRecord(3, 9, 7, 5, 54, 0));
    EXPECT_TRUE(rig.view.alarmLines.isEmpty());
    // From now on the time is exact, and it is kept.
    const double exact = toDateTimeValue(QDateTime(QDate(2026, 3, 9), QTime(7, 5, 54)));
    EXPECT_EQ(rig.relay(1).LastEventTime, exact);
    EXPECT_EQ(loadDeviceFile(rig.folder.dir()).table.entry(1).LastEventTime, exact);
    pollWithProtocol(rig, 1, tripRecord(3, 9, 7, 5, 57, 1));
    EXPECT_EQ(rig.view.alarmLines.size(), 1);
}

TEST(NewEvents, ImpossibleStoredTimesAreToldOnceAndJudgedAfresh) {
    // NaN, before 1899, and two days ahead of the computer's clock (15.03.2026 12:00).
    const double bad[] = {std::nan(""), -5.0,
                          toDateTimeValue(QDateTime(QDate(2026, 3, 17), QTime(12, 0)))};
    Rig rig(4, kLinkTcp, [&bad](DeviceEntry& e, int n) {
        e.LastEventTime =
            n <= 3 ? bad[n - 1] : toDateTimeValue(QDateTime(QDate(2026, 3, 16), QTime(11, 0)));
    });
    ASSERT_EQ(rig.messages.messages.size(), 1);
    EXPECT_EQ(rig.messages.messages[0].text,
              QStringLiteral("В файле gen.dat записано невозможное время последнего события у "
                             "объектов: Ген. 1, Ген. 2, Ген. 3.\nИх новейшие протоколы будут "
                             "проверены заново."));
    EXPECT_EQ(rig.relay(1).LastEventTime, 0.0);
    EXPECT_EQ(rig.relay(3).LastEventTime, 0.0);
    EXPECT_GT(rig.relay(4).LastEventTime, 0.0);  // within a day ahead: kept
    rig.connect();
    // Relay 3's stored time lay ahead of this event; judged afresh, the event is logged.
    pollWithProtocol(rig, 3, tripRecord(3, 1, 8, 0, 0, 1));
    ASSERT_EQ(rig.view.alarmLines.size(), 1);
    EXPECT_TRUE(rig.view.alarmLines[0].contains(QStringLiteral("Ген. 3,")));
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
    // A timeout ends it; the next full answer shows the event again, still unacknowledged.
    rig.tickUntilSent();
    rig.tick(6);
    EXPECT_EQ(rig.station().tile(1).state, kTileNoAnswer);
    pollWithProtocol(rig, 1, tripRecord(3, 1, 10, 0, 0, 2));
    EXPECT_EQ(rig.station().tile(1).state, kTileEvent);
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
