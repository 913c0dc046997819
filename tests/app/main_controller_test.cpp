#include "app/main_controller.h"

#include <gtest/gtest.h>

#include "devices/device_editor.h"
#include "support/fakes.h"

namespace terval {
namespace {

using testing::FakeMainView;
using testing::FixedClock;
using testing::hexBytes;
using testing::RecordingMessageSink;
using testing::WorkFolder;

QByteArray relays(int count) {
    DeviceTable t;
    for (int n = 1; n <= count; ++n) {
        t.append(newDeviceEntry(n));
    }
    return t.toFileBytes();
}

class MainControllerTest : public ::testing::Test {
  protected:
    void start() {
        station = std::make_unique<Station>(folder.dir());
        controller = std::make_unique<MainController>(*station, view, messages, clock,
                                                      QLocale(QLocale::Russian));
        controller->createMainWindow();
    }
    const DeviceTable& table() const { return station->devices; }

    WorkFolder folder;
    FakeMainView view;
    RecordingMessageSink messages;
    FixedClock clock{QDateTime(QDate(2026, 12, 6), QTime(9, 5, 7))};
    std::unique_ptr<Station> station;
    std::unique_ptr<MainController> controller;
};

TEST_F(MainControllerTest, FirstStartInAnEmptyFolder) {
    folder.addPictures();
    start();
    EXPECT_TRUE(messages.messages.isEmpty()) << qPrintable(messages.texts().join("\n"));
    EXPECT_EQ(view.menu, menu_masks::kEmptyTable);
    EXPECT_TRUE(view.tiles.empty());
    EXPECT_EQ(view.window.size(), QSize(505, 472));
    EXPECT_EQ(view.alarmLogCleared, 1);
    // Both settings files are created with their defaults; the device list is not.
    EXPECT_EQ(folder.read("param.dat"), hexBytes("01000000070000000300000000000000"));
    EXPECT_EQ(folder.read("config.cfg").size(), 36);
    EXPECT_FALSE(folder.exists("gen.dat"));
    EXPECT_TRUE(view.serialDisplay);
    EXPECT_EQ(view.date, QStringLiteral("06/12/2026"));
    EXPECT_EQ(view.time, QStringLiteral("09:05:07"));
    EXPECT_EQ(view.portLabel, QStringLiteral("COM 1"));
}

TEST_F(MainControllerTest, StartWithRelaysBuildsTheirTilesInGridOrder) {
    folder.addPictures();
    folder.write("gen.dat", relays(9));
    folder.write("param.dat", hexBytes("0400000007000000030000000000000000"));
    ConnectionConfig config;
    config.LinkType = kLinkRs485;
    config.portName = QStringLiteral("COM3");
    ASSERT_FALSE(saveConfigFile(folder.path(QStringLiteral("config.cfg")), config));
    start();
    EXPECT_EQ(view.menu, menu_masks::kIdle);
    ASSERT_EQ(view.tiles.size(), 9u);
    EXPECT_EQ(view.tiles.at(8).offset, QPoint(0, 200));
    EXPECT_EQ(view.tiles.at(9).offset, QPoint(160, 200));
    EXPECT_EQ(view.tiles.at(9).generator, QStringLiteral("Ген. 9"));
    EXPECT_EQ(view.tiles.at(9).breaker, QStringLiteral("Выкл 9"));
    EXPECT_EQ(view.tiles.at(1).state, 0);
    EXPECT_FALSE(view.tiles.at(1).valueVisible);
    EXPECT_EQ(view.window.size(), QSize(1145, 682));
    // The lamp names the port the link opens (config.cfg's), not param.dat's port number.
    EXPECT_EQ(view.portLabel, QStringLiteral("COM 3"));
    EXPECT_EQ(table().SelectedDevice, 0);
}

TEST_F(MainControllerTest, BrokenSettingsFilesDoNotCostTheDeviceList) {
    folder.addPictures();
    folder.write("gen.dat", relays(3));
    const QByteArray shortParams = hexBytes("0300000005");
    const QByteArray shortConfig = hexBytes("0200");
    folder.write("param.dat", shortParams);
    folder.write("config.cfg", shortConfig);
    start();
    EXPECT_EQ(messages.messages.size(), 2);
    EXPECT_EQ(table().DeviceCount, 3);
    EXPECT_EQ(view.tiles.size(), 3u);
    EXPECT_EQ(station->params, StationParams{});
    EXPECT_EQ(folder.read("param.dat"), shortParams);
    EXPECT_EQ(folder.read("config.cfg"), shortConfig);

    // The next add writes record 4, not record 1 over the first relay.
    controller->NAddNewObjectClick();
    EXPECT_EQ(folder.read("gen.dat"), relays(4));
}

TEST_F(MainControllerTest, MissingPicturesAreReportedAndStartUpGoesOn) {
    folder.write("gen.dat", relays(2));
    start();
    EXPECT_EQ(messages.messages.size(), 4);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Error);
    EXPECT_EQ(view.tiles.size(), 2u);
}

TEST_F(MainControllerTest, UnreadableDeviceFileIsNeverWrittenOver) {
    folder.addPictures();
    ASSERT_TRUE(folder.dir().mkdir("gen.dat"));
    start();
    ASSERT_EQ(messages.messages.size(), 1);
    controller->NAddNewObjectClick();
    EXPECT_EQ(table().DeviceCount, 1);
    EXPECT_EQ(messages.messages.size(), 2);
    EXPECT_TRUE(QFileInfo(folder.path("gen.dat")).isDir());
}

TEST_F(MainControllerTest, TileClicksSelectAndChooseTheMenuMask) {
    folder.addPictures();
    folder.write("gen.dat", relays(5));
    start();
    controller->NEWbmpClick(5);
    EXPECT_EQ(view.selectedTiles(), QVector<int>{5});
    EXPECT_EQ(view.menu, menu_masks::kIdleSelected);
    EXPECT_FALSE(view.enabled(MenuItem::NOPenWindow));

    controller->NEWbmpClick(3);
    EXPECT_EQ(view.selectedTiles(), QVector<int>{3});
    controller->NEWbmpClick(3);
    EXPECT_EQ(view.selectedTiles(), QVector<int>{3});
    EXPECT_EQ(table().SelectedDevice, 3);

    station->linkUp = true;
    controller->NEWbmpClick(2);
    EXPECT_EQ(view.menu, menu_masks::kLinkUpSilent);
    controller->setTileState(4, kTileAnswering);
    controller->NEWbmpClick(4);
    EXPECT_EQ(view.menu, menu_masks::kSelectedAnswering);

    EXPECT_TRUE(controller->opensTilePopup(4));
    EXPECT_FALSE(controller->opensTilePopup(2));
}

TEST_F(MainControllerTest, AddWritesOneRecordAndStopsAtThirtyTwo) {
    folder.addPictures();
    start();
    controller->NAddNewObjectClick();
    EXPECT_EQ(table().DeviceCount, 1);
    EXPECT_EQ(folder.read("gen.dat"), relays(1));
    EXPECT_TRUE(view.enabled(MenuItem::NConnecting));
    EXPECT_TRUE(view.enabled(MenuItem::NPosition));
    EXPECT_FALSE(view.enabled(MenuItem::NDelObject));
    EXPECT_EQ(view.tiles.at(1).generator, QStringLiteral("Ген. 1"));

    for (int n = 2; n <= 32; ++n) {
        controller->NAddNewObjectClick();
    }
    EXPECT_EQ(folder.read("gen.dat"), relays(32));
    EXPECT_FALSE(view.enabled(MenuItem::NAddNewObject));
    EXPECT_TRUE(messages.messages.isEmpty());
    // A mask that includes the item cannot enable it while the table is full.
    controller->EnableMenu(menu_masks::kIdle);
    EXPECT_FALSE(view.enabled(MenuItem::NAddNewObject));

    controller->NAddNewObjectClick();
    EXPECT_EQ(table().DeviceCount, 32);
    ASSERT_EQ(messages.messages.size(), 1);
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(folder.read("gen.dat"), relays(32));
    EXPECT_EQ(view.tiles.size(), 32u);
}

TEST_F(MainControllerTest, DeleteClosesUpRecordsAndTiles) {
    folder.addPictures();
    folder.write("gen.dat", relays(3));
    start();
    controller->setTileState(3, kTileEvent);
    controller->setTileValue(3, QStringLiteral("1500"));
    controller->NEWbmpClick(2);
    controller->NDelObjectClick();

    EXPECT_EQ(table().DeviceCount, 2);
    EXPECT_EQ(table().entry(2).GeneratorName, QStringLiteral("Ген. 3"));
    ASSERT_EQ(view.tiles.size(), 2u);
    EXPECT_EQ(view.tiles.at(2).generator, QStringLiteral("Ген. 3"));
    EXPECT_EQ(view.tiles.at(2).state, kTileEvent);
    EXPECT_EQ(view.tiles.at(2).value, QStringLiteral("1500"));
    EXPECT_TRUE(view.tiles.at(2).valueVisible);
    // The relay that moved into the selected place is now the selected one.
    EXPECT_EQ(table().SelectedDevice, 2);
    EXPECT_EQ(view.selectedTiles(), QVector<int>{2});
    EXPECT_TRUE(view.enabled(MenuItem::NDelObject));

    DeviceTable expected;
    expected.append(newDeviceEntry(1));
    expected.append(newDeviceEntry(3));
    EXPECT_EQ(folder.read("gen.dat"), expected.toFileBytes());

    // A new relay gets number 3 and address 3, which the old relay 3 still has.
    controller->NAddNewObjectClick();
    EXPECT_EQ(table().entry(3).Address, 3);
    EXPECT_EQ(table().entry(2).Address, 3);
}

TEST_F(MainControllerTest, DeletingTheLastRelayOfTheTable) {
    folder.addPictures();
    folder.write("gen.dat", relays(2));
    start();
    controller->NEWbmpClick(2);
    controller->NDelObjectClick();
    EXPECT_EQ(table().SelectedDevice, 0);
    EXPECT_FALSE(view.enabled(MenuItem::NDelObject));

    controller->NEWbmpClick(1);
    controller->NDelObjectClick();
    EXPECT_EQ(table().DeviceCount, 0);
    EXPECT_EQ(folder.read("gen.dat").size(), 0);
    EXPECT_FALSE(view.enabled(MenuItem::NDelObject));
    EXPECT_FALSE(view.enabled(MenuItem::NConnecting));
    EXPECT_FALSE(view.enabled(MenuItem::NPosition));
    EXPECT_TRUE(view.enabled(MenuItem::NAddNewObject));
    EXPECT_EQ(view.window.size(), QSize(505, 351));
}

TEST_F(MainControllerTest, DeleteWithNothingSelectedChangesNothing) {
    folder.addPictures();
    folder.write("gen.dat", relays(2));
    start();
    controller->NDelObjectClick();
    ASSERT_EQ(messages.texts(), QStringList{QStringLiteral("Выберете удаляемый блок!")});
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Warning);
    EXPECT_EQ(table().DeviceCount, 2);
    EXPECT_EQ(folder.read("gen.dat"), relays(2));
}

