#include "app/station_core.h"

namespace terval {

StationCore::StationCore(const QDir& folder, MainView& view, MessageSink& messages,
                         const Clock& clock, QLocale locale, Link& serial, Link& tcp)
    : station(folder),
      main(station, view, messages, clock, std::move(locale)),
      scheduler(station, main, view),
      dispatcher(station, main, clock, main.locale(), scheduler),
      link(station, main, view, messages, clock, scheduler, dispatcher, serial, tcp) {
    scheduler.setLink(link);
}

void StationCore::start() {
    main.createMainWindow();
    link.serialSettings() = serialSettingsOf(station.connection, link.serialSettings());
}

SerialSettings serialSettingsOf(const ConnectionConfig& config, const SerialSettings& current) {
    SerialSettings s = current;
    s.portName = normalizePortName(config.portName);
    // Index 0 is a custom rate the record cannot hold: the port keeps its own.
    if (config.baudIndex > 0 && config.baudIndex < kBaudRates.size()) {
        s.baudRate = kBaudRates[config.baudIndex];
    }
    s.dataBitsIndex = config.dataBitsIndex;
    s.stopBitsIndex = config.stopBitsIndex;
    s.parityIndex = config.parityIndex;
    s.flowControlIndex = config.flowControlIndex;
    return s;
}

}  // namespace terval
