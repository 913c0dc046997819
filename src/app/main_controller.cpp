#include "app/main_controller.h"

#include <cmath>

#include "devices/tile_grid.h"
#include "poll/event_detection.h"
#include "station/date_time_text.h"

namespace terval {

MainController::MainController(Station& station, MainView& view, MessageSink& messages,
                               const Clock& clock, QLocale locale)
    : station_(station),
      view_(view),
      messages_(messages),
      clock_(clock),
      locale_(std::move(locale)) {}

void MainController::showAll(const QStringList& errors, const QStringList& warnings) {
    for (const QString& e : errors) {
        messages_.showMessage(MessageIcon::Error, e);
    }
    for (const QString& w : warnings) {
        messages_.showMessage(MessageIcon::Warning, w);
    }
}

void MainController::createMainWindow() {
    showAll(view_.loadTilePictures(station_.folder), {});
    station_.alarmLog.clear();
    view_.clearAlarmLog();

    station_.params = StationParams{};
    station_.devices = DeviceTable{};
    removeLeftoverTemporaries(station_.folder);
    removeLeftoverTemporaries(QDir(station_.folder.filePath(QStringLiteral("Protokols"))));
    loadConnectionConfig();
    loadParams();
    loadDevices();
    SettingsLoad settings = loadStationSettings(station_.folder);
    station_.settings = settings.settings;
    if (settings.error) {
        messages_.showMessage(MessageIcon::Error, *settings.error);
    }

    Timer1Timer();
    EnableMenu(station_.devices.DeviceCount == 0 ? menu_masks::kEmptyTable : menu_masks::kIdle);
    FitMainWindow();
}

void MainController::loadConnectionConfig() {
    ConfigLoad load = loadConfigFile(station_.configPath());
    station_.connection = load.config;
    showAll(load.errors, load.warnings);
    view_.setSerialDisplayVisible(station_.connection.isSerial());
}

void MainController::loadParams() {
    ParamLoad load = loadParamFile(station_.folder);
    station_.params = load.params;
    showAll(load.messages.errors, load.messages.warnings);
}

void MainController::loadDevices() {
    DeviceLoad load = loadDeviceFile(station_.folder);
    station_.deviceFileWritable = load.readable;
    showAll(load.messages.errors, load.messages.warnings);
    DeviceTable& table = station_.devices;
    const int count = load.table.DeviceCount;
    const double latest = toDateTimeValue(clock_.now().addDays(1));
    QStringList badTimes;
    for (int k = 1; k <= count; ++k) {
        DeviceEntry e = load.table.entry(k);
        // A time that cannot be, or one ahead of the computer's clock (a clock that was once
        // wrong), would keep every event of the relay from the log for good.
        const double t = e.LastEventTime;
        if (!std::isfinite(t) || t < 0.0 || t > latest) {
            badTimes << e.GeneratorName;
            e.LastEventTime = 0.0;
        } else if (t > 0.0) {
            const QTime time = fromDateTimeValue(t).time();
            e.minutePrecision = time.second() == 0 && time.msec() == 0;
        }
        table.append(e);
        MyNewElement();
    }
    if (!badTimes.isEmpty()) {
        station_.deviceTableUnsaved = true;
        messages_.showMessage(
            MessageIcon::Warning,
            QStringLiteral("В файле %1 записано невозможное время последнего события у "
                           "объектов: %2.\nИх новейшие протоколы будут проверены заново.")
                .arg(kDeviceFileName, badTimes.join(QStringLiteral(", "))));
    }
}

void MainController::Timer1Timer() {
    const QDateTime now = clock_.now();
    // The port the link opens, as config.cfg and the link settings name it: param.dat's port
    // number is kept for the file's sake but opens nothing.
    QString port = normalizePortName(station_.connection.portName);
    if (port.startsWith(QLatin1String("COM"))) {
        port.insert(3, QLatin1Char(' '));
    }
    view_.showClock(clockDateText(now.date(), locale_), clockTimeText(now.time(), locale_), port);
}

void MainController::EnableMenu(MenuMask mask) {
    if (station_.devices.isFull()) {
        mask &= static_cast<MenuMask>(~menuBit(MenuItem::NAddNewObject));
    }
    // Leaving the station is always possible, whatever the link is doing; it closes the link.
    mask |= menuBit(MenuItem::NExit);
    view_.applyMenuMask(mask);
}

void MainController::MyNewElement() {
    const int n = station_.devices.DeviceCount;
    const DeviceEntry& e = station_.devices.entry(n);
    station_.tile(n) = TileModel{};
    view_.buildTile(n, tileOffset(n, station_.params.TileColumns), e.GeneratorName, e.BreakerName);
}

void MainController::FitMainWindow(bool lastDeleted) {
    view_.placeWindow(fitMainWindow(station_.devices.DeviceCount, station_.params.TileColumns,
                                    station_.params.VisibleRows, lastDeleted,
                                    view_.availableArea()));
}

void MainController::SelectTile(int i) {
    DeviceTable& table = station_.devices;
    if (i < 1 || i > table.DeviceCount) {
        return;
    }
    if (table.hasSelection()) {
        view_.drawTileSelected(table.SelectedDevice, false);
    }
    table.SelectedDevice = i;
    view_.drawTileSelected(i, true);
}

void MainController::NEWbmpClick(int i) {
    if (i < 1 || i > station_.devices.DeviceCount) {
        return;
    }
    SelectTile(i);
    if (station_.tile(i).state != kTileNoAnswer) {
        EnableMenu(menu_masks::kSelectedAnswering);
    } else if (station_.linkUp) {
        EnableMenu(menu_masks::kLinkUpSilent);
    } else {
        EnableMenu(menu_masks::kIdleSelected);
    }
}

bool MainController::opensTilePopup(int i) const {
    return station_.devices.SelectedDevice != 0 && i == station_.devices.SelectedDevice;
}

void MainController::NAddNewObjectClick() {
    DeviceTable& table = station_.devices;
    if (table.isFull()) {
        messages_.showMessage(MessageIcon::Warning,
                              QStringLiteral("Станция ведёт не более %1 объектов.\n"
                                             "Новый объект не добавлен.")
                                  .arg(kMaxDevices));
        view_.setMenuItemEnabled(MenuItem::NAddNewObject, false);
        return;
    }
    const int n = table.DeviceCount + 1;
    table.append(newDeviceEntry(n));
    station_.journal.deviceAdded(n);
    MyNewElement();
    if (!station_.deviceFileWritable || station_.deviceTableUnsaved) {
        // Explains why the file is left alone, or writes the whole table, since the file does
        // not hold the records before the new one.
        SaveDeviceTable();
    } else if (FileError error = appendDeviceRecord(station_.folder, table, n)) {
        station_.deviceTableUnsaved = true;
        messages_.showMessage(MessageIcon::Error, *error);
    }
    FitMainWindow();
    view_.setMenuItemEnabled(MenuItem::NConnecting, true);
    view_.setMenuItemEnabled(MenuItem::NPosition, true);
    view_.setMenuItemEnabled(MenuItem::NDelObject, false);
    if (table.isFull()) {
        view_.setMenuItemEnabled(MenuItem::NAddNewObject, false);
    }
}

void MainController::NDelObjectClick() {
    DeviceTable& table = station_.devices;
    if (table.SelectedDevice == 0) {
        messages_.showMessage(MessageIcon::Warning, QStringLiteral("Выберете удаляемый блок!"));
        return;
    }
    const int removed = table.SelectedDevice;
    station_.journal.deviceDeleting(removed);
    table.remove(removed);
    const int n = table.DeviceCount;
    for (int k = removed; k <= n; ++k) {
        station_.tile(k) = station_.tile(k + 1);
        const DeviceEntry& e = table.entry(k);
        const TileModel& t = station_.tile(k);
        view_.showTileNames(k, e.GeneratorName, e.BreakerName);
        view_.showTileState(k, t.state);
        view_.showTileValue(k, t.value, t.valueVisible);
    }
    station_.tile(n + 1) = TileModel{};
    view_.freeTile(n + 1);
    if (table.SelectedDevice == n + 1) {
        table.SelectedDevice = 0;
    }
    SaveDeviceTable();
    if (n == 0) {
        view_.setMenuItemEnabled(MenuItem::NDelObject, false);
        view_.setMenuItemEnabled(MenuItem::NConnecting, false);
        view_.setMenuItemEnabled(MenuItem::NPosition, false);
    }
    FitMainWindow(n == 0);
    if (table.SelectedDevice == 0 || table.SelectedDevice > n) {
        // Nothing is selected any more: the commands on the selected relay have nothing to act on.
        view_.setMenuItemEnabled(MenuItem::NDelObject, false);
        view_.setMenuItemEnabled(MenuItem::NParam, false);
        view_.setMenuItemEnabled(MenuItem::NStatisticConnect, false);
    }
    view_.setMenuItemEnabled(MenuItem::NAddNewObject, !table.isFull());
}

void MainController::NSaveParamClick() {
    if (FileError error = saveParamFile(station_.folder, station_.params)) {
        messages_.showMessage(MessageIcon::Error, *error);
        return;
    }
    messages_.showMessage(MessageIcon::Warning, QStringLiteral("Параметры сохранены!"));
}

void MainController::regrid(bool columnsChanged) {
    DeviceTable& table = station_.devices;
    if (columnsChanged) {
        const int count = table.DeviceCount;
        for (int k = 1; k <= count; ++k) {
            view_.freeTile(k);
        }
        for (int k = 1; k <= count; ++k) {
            table.DeviceCount = k;
            MyNewElement();
        }
        table.DeviceCount = count;
    }
    FitMainWindow();
    if (table.hasSelection()) {
        view_.drawTileSelected(table.SelectedDevice, true);
    }
}

DeviceEditCheck MainController::applyDeviceEdit(const DeviceEdit& typed) {
    DeviceTable& table = station_.devices;
    if (!table.hasSelection()) {
        return DeviceEditCheck::Unchanged;
    }
    const DeviceEditCheck check = checkDeviceEdit(table, table.SelectedDevice, typed);
    if (check == DeviceEditCheck::Accepted) {
        const DeviceEdit edit = normalizedEdit(typed);
        DeviceEntry& e = table.entry(table.SelectedDevice);
        const DeviceNames before{e.Address, e.GeneratorName, e.BreakerName};
        e.GeneratorName = edit.name;
        e.BreakerName = edit.breaker;
        e.Address = static_cast<uint16_t>(edit.address);
        station_.journal.deviceChanged(table.SelectedDevice, before);
        SaveDeviceTable();
    } else if (check != DeviceEditCheck::Unchanged) {
        messages_.showMessage(MessageIcon::Error, deviceEditMessage(check));
    }
    return check;
}

void MainController::showSelectedTileNames() {
    const DeviceTable& table = station_.devices;
    if (table.hasSelection()) {
        const DeviceEntry& e = table.entry(table.SelectedDevice);
        view_.showTileNames(table.SelectedDevice, e.GeneratorName, e.BreakerName);
    }
}

bool MainController::SaveDeviceTable(SaveReport report) {
    const bool alreadyFailing = station_.deviceTableUnsaved;
    station_.deviceTableUnsaved = true;
    const bool quiet = report == SaveReport::FirstFailureOnly && alreadyFailing;
    if (!station_.deviceFileWritable) {
        if (quiet) {
            return false;
        }
        messages_.showMessage(
            MessageIcon::Error,
            QStringLiteral("Файл %1 не удалось прочитать при запуске, поэтому он не "
                           "перезаписывается: в нём по-прежнему хранится список объектов.\n"
                           "Изменения действуют до выхода из программы. Устраните причину и "
                           "перезапустите станцию.")
                .arg(kDeviceFileName));
        return false;
    }
    if (FileError error = saveDeviceFile(station_.folder, station_.devices)) {
        if (!quiet) {
            messages_.showMessage(MessageIcon::Error, *error);
        }
        return false;
    }
    station_.deviceTableUnsaved = false;
    return true;
}

void MainController::saveUnsavedAtExit() {
    if (station_.deviceTableUnsaved && station_.deviceFileWritable) {
        SaveDeviceTable(SaveReport::FirstFailureOnly);
    }
}

void MainController::setTileState(int i, int state) {
    TileModel& t = station_.tile(i);
    t.state = state;
    view_.showTileState(i, state);
    const QString lastAnswer =
        t.lastAnswer.isValid()
            ? QStringLiteral("Последний ответ: %1 %2")
                  .arg(locale_.toString(t.lastAnswer.date(), shortDateFormat(locale_)),
                       clockTimeText(t.lastAnswer.time(), locale_))
            : QStringLiteral("Ответов не было");
    view_.showTileAge(i, state == kTileNoAnswer, lastAnswer);
}

void MainController::setTileValue(int i, const QString& text) {
    TileModel& t = station_.tile(i);
    t.value = text;
    t.valueVisible = true;
    view_.showTileValue(i, text, true);
}

}  // namespace terval

