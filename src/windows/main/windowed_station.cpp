#include "windows/main/windowed_station.h"

namespace terval {

WindowedStation::WindowedStation(const QDir& folder, MessageSink& messages, const Clock& clock,
                                 QLocale locale, PlantOptions plant)
    : station_(folder, shownThrough_, messages, clock, std::move(locale), std::move(plant)),
      window_(station_.core(), shownThrough_, messages, clock) {}

}  // namespace terval
