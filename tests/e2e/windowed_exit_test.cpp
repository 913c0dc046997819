// The windowed station told to end by the system (a session that ends, a shutdown, the terminal
// it was started from closed): it closes as "Выход" does and keeps what it held.
#include <gtest/gtest.h>
#include <signal.h>

#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>

#include "e2e/relay_sim_process.h"
#include "e2e/station_harness.h"
#include "support/wait_until.h"

namespace terval {
namespace {

using namespace std::chrono_literals;
using testing::RelaySimProcess;
using testing::tcpTo;
using testing::WorkFolder;

// One number from journal.db, read as another program would while the station runs.
qint64 count(const WorkFolder& folder, const QString& sql) {
    qint64 n = -1;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("peek"));
        db.setDatabaseName(folder.dir().absoluteFilePath(QStringLiteral("journal.db")));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(sql) && q.next()) {
                n = q.value(0).toLongLong();
            }
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("peek"));
    return n;
}

TEST(WindowedStation, SigtermOrSighupClosesItAsExitDoesKeepingTheReadingsAndTheJournal) {
    for (const int signo : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signo == SIGTERM ? "SIGTERM" : "SIGHUP");
        RelaySimProcess sim;
        ASSERT_TRUE(sim.start({"--tcp", "127.0.0.1:0", "--relays", "1,2"}))
            << qPrintable(sim.errors());
        WorkFolder folder;
        folder.addPictures();
        DeviceTable table;
        table.append(newDeviceEntry(1));
        table.append(newDeviceEntry(2));
        folder.write("gen.dat", table.toFileBytes());
        folder.write("config.cfg", tcpTo(sim.tcpPort()).toRecord());

        QProcess station;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        station.setProcessEnvironment(env);
        station.setWorkingDirectory(folder.dir().absolutePath());
        station.start(QStringLiteral(TERVAL_PROGRAM), {"--connect"});
        ASSERT_TRUE(station.waitForStarted(5000));
        // Polling, with the relays' first events found; their readings are still in memory, since
        // the station writes them once a minute.
        ASSERT_TRUE(testing::waitUntil(
            [&] { return count(folder, "SELECT count(*) FROM entries WHERE kind = 1") >= 2; }, 20s))
            << station.readAllStandardError().toStdString();
        ::kill(static_cast<pid_t>(station.processId()), signo);
        ASSERT_TRUE(station.waitForFinished(10000));
        EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(station.exitCode(), 0);
        EXPECT_EQ(count(folder, "SELECT kind FROM entries ORDER BY id DESC LIMIT 1"),
                  static_cast<qint64>(JournalKind::StationStopped));
        EXPECT_GT(count(folder, "SELECT count(*) FROM trend_samples"), 0);
    }
}

}  // namespace
}  // namespace terval
