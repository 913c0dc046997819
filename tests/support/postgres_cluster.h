#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <optional>

namespace terval::testing {

// A real PostgreSQL for one test: a cluster made by initdb in a temporary folder that goes with
// the object, started by pg_ctl on a loopback port of its own. PostgreSQL refuses to run as root,
// so a test run as root runs the server as the unprivileged user "postgres" (or "nobody" where the
// package's user is missing) through runuser. The cluster can be stopped and started again on the
// same port with its data, so that a client sees its database go away and come back.
//
//     PostgresCluster db;
//     ASSERT_TRUE(db.start()) << db.errors();
//     connect to db.host():db.port(), database db.database(), user db.user(), password from
//     db.passwordFile()
//
// Password authentication (scram-sha-256) for every connection, the test's own included.
class PostgresCluster {
  public:
    PostgresCluster();
    ~PostgresCluster();
    PostgresCluster(const PostgresCluster&) = delete;
    PostgresCluster& operator=(const PostgresCluster&) = delete;

    // Makes the cluster and its database at the first call, starts the server and waits until it
    // takes connections (up to 60 s); again after stop(), on the same port and with the same data.
    // False when it did not come up, with errors() saying why.
    bool start();
    // A fast shutdown (clients are disconnected), waiting until the server has ended.
    void stop();
    bool running() const;

    QString host() const { return QStringLiteral("127.0.0.1"); }
    // Chosen free when the object is made, so known before the first start().
    int port() const { return port_; }
    // The superuser the cluster was made with, and its database.
    QString user() const { return QStringLiteral("terval_test"); }
    QString database() const { return QStringLiteral("terval"); }
    QByteArray password() const { return QByteArrayLiteral("test-Pa55word"); }
    // A file holding password() alone, as a program's password file would.
    QString passwordFile() const;
    // "postgresql://terval_test@127.0.0.1:<port>/terval"
    QString url() const;
    // A folder of the test's own beside the cluster, for what the program under test keeps.
    QString scratchFolder() const;

    // Runs SQL through psql as the superuser on database() (or `database`): what it printed
    // (unaligned, no headers, fields separated by '|', one row per line, no trailing newline), or
    // nothing when psql failed (errors() says why). ON_ERROR_STOP is set.
    std::optional<QString> psql(const QString& sql, const QString& database = {});

    // The server's log, for a failing test's message.
    QString log() const;
    QString errors() const { return errors_; }

  private:
    bool prepare();
    bool runAsServerUser(const QStringList& command, int timeoutMs, QString* output = nullptr);
    QString path(const QString& name) const;

    QTemporaryDir dir_;
    int port_ = 0;
    bool prepared_ = false;
    bool running_ = false;
    QString errors_;
};

}  // namespace terval::testing
