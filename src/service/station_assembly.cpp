#include "service/station_assembly.h"

namespace terval {

StationAssembly::StationAssembly(const QDir& folder, MainView& view, MessageSink& messages,
                                 const Clock& clock, QLocale locale, PlantOptions plant)
    : serial_(folder),
      tcp_(),
      core_(folder, view, messages, clock, std::move(locale), serial_, tcp_, JournalOptions{}),
      publishing_(core_, std::move(plant)) {}

}  // namespace terval