namespace terval {

void MainController::EnableMenuLinkDown() {
    EnableMenu(station_.devices.hasSelection() ? menu_masks::kIdleSelected : menu_masks::kIdle);
}

void MainController::setAllTilesNoAnswer() {
    for (int i = 1; i <= station_.devices.DeviceCount; ++i) {
        if (station_.tile(i).state != kTileNoAnswer) {
            setTileState(i, kTileNoAnswer);
        }
    }
}

void MainController::enableAlarmCommands() {
    station_.alarmLog.commandsEnabled = true;
    view_.setAlarmCommandsEnabled(true);
}

void MainController::addAlarmLine(const QString& text) {
    station_.alarmLog.insertNew(text);
    view_.showAlarmLog(station_.alarmLog);
    MyItemIndex();
}

void MainController::MyItemIndex() {
    station_.alarmLog.select(0);
    view_.showAlarmLog(station_.alarmLog);
    // With the parameter window or another program in front the operator is busy elsewhere: the
    // selection stays on the relay he is looking at.
    if (view_.isMainWindowActive()) {
        SelectTile(station_.poll.PolledDevice());
    }
}

void MainController::MyNEnabled(const QString& line) {
    if (const int relay = relayOfAlarmLine(line); relay != 0) {
        SelectTile(relay);
    }
}

int MainController::relayOfAlarmLine(const QString& line) const {
    // The name stands between "  : " and the next ",": one relay's name may be part of another's
    // ("Ген. 1" of "Ген. 10"), so only the whole of it counts.
    static const QString kSeparator = QStringLiteral("  : ");
    const qsizetype nameAt = line.indexOf(kSeparator);
    if (nameAt < 0) {
        return 0;
    }
    const qsizetype from = nameAt + kSeparator.size();
    const qsizetype comma = line.indexOf(QLatin1Char(','), from);
    const QString name = line.mid(from, comma < 0 ? -1 : comma - from);
    const QString when = line.left(nameAt);
    const DeviceTable& table = station_.devices;
    int first = 0;
    for (int j = 1; j <= table.DeviceCount; ++j) {
        const DeviceEntry& e = table.entry(j);
        if (name.isEmpty() || e.GeneratorName != name) {
            continue;
        }
        // Two relays of one name after all: the one whose newest event is the line's.
        const QString eventWhen =
            alarmLineText(fromDateTimeValue(e.LastEventTime), e.GeneratorName, 0, locale_)
                .section(kSeparator, 0, 0);
        if (e.LastEventTime > 0.0 && eventWhen == when) {
            return j;
        }
        if (first == 0) {
            first = j;
        }
    }
    return first;
}

void MainController::RichEditMouseDown(int line) {
    AlarmLog& log = station_.alarmLog;
    log.select(line);
    view_.showAlarmLog(log);
    MyNEnabled(log.text(line));
}

void MainController::RichEditKeyDown(int key, int caretLine) {
    if (key != Qt::Key_Up && key != Qt::Key_Down) {
        return;
    }
    RichEditMouseDown(caretLine);
}

void MainController::NDelInsClick() {
    AlarmLog& log = station_.alarmLog;
    const int line = log.selectedLine();
    if (line >= 0 && line < log.size() && log.lines()[line].isNew) {
        station_.journal.alarmLineMarked(log.text(line), relayOfAlarmLine(log.text(line)));
    }
    log.markSeen(line);
    view_.showAlarmLog(log);
    MyNEnabled(log.text(line));
}

void MainController::NDelListClick() {
    AlarmLog& log = station_.alarmLog;
    const int line = log.selectedLine();
    if (line >= 0 && line < log.size()) {
        station_.journal.alarmLineDeleted(log.text(line), relayOfAlarmLine(log.text(line)));
    }
    log.remove(line);
    log.select(line);
    view_.showAlarmLog(log);
    MyNEnabled(log.text(line));
}

void MainController::NDelAllClick() {
    AlarmLog& log = station_.alarmLog;
    if (!log.isEmpty()) {
        station_.journal.alarmLogCleared(log.size());
    }
    log.clear();
    log.commandsEnabled = false;
    view_.showAlarmLog(log);
    view_.setAlarmCommandsEnabled(false);
}

}  // namespace terval
