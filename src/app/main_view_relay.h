#pragma once

#include "station/main_view.h"

namespace terval {

// The main view the core is built over when the window that shows it is made after the core: the
// core needs a view from its first moment, the window needs the core to be made, and the core has
// to outlive the window. The window attaches itself once it exists and detaches as it goes; what
// the core shows while no window is attached (its last records at exit) is shown nowhere.
class MainViewRelay final : public MainView {
  public:
    // The view shown from now on, or nothing. It must stay until it is detached.
    void attach(MainView* view) { view_ = view; }
    bool attached() const { return view_ != nullptr; }

    QStringList loadTilePictures(const QDir& folder) override;
    void applyMenuMask(MenuMask mask) override;
    void setMenuItemEnabled(MenuItem item, bool enabled) override;
    void buildTile(int i, QPoint offset, const QString& generator, const QString& breaker) override;
    void freeTile(int i) override;
    void showTileNames(int i, const QString& generator, const QString& breaker) override;
    void showTileState(int i, int state) override;
    void showTileValue(int i, const QString& text, bool visible) override;
    void showTileAge(int i, bool stale, const QString& lastAnswer) override;
    void drawTileSelected(int i, bool selected) override;
    void placeWindow(const QRect& frame) override;
    QSize screenSize() const override;
    QRect availableArea() const override;
    void setSerialDisplayVisible(bool visible) override;
    void showClock(const QString& date, const QString& time, const QString& portLabel) override;
    void clearAlarmLog() override;
    void setLed(Led led, bool lit) override;
    void showPortState(bool open) override;
    void showConnectCommand(bool linkUp) override;
    void setStatusText(const QString& text) override;
    void showLinkAttempt(const QString& text) override;
    void showBrokerState(const QString& text, bool trouble) override;
    void showServerState(const QString& text) override;
    void setPollTimerRunning(bool running) override;
    void showAlarmLog(const AlarmLog& log) override;
    void setAlarmCommandsEnabled(bool enabled) override;
    bool isMainWindowActive() const override;

  private:
    MainView* view_ = nullptr;
};

}  // namespace terval
