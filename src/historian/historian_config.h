#pragma once

#include <QString>
#include <optional>

#include "historian/historian_settings.h"

namespace terval {

inline const QString kPlantSettingsFileName = QStringLiteral("terval-plant.ini");

// The plant program's command line, as given; empty when not given.
struct PlantCommandLine {
    QString mqtt;            // HOST:PORT
    QString mqttPrefix;      // PREFIX
    QString db;              // postgresql://USER@HOST:PORT/DBNAME
    QString dbPasswordFile;  // FILE
    QString http;            // [ADDRESS:]PORT
    QString config;          // FILE
};

// Where the plant program looks when the command line does not say: the ini file without
// --config, the spool without [spool] folder. systemd gives the service its folders in
// CONFIGURATION_DIRECTORY and STATE_DIRECTORY; run by hand, the working folder serves.
struct PlantDefaults {
    QString workingFolder;
    QString configurationDirectory;  // $CONFIGURATION_DIRECTORY, may be empty
    QString stateDirectory;          // $STATE_DIRECTORY, may be empty
    static PlantDefaults fromEnvironment();
};

struct HistorianConfigLoad {
    // Nothing when a value is wrong or missing; then `error` says which and why, in Russian.
    std::optional<HistorianSettings> settings;
    QString error;
    QString configFile;  // the ini file read; empty when there was none
};

// Reads terval-plant.ini ([mqtt] as a station's terval.ini has it, without a station level;
// [database], [spool], [retention], [http]), lets the command line win, checks every value and
// reads the password files (a relative path in the file is taken from the file's folder, on the
// command line from the working folder). A broker and a database must be named, in the file or on
// the command line.
HistorianConfigLoad loadHistorianConfig(const PlantCommandLine& commandLine,
                                        const PlantDefaults& defaults);

// "postgresql://USER@HOST:PORT/DBNAME" (also "postgres://", the port may be left out) into
// `database`'s host, port, user and name; false with `error` for anything else, a password in it
// included.
bool parseDatabaseUrl(const QString& url, DatabaseSettings& database, QString* error);

// "[ADDRESS:]PORT" into `web`'s address and port, and turns it on.
bool parseHttpOption(const QString& text, WebSettings& web, QString* error);

}  // namespace terval
