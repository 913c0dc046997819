#pragma once

#include <QLocale>

#include "devices/device_editor.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"
#include "station/station.h"
#include "station/station_display.h"

namespace terval {

// The main window's rules: start-up, the tiles, the selection, the menus, adding and deleting
// relays, the grid and the clock. The Qt window forwards its events here and shows what it is told.
class MainController final : public StationDisplay, public DeviceEditing {
  public:
    MainController(Station& station, MainView& view, MessageSink& messages, const Clock& clock,
                   QLocale locale);

    Station& station() { return station_; }
    const Station& station() const { return station_; }

    // Everything that happens while the main window is created. A file that cannot be read is
    // reported and its values stay at their defaults; start-up always goes on to the device list.
    void createMainWindow();

    // Once a second: the clock and the port on the bottom panel, and the tiles' age.
    void Timer1Timer();

    void EnableMenu(MenuMask mask) override;

    // Builds tile DeviceCount: the caller has just made that entry.
    void MyNewElement();
    void FitMainWindow(bool lastDeleted = false);

    // Tile i drawn selected and every other one not; 0 selects none.
    void SelectTile(int i);
    // A click on tile i: it becomes the selected relay and the menus follow its state.
    void NEWbmpClick(int i);
    // Whether a right-button press on tile i's generator label opens the tile pop-up.
    bool opensTilePopup(int i) const;

    // "Добавить новый объект", "Удалить объект" and "Сохранить параметры".
    void NAddNewObjectClick();
    void NDelObjectClick();
    void NSaveParamClick();

    // After the grid dialog has closed with new values.
    void regrid(bool columnsChanged);

    // The device dialog's "Применить" for the selected relay; stores and saves an accepted edit,
    // shows the message of a refused one.
    DeviceEditCheck applyDeviceEdit(const DeviceEdit& edit) override;
    const DeviceTable& devices() const override { return station_.devices; }
    // After the device dialog has closed with a change applied.
    void showSelectedTileNames();

    // An unsaved table is written again at the next change and at exit.
    bool SaveDeviceTable(SaveReport report = SaveReport::EveryFailure) override;
    // At exit: the device list, if a change is still unsaved.
    void saveUnsavedAtExit();
    void setTileState(int i, int state) override;
    void setTileValue(int i, const QString& text) override;
    void EnableMenuLinkDown() override;
    void setAllTilesNoAnswer() override;

    MainView& view() { return view_; }
    MessageSink& messages() { return messages_; }
    const Clock& clock() const { return clock_; }
    const QLocale& locale() const { return locale_; }

    // The alarm log.
    void addAlarmLine(const QString& text) override;
    // A new alarm line: it is selected, and so is its relay unless the operator is in another
    // window.
    void MyItemIndex();
    // Selects the relay an alarm line names, so that F3 opens it.
    void MyNEnabled(const QString& line);
    // The relay an alarm line names; 0 when none of the table has that name.
    int relayOfAlarmLine(const QString& line) const;
    // A click or double click on a line, and the arrow keys in the log: that line is selected.
    void RichEditMouseDown(int line);
    void RichEditKeyDown(int key, int caretLine);
    // The log's pop-up: "Снять выделение" (the line turns green, read), "Удалить выбранную
    // аварию", "Удалить все аварии".
    void NDelInsClick();
    void NDelListClick();
    void NDelAllClick();
    void enableAlarmCommands() override;

  private:
    void loadConnectionConfig();
    void loadParams();
    void loadDevices();
    void showAll(const QStringList& errors, const QStringList& warnings);

    Station& station_;
    MainView& view_;
    MessageSink& messages_;
    const Clock& clock_;
    QLocale locale_;
};

}  // namespace terval
