#include "support/postgres_cluster.h"

#include <pwd.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>

#include "support/free_port.h"

namespace terval::testing {
namespace {

const QString kBin = QStringLiteral("/usr/lib/postgresql/15/bin/");
constexpr int kToolMs = 120000;
constexpr int kStartSeconds = 60;

// The user the server runs as when we are root: PostgreSQL will not run as root.
QString serverUser() {
    if (::geteuid() != 0) {
        return {};
    }
    return ::getpwnam("postgres") != nullptr ? QStringLiteral("postgres")
                                             : QStringLiteral("nobody");
}

}  // namespace

PostgresCluster::PostgresCluster() : port_(freeLoopbackPort()) {}

PostgresCluster::~PostgresCluster() {
    if (running_) {
        runAsServerUser({kBin + "pg_ctl", "-D", path("data"), "-m", "immediate", "-w", "stop"},
                        kToolMs);
    }
}

QString PostgresCluster::path(const QString& name) const {
    return dir_.filePath(name);
}

QString PostgresCluster::passwordFile() const {
    return path(QStringLiteral("password"));
}

QString PostgresCluster::scratchFolder() const {
    return path(QStringLiteral("scratch"));
}

QString PostgresCluster::url() const {
    return QStringLiteral("postgresql://%1@%2:%3/%4")
        .arg(user(), host())
        .arg(port_)
        .arg(database());
}

bool PostgresCluster::runAsServerUser(const QStringList& command, int timeoutMs, QString* output) {
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.setWorkingDirectory(dir_.path());
    const QString user = serverUser();
    if (user.isEmpty()) {
        tool.start(command.first(), command.mid(1));
    } else {
        tool.start(QStringLiteral("runuser"), QStringList{"-u", user, "--"} + command);
    }
    const bool finished = tool.waitForFinished(timeoutMs);
    const QString text = QString::fromLocal8Bit(tool.readAll());
    if (output != nullptr) {
        *output = text;
    }
    if (!finished || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        errors_ = QStringLiteral("%1 failed: %2 %3")
                      .arg(command.join(QLatin1Char(' ')), tool.errorString(), text);
        return false;
    }
    return true;
}

// The cluster and its database, made once; the folders belong to the server's user.
bool PostgresCluster::prepare() {
    if (prepared_) {
        return true;
    }
    if (!dir_.isValid() || port_ == 0) {
        errors_ = QStringLiteral("no temporary folder or no free port");
        return false;
    }
    QFile::setPermissions(dir_.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                           QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                           QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                           QFileDevice::ExeOther);
    QDir(dir_.path()).mkpath(QStringLiteral("scratch"));
    QFile password(passwordFile());
    if (!password.open(QIODevice::WriteOnly) || password.write(this->password() + "\n") < 0) {
        errors_ = QStringLiteral("password file: %1").arg(password.errorString());
        return false;
    }
    password.close();
    const QString user = serverUser();
    if (!user.isEmpty()) {
        QProcess::execute(QStringLiteral("chown"), {user, dir_.path(), passwordFile()});
    }
    if (!runAsServerUser(
            {kBin + "initdb", "-D", path("data"), "-U", this->user(), "--pwfile", passwordFile(),
             "--auth", "scram-sha-256", "-E", "UTF8", "--locale", "C.UTF-8", "--no-sync"},
            kToolMs)) {
        return false;
    }
    // Back to the test's own user: the program under test reads it as a password file.
    if (!user.isEmpty()) {
        QProcess::execute(QStringLiteral("chown"), {QStringLiteral("root"), passwordFile()});
    }
    prepared_ = true;
    return true;
}

bool PostgresCluster::start() {
    errors_.clear();
    if (running_) {
        return true;
    }
    const bool first = !prepared_;
    if (!prepare()) {
        return false;
    }
    const QString options = QStringLiteral(
                                "-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off "
                                "-c synchronous_commit=off -c full_page_writes=off")
                                .arg(port_)
                                .arg(dir_.path());
    if (!runAsServerUser({kBin + "pg_ctl", "-D", path("data"), "-l", path("server.log"), "-o",
                          options, "-t", QString::number(kStartSeconds), "-w", "start"},
                         kToolMs)) {
        errors_ += QLatin1Char('\n') + log();
        return false;
    }
    running_ = true;
    if (first &&
        !psql(QStringLiteral("CREATE DATABASE %1").arg(database()), QStringLiteral("postgres"))) {
        return false;
    }
    return true;
}

void PostgresCluster::stop() {
    if (!running_) {
        return;
    }
    runAsServerUser({kBin + "pg_ctl", "-D", path("data"), "-m", "fast", "-w", "stop"}, kToolMs);
    running_ = false;
}

bool PostgresCluster::running() const {
    return running_;
}

std::optional<QString> PostgresCluster::psql(const QString& sql, const QString& database) {
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PGPASSWORD"), QString::fromUtf8(password()));
    tool.setProcessEnvironment(environment);
    tool.start(QStringLiteral("psql"),
               {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", host(), "-p",
                QString::number(port_), "-U", user(), "-d",
                database.isEmpty() ? this->database() : database, "-c", sql});
    if (!tool.waitForFinished(kToolMs) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        errors_ =
            QStringLiteral("psql %1: %2 %3")
                .arg(sql, tool.errorString(), QString::fromLocal8Bit(tool.readAllStandardError()));
        return std::nullopt;
    }
    QString out = QString::fromUtf8(tool.readAllStandardOutput());
    while (out.endsWith(QLatin1Char('\n'))) {
        out.chop(1);
    }
    return out;
}

QString PostgresCluster::log() const {
    QFile file(path(QStringLiteral("server.log")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromLocal8Bit(file.readAll());
}

}  // namespace terval::testing
