#pragma once

#include <QDir>
#include <QString>
#include <optional>
#include <vector>

#include "dcs/client_networks.h"

namespace terval {

// The Modbus TCP server the plant's control system reads the station through, from
// [modbus-server] of terval.ini and the command line. Off unless one of them gives a port.
struct DcsServerSettings {
    QString address = QStringLiteral("0.0.0.0");  // the station's IPv4 address to listen on
    int port = 502;                               // 0: any free port (the tests')
    std::optional<uint8_t> unit;                  // the unit identifier answered; any when empty
    std::vector<dcs::ClientNetwork> allowed;      // empty: every client
    QString allowedText;                          // as written, for messages
    int maxConnections = 8;
    // A client silent this long is closed; the control system polls far more often.
    int idleTimeoutMs = 60000;
};

// --modbus-server [ADDRESS:]PORT; empty when not given.
struct DcsServerCommandLine {
    QString addressPort;
};

struct DcsServerSettingsLoad {
    // Nothing when the server is off or the settings are wrong; then `error` says why.
    std::optional<DcsServerSettings> settings;
    QString error;
};

inline constexpr int kMostDcsConnections = 200;

// Reads [modbus-server] of terval.ini in `folder` (address, port, unit, allowedClients,
// maxConnections); the command line overrides the address and port.
DcsServerSettingsLoad loadDcsServerSettings(const QDir& folder,
                                            const DcsServerCommandLine& commandLine);

}  // namespace terval
