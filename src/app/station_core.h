#pragma once

#include <QDir>
#include <QLocale>
#include <memory>
#include <optional>

#include "app/main_controller.h"
#include "journal/journal.h"
#include "link/link_controller.h"
#include "poll/dispatcher.h"
#include "poll/scheduler.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"
#include "station/station.h"

namespace terval {

// The station's rules, wired together: the state, the main window's rules, the dispatcher, the
// link and the scheduler, and the journal when the station keeps one. The main window owns one;
// the tests build one over fakes.
class StationCore {
  public:
    StationCore(const QDir& folder, MainView& view, MessageSink& messages, const Clock& clock,
                QLocale locale, Link& serial, Link& tcp,
                std::optional<JournalOptions> journal = std::nullopt);
    ~StationCore();
    StationCore(const StationCore&) = delete;
    StationCore& operator=(const StationCore&) = delete;

    // Runs start-up: the stored files, the tiles, the menus, and the journal opened.
    void start();
    // The station closes: what it was still waiting for is recorded, and the journal closed.
    void stop();

    // The journal, or nothing when this station keeps none.
    Journal* journal() { return journal_.get(); }

    Station station;
    MainController main;
    Scheduler scheduler;
    Dispatcher dispatcher;
    LinkController link;

  private:
    const Clock& clock_;
    MessageSink& messages_;
    std::optional<JournalOptions> journalOptions_;
    std::unique_ptr<Journal> journal_;
    bool stopped_ = false;
};

// The serial settings that config.cfg gives the port at start-up.
SerialSettings serialSettingsOf(const ConnectionConfig& config, const SerialSettings& current);

}  // namespace terval
