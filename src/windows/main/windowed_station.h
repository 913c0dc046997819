#pragma once

#include <QDir>
#include <QLocale>

#include "app/main_view_relay.h"
#include "service/station_assembly.h"
#include "windows/main/form_main.h"

namespace terval {

// The station with its windows, in the order their lives need: the relay the core shows through,
// then the core over the real links, then the main window with its secondary windows. They go in
// the reverse order, so that the core outlives every window that refers to it and shows nothing
// once the window has gone. main() owns one; the window tests build one as main() does.
class WindowedStation {
  public:
    WindowedStation(const QDir& folder, MessageSink& messages, const Clock& clock, QLocale locale,
                    PlantOptions plant = {});
    WindowedStation(const WindowedStation&) = delete;
    WindowedStation& operator=(const WindowedStation&) = delete;

    TFormMain& window() { return window_; }
    StationCore& core() { return station_.core(); }

  private:
    MainViewRelay shownThrough_;
    StationAssembly station_;
    TFormMain window_;
};

}  // namespace terval
