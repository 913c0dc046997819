#pragma once

#include <QDateTime>
#include <QDir>
#include <QLocale>
#include <QObject>
#include <QStringList>
#include <QTextStream>
#include <QTimer>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app/station_core.h"
#include "service/station_assembly.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"

namespace terval {

// What the main window and its message boxes would show, written as lines of text for a service's
// log (journalctl): one line per thing that changed, each headed by the date and time. What the
// windows repeat at every poll (the same tile state, the clock, the lamps, a countdown) is not
// repeated here, so that a station polling for months leaves a log worth reading.
class StationLog final : public MainView, public MessageSink, public RecordFeed {
  public:
    StationLog(QTextStream& out, const Clock& clock);

    // The relays' addresses for the tile lines; until then a tile is named by its name alone.
    void setStation(const Station* station) { station_ = station; }
    // Called when the poll timer is to run or stop.
    void setPollTimer(std::function<void(bool)> pollTimer) { pollTimer_ = std::move(pollTimer); }
    // A line of the station's own: start, stop, a signal received.
    void note(const QString& text);
    // The menu item as the windows would have it: whether "Установить связь" could be chosen.
    bool menuItemEnabled(MenuItem item) const { return menuEnabled(menu_, item); }

    // RecordFeed: every move of an alarm, as the alarm window would show it.
    void recorded(const JournalEntry& entry) override;
    void statusRead(int, const StatusReading&) override {}

    // MessageSink
    void showMessage(MessageIcon icon, const QString& text, const QString& caption = {}) override;

    // MainView
    QStringList loadTilePictures(const QDir& folder) override;
    void applyMenuMask(MenuMask mask) override { menu_ = mask; }
    void setMenuItemEnabled(MenuItem item, bool enabled) override;
    void buildTile(int i, QPoint offset, const QString& generator, const QString& breaker) override;
    void freeTile(int i) override;
    void showTileNames(int i, const QString& generator, const QString& breaker) override;
    void showTileState(int i, int state) override;
    void showTileValue(int, const QString&, bool) override {}
    void showTileAge(int, bool, const QString&) override {}
    void drawTileSelected(int, bool) override {}
    void placeWindow(const QRect&) override {}
    QSize screenSize() const override;
    QRect availableArea() const override;
    void setSerialDisplayVisible(bool visible) override { serialDisplay_ = visible; }
    void showClock(const QString&, const QString&, const QString&) override {}
    void clearAlarmLog() override { alarmLines_.clear(); }
    void setLed(Led, bool) override {}
    // A serial port that opens says nothing on the status line: its label is the only sign.
    void showPortState(bool open) override;
    void showConnectCommand(bool) override {}
    void setStatusText(const QString& text) override;
    void showLinkAttempt(const QString& text) override;
    void showBrokerState(const QString& text, bool trouble) override;
    void showServerState(const QString& text) override;
    void setPollTimerRunning(bool running) override;
    void showAlarmLog(const AlarmLog& log) override;
    void setAlarmCommandsEnabled(bool) override {}
    // Nobody sits in front of it: a new alarm does not move the selection to its relay.
    bool isMainWindowActive() const override { return false; }

  private:
    struct Tile {
        QString generator;
        std::optional<int> state;
    };
    void write(const QString& text);
    QString tileName(int i) const;

    QTextStream& out_;
    const Clock& clock_;
    const Station* station_ = nullptr;
    std::function<void(bool)> pollTimer_;
    MenuMask menu_ = 0;
    std::map<int, Tile> tiles_;
    // The alarm log's lines as last shown, newest first.
    QStringList alarmLines_;
    // Status text and link attempt with their countdowns folded, as last written.
    std::optional<QString> status_;
    QString attempt_;
    // Attempts that repeat while the status stays the same are told once a minute, not at every
    // retry of a port that stays away.
    std::map<QString, QDateTime> attemptsTold_;
    QString broker_;
    bool brokerTrouble_ = false;
    QString server_;
    bool serialDisplay_ = false;
    std::optional<bool> portOpen_;
};

// The station without windows: the same core as the main window's, over the real serial and TCP
// links, polling from the moment it starts; what the windows would show goes to the log.
class HeadlessStation {
  public:
    HeadlessStation(const QDir& folder, const Clock& clock, QLocale locale, PlantOptions plant,
                    QTextStream& log, DcsOptions dcs = {});
    ~HeadlessStation();
    HeadlessStation(const HeadlessStation&) = delete;
    HeadlessStation& operator=(const HeadlessStation&) = delete;

    // Start-up as the main window's, then "Установить связь" at once. False when the folder holds
    // no relay to poll: the station has then been shut down again, having said why.
    bool start();
    // What "Выход" does: the link closed, the device list saved if it has to be, the journal's
    // last records written and the journal closed. Once; later calls do nothing.
    void shutDown();

    StationCore& core() { return station_.core(); }
    StationLog& log() { return log_; }

  private:
    QDir folder_;
    // Before the station, which shows and tells through it to its last moment.
    StationLog log_;
    StationAssembly station_;
    // After the station: they go first, and nothing calls it once it is gone.
    QTimer pollTimer_;
    QTimer secondTimer_;
    bool started_ = false;
    bool shutDown_ = false;
};

// `terval --headless`: runs the station of `folder` on the running QCoreApplication's event loop
// until SIGTERM, SIGINT or SIGHUP. 0 after such a stop; 1 when the folder has nothing to poll or
// the signals cannot be caught.
// `pace`, when given, is the poll's pace for this run whatever terval.ini says.
int runHeadlessStation(const QDir& folder, PlantOptions plant, QTextStream& log,
                       DcsOptions dcs = {}, std::optional<PollPace> pace = std::nullopt);

}  // namespace terval