TEST_F(MainControllerTest, RegridRebuildsTilesOnlyWhenTheColumnsChange) {
    folder.addPictures();
    folder.write("gen.dat", relays(12));
    start();
    controller->NEWbmpClick(4);
    controller->setTileState(4, kTileAnswering);
    controller->setTileValue(4, QStringLiteral("250"));

    station->params.VisibleRows = 1;
    controller->regrid(false);
    EXPECT_EQ(view.tiles.at(4).state, kTileAnswering);
    EXPECT_EQ(view.window.height(), 472);

    station->params.TileColumns = 5;
    controller->regrid(true);
    EXPECT_EQ(view.tiles.at(6).offset, QPoint(0, 200));
    EXPECT_EQ(view.tiles.at(4).state, kTileNoAnswer);
    EXPECT_FALSE(view.tiles.at(4).valueVisible);
    EXPECT_EQ(station->tile(4).state, kTileNoAnswer);
    EXPECT_EQ(view.selectedTiles(), QVector<int>{4});
    EXPECT_EQ(view.window.width(), 505 + 320);
    // The grid reaches param.dat only through "Сохранить параметры".
    EXPECT_EQ(folder.read("param.dat"), hexBytes("01000000070000000300000000000000"));
    controller->NSaveParamClick();
    EXPECT_EQ(folder.read("param.dat"), hexBytes("01000000050000000100000000000000"));
    EXPECT_EQ(messages.texts(), QStringList{QStringLiteral("Параметры сохранены!")});
    EXPECT_EQ(messages.messages[0].icon, MessageIcon::Warning);
}

