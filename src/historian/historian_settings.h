#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

#include "plant/mqtt_settings.h"

namespace terval {

// The plant's PostgreSQL, from [database] of terval-plant.ini or --db
// postgresql://USER@HOST:PORT/DBNAME; the password only ever from a file.
struct DatabaseSettings {
    QString host;
    int port = 5432;
    QString user;
    QString name;
    QString passwordFile;
    QByteArray password;  // read from passwordFile at start; never shown or logged
    // Seconds a connection attempt may take before the database is taken for away.
    int connectTimeoutSeconds = 5;
    // "postgresql://terval_plant@db.plant.local:5432/terval", for messages (no password).
    QString url() const {
        return QStringLiteral("postgresql://%1@%2:%3/%4").arg(user, host).arg(port).arg(name);
    }
};

// The web view, from [http] of terval-plant.ini or --http [ADDRESS:]PORT; off unless a port is
// given, on loopback when no address is.
struct WebSettings {
    bool enabled = false;
    QString address = QStringLiteral("127.0.0.1");
    int port = 0;
    QString certificateFile;  // both set: HTTPS only
    QString keyFile;
    QString passwordFile;  // users and their password hashes; empty: no sign-in asked
    int maxConnections = 64;
    int maxSpanDays = 366 * 5;  // the longest period one query may ask for
    bool tls() const { return !certificateFile.isEmpty(); }
};

// Everything terval-plant runs with.
struct HistorianSettings {
    // The broker, as a station's [mqtt] has it (host, port, clientId, prefix, user, passwordFile,
    // caFile); clientId "terval-plant" by default, which names the persistent session.
    MqttSettings broker;
    DatabaseSettings database;
    // Where messages wait, on disk, while the database is away; written again in order.
    QString spoolFolder;
    qint64 spoolLimitBytes = qint64(1) << 30;
    // Months of partitions kept; 0 keeps everything.
    int retentionMonths = 0;
    WebSettings web;
};

}  // namespace terval
