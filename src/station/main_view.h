#pragma once

#include <QDir>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>
#include <QStringList>

#include "devices/alarm_log.h"
#include "devices/menu_mask.h"

namespace terval {

// What the main window shows, as the core asks for it. The Qt main window implements it; the tests
// implement it with a recording fake.
class MainView {
  public:
    virtual ~MainView() = default;

    // Loads Bitmap3, Bitmap2, Bitmap1 and Bitmap4 from the folder, in that order; returns one
    // message per picture that could not be loaded.
    virtual QStringList loadTilePictures(const QDir& folder) = 0;

    virtual void applyMenuMask(MenuMask mask) = 0;
    virtual void setMenuItemEnabled(MenuItem item, bool enabled) = 0;

    // Creates the four controls of tile i at tile 1's places moved by `offset`, in state 0 with its
    // value label hidden and its picture drawn unselected.
    virtual void buildTile(int i, QPoint offset, const QString& generator,
                           const QString& breaker) = 0;
    virtual void freeTile(int i) = 0;
    virtual void showTileNames(int i, const QString& generator, const QString& breaker) = 0;
    virtual void showTileState(int i, int state) = 0;
    virtual void showTileValue(int i, const QString& text, bool visible) = 0;
    // A tile whose relay does not answer keeps its last value, drawn so that it is not read as
    // live, with when the relay last answered under the mouse pointer.
    virtual void showTileAge(int i, bool stale, const QString& lastAnswer) = 0;
    virtual void drawTileSelected(int i, bool selected) = 0;

    // Outer frame of the main window, as the station computes it.
    virtual void placeWindow(const QRect& frame) = 0;
    virtual QSize screenSize() const = 0;
    // The part of the screen free of panels and task bars.
    virtual QRect availableArea() const = 0;

    virtual void setSerialDisplayVisible(bool visible) = 0;
    virtual void showClock(const QString& date, const QString& time, const QString& portLabel) = 0;
    virtual void clearAlarmLog() = 0;

    // The link display.
    enum class Led { TxD, RxD, Com };
    virtual void setLed(Led led, bool lit) = 0;
    // "ОТКРЫТ" in red on yellow, or "ЗАКРЫТ" in grey on the menu colour.
    virtual void showPortState(bool open) = 0;
    // The caption of NConnecting: "Отключиться" while the link is up, else "Установить связь".
    virtual void showConnectCommand(bool linkUp) = 0;
    virtual void setStatusText(const QString& text) = 0;
    // A short word on a link that is being made or waits to be made again ("Повтор через 4 с"),
    // beside the lamps where a narrow window still shows it; empty while the link is up or closed.
    virtual void showLinkAttempt(const QString& text) = 0;
    // The plant broker the station publishes to, at the right of the status bar: empty while the
    // station does not publish; `trouble` while the broker cannot be reached.
    virtual void showBrokerState(const QString& text, bool trouble) = 0;
    // The Modbus server the plant's control system reads, beside the broker: empty while off.
    virtual void showServerState(const QString& text) { (void)text; }
    // The 100 ms scheduler timer.
    virtual void setPollTimerRunning(bool running) = 0;

    // The alarm log: its lines with their colours and the selected line, and the log's pop-up.
    virtual void showAlarmLog(const AlarmLog& log) = 0;
    virtual void setAlarmCommandsEnabled(bool enabled) = 0;
    // Whether the main window is the application's active window (not a dialog over it, not
    // another application).
    virtual bool isMainWindowActive() const = 0;
};

}  // namespace terval
