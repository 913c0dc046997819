#include "service/station_assembly.h"

namespace terval {

StationAssembly::StationAssembly(const QDir& folder, MainView& view, MessageSink& messages,
                                 const Clock& clock, QLocale locale, PlantOptions plant,
                                 DcsOptions dcs)
    : serial_(folder),
      tcp_(),
      core_(folder, view, messages, clock, std::move(locale), serial_, tcp_, JournalOptions{}),
      publishing_(core_, std::move(plant)),
      dcsServing_(core_, std::move(dcs)),
      mapServing_(
          core_,
          [this](const station_map::StationMapImage& image) {
              dcsServing_.publish(std::make_shared<const station_map::StationMapImage>(image));
          },
          [this] { return dcsServing_.server() != nullptr; }) {}

}  // namespace terval
