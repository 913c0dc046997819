#include "app/station_core.h"

namespace terval {

StationCore::StationCore(const QDir& folder, MainView& view, MessageSink& messages,
                         const Clock& clock, QLocale locale, SerialPortDevice& serial,
                         TcpClientSocket& socket)
    : station(folder),
      main(station, view, messages, clock, std::move(locale)),
      dispatcher(station, main),
      link(station, main, dispatcher, serial, socket),
      scheduler(station, main, link) {}

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
