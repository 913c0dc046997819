#pragma once

#include <QString>

#include "historian/historian_settings.h"
#include "support/postgres_cluster.h"

namespace terval::testing {

// A historian's settings for the test's own cluster: its database with the password from its file,
// attempts given up after 2 s, the spool in `spool`, topics under `prefix`.
inline HistorianSettings historianSettingsFor(const PostgresCluster& db, const QString& spool,
                                              const QString& prefix) {
    HistorianSettings s;
    s.broker.prefix = prefix;
    s.database.host = db.host();
    s.database.port = db.port();
    s.database.user = db.user();
    s.database.name = db.database();
    s.database.passwordFile = db.passwordFile();
    s.database.connectTimeoutSeconds = 2;
    s.spoolFolder = spool;
    return s;
}

}  // namespace terval::testing
