#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <optional>

namespace terval {

// The broker the station publishes to, from [mqtt] of terval.ini and the command line.
struct MqttSettings {
    QString host;
    int port = 1883;
    QString clientId;  // default "terval-<station>"
    QString prefix = QStringLiteral("terval");
    QString station;  // the topic level naming this station; default: the host name
    QString user;
    QString passwordFile;  // the password is read from this file, never given otherwise
    QByteArray password;   // read from passwordFile at start; never shown or recorded
    QString caFile;        // TLS is used when set
    int qos = 0;           // for states and the link; events go with at least 1

    bool tls() const { return !caFile.isEmpty(); }
    // "<prefix>/<station>/"
    QByteArray topicRoot() const {
        return (prefix + QLatin1Char('/') + station + QLatin1Char('/')).toUtf8();
    }
    // "10.0.0.5:1883", as messages and the journal name the broker.
    QString brokerName() const { return host + QLatin1Char(':') + QString::number(port); }
};

// --mqtt HOST:PORT and --mqtt-prefix PREFIX; empty when not given.
struct MqttCommandLine {
    QString hostPort;
    QString prefix;
};

struct MqttSettingsLoad {
    // Nothing when publishing is off (no host in terval.ini nor on the command line) or when the
    // settings are wrong; then `error` says why.
    std::optional<MqttSettings> settings;
    QString error;
};

// Reads [mqtt] of terval.ini in `folder` (host, port, clientId, prefix, station, user,
// passwordFile, caFile, qos), lets the command line override host, port and prefix, checks every
// value and reads the password file (a relative path is taken from `folder`). `hostName` is the
// default station name.
MqttSettingsLoad loadMqttSettings(const QDir& folder, const MqttCommandLine& commandLine,
                                  const QString& hostName);

// The same [mqtt] keys and checks for another program of the project (the plant program reads
// them from terval-plant.ini, with no station level of its own).
struct MqttSectionRules {
    QString fileName;          // in `folder`; named in the messages
    bool stationLevel = true;  // false: `station` is not read, the client id defaults below
    QString hostName;          // the default station name
    QString defaultClientId;   // without a station level
    QString errorLead;         // heads every message
};
MqttSettingsLoad loadMqttSection(const QDir& folder, const MqttSectionRules& rules,
                                 const MqttCommandLine& commandLine);

}  // namespace terval
