#pragma once

#include <QDir>
#include <QElapsedTimer>
#include <QLocale>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "alarms/alarm_book.h"
#include "app/main_controller.h"
#include "app/station_companion.h"
#include "journal/insulation_trend.h"
#include "journal/journal.h"
#include "link/link_controller.h"
#include "param/param_window_model.h"
#include "poll/dispatcher.h"
#include "poll/scheduler.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"
#include "station/station.h"

namespace terval {

// Wakes the poll machine at the pace of the line: a single-shot timer of the finest resolution the
// system gives, which a wait of a few milliseconds needs.
class TimerPollWaker final : public PollWaker {
  public:
    explicit TimerPollWaker(std::function<void()> wake);
    void wakeAfter(std::chrono::microseconds delay) override;
    std::chrono::microseconds now() const override;

  private:
    QTimer timer_;
    QElapsedTimer clock_;
};

// The station's rules, wired together: the state, the main window's rules, the dispatcher, the
// link and the scheduler, the parameter window's rules, and the journal when the station keeps one.
// main() builds one over the real links, for the windows or for the service alike, and it outlives
// every window that shows it; the tests build one over fakes.
class StationCore {
  public:
    StationCore(const QDir& folder, MainView& view, MessageSink& messages, const Clock& clock,
                QLocale locale, Link& serial, Link& tcp,
                std::optional<JournalOptions> journal = std::nullopt);
    ~StationCore();
    StationCore(const StationCore&) = delete;
    StationCore& operator=(const StationCore&) = delete;

    // The folders that a working folder's missing tile pictures are copied from at start-up;
    // none unless given, so that a test's folder holds only what the test put there.
    void setTilePictureSources(QStringList folders) { tilePictureSources_ = std::move(folders); }
    // Runs start-up: the stored files, the tiles, the menus, and the journal opened.
    void start();
    // The station closes: what it was still waiting for is recorded, and the journal closed.
    void stop();
    // Once a second: the main window's clock and tiles, and the insulation readings written to
    // the journal every few seconds, trimmed to their age once a day.
    void Timer1Timer();

    // The journal, or nothing when this station keeps none.
    Journal* journal() { return journal_.get(); }
    // The insulation trend kept in the journal, or nothing without one.
    InsulationTrend* trend() { return trend_.get(); }
    // A companion joins the station for its whole run: started with it (at once when the
    // station runs already), told every second, stopped before the journal closes, the last to
    // join first. One that goes before the station leaves it first.
    void addCompanion(StationCompanion& companion);
    void removeCompanion(StationCompanion& companion);
    // The links the station was built over, for closing them at exit.
    Link& serialLink() { return serial_; }
    Link& tcpLink() { return tcp_; }

    // How often the readings gathered in memory are written: what a crash may lose. Each write
    // rewrites the newest pages of every relay's series whatever it holds, so a minute rather
    // than seconds keeps the disk from being worn for nothing (0.6 GB a day for 32 relays).
    static constexpr int kTrendFlushSeconds = 60;

    Station station;
    MainController main;
    Scheduler scheduler;
    Dispatcher dispatcher;
    LinkController link;
    // The alarms, moved by the station's records as the journal's writer sees them; the windows
    // give it their sound and listen to it.
    AlarmBook alarms;
    // The parameter window's rules: the window comes and goes, what the rules keep between its
    // openings (a report asked for just before a close) stays with the station.
    ParamWindowModel paramWindow;

    // "--poll wire|tick": the pace for this run, whatever terval.ini says; applied once start-up
    // has read it.
    void setPaceFromCommandLine(PollPace pace);

  private:
    template <class Tell>
    void tellCompanions(bool lastFirst, const Tell& tell);

    Link& serial_;
    Link& tcp_;
    TimerPollWaker waker_;
    std::optional<PollPace> commandLinePace_;
    const Clock& clock_;
    MessageSink& messages_;
    std::optional<JournalOptions> journalOptions_;
    std::unique_ptr<Journal> journal_;
    std::unique_ptr<InsulationTrend> trend_;
    QStringList tilePictureSources_;
    std::vector<StationCompanion*> companions_;
    QDateTime lastFlush_;
    QDate lastTrim_;
    bool started_ = false;
    bool stopped_ = false;
};

// The serial settings that config.cfg gives the port at start-up.
SerialSettings serialSettingsOf(const ConnectionConfig& config, const SerialSettings& current);

}  // namespace terval
