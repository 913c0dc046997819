#pragma once

#include <QDir>
#include <QLocale>

#include "app/main_controller.h"
#include "link/link_controller.h"
#include "poll/dispatcher.h"
#include "poll/scheduler.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"
#include "station/station.h"

namespace terval {

// The station's rules, wired together: the state, the main window's rules, the dispatcher, the
// link and the scheduler. The main window owns one; the tests build one over fakes.
class StationCore {
  public:
    StationCore(const QDir& folder, MainView& view, MessageSink& messages, const Clock& clock,
                QLocale locale, Link& serial, Link& tcp);

    // Runs start-up: the stored files, the tiles, the menus.
    void start();

    Station station;
    MainController main;
    Scheduler scheduler;
    Dispatcher dispatcher;
    LinkController link;
};

// The serial settings that config.cfg gives the port at start-up.
SerialSettings serialSettingsOf(const ConnectionConfig& config, const SerialSettings& current);

}  // namespace terval