TEST_F(MainControllerTest, DeviceEditIsStoredAndSavedOrRefused) {
    folder.addPictures();
    folder.write("gen.dat", relays(3));
    start();
    controller->NEWbmpClick(2);
    EXPECT_EQ(controller->applyDeviceEdit({"Ген. 1", "x", 9}), DeviceEditCheck::NameTaken);
    EXPECT_EQ(messages.texts(),
              QStringList{QStringLiteral("Двигатель с таким названием уже существует!")});
    EXPECT_EQ(folder.read("gen.dat"), relays(3));

    EXPECT_EQ(controller->applyDeviceEdit({" ТГ-2 ", "Q2", 42}), DeviceEditCheck::Accepted);
    controller->showSelectedTileNames();
    EXPECT_EQ(view.tiles.at(2).generator, QStringLiteral("ТГ-2"));
    EXPECT_EQ(view.tiles.at(2).breaker, QStringLiteral("Q2"));
    const DeviceLoad reread = loadDeviceFile(folder.dir());
    EXPECT_EQ(reread.table.entry(2).GeneratorName, QStringLiteral("ТГ-2"));
    EXPECT_EQ(reread.table.entry(2).Address, 42);
}

TEST_F(MainControllerTest, LastEventTimeSurvivesARestartAndCountersDoNot) {
    folder.addPictures();
    DeviceTable t;
    DeviceEntry e = newDeviceEntry(1);
    e.LastEventTime = 46000.75;
    e.GoodAnswers = 100;
    t.append(e);
    folder.write("gen.dat", t.toFileBytes());
    start();
    EXPECT_EQ(table().entry(1).LastEventTime, 46000.75);
    EXPECT_EQ(table().entry(1).GoodAnswers, 0u);
}

}  // namespace
}  // namespace terval
