#include "support/mosquitto_broker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>

#include "support/free_port.h"
#include "support/wait_until.h"

namespace terval::testing {
namespace {

constexpr int kStartMs = 5000;
constexpr int kStopMs = 5000;
constexpr int kToolMs = 30000;

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return false;
    }
    const sockaddr_in address = loopback(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

}  // namespace

MosquittoBroker::MosquittoBroker() : MosquittoBroker(Options{}) {}

MosquittoBroker::MosquittoBroker(Options options)
    : options_(std::move(options)), port_(freeLoopbackPort()) {}

MosquittoBroker::~MosquittoBroker() {
    stop();
}

QString MosquittoBroker::path(const QString& name) const {
    return dir_.filePath(name);
}

QString MosquittoBroker::caFile() const {
    return options_.tls ? path(QStringLiteral("ca.crt")) : QString();
}

QString MosquittoBroker::otherCaFile() const {
    return options_.tls ? path(QStringLiteral("other-ca.crt")) : QString();
}

bool MosquittoBroker::run(const QString& program, const QStringList& arguments) {
    QProcess tool;
    tool.setWorkingDirectory(dir_.path());
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    if (!tool.waitForFinished(kToolMs) || tool.exitStatus() != QProcess::NormalExit ||
        tool.exitCode() != 0) {
        errors_ = QStringLiteral("%1 %2 failed: %3 %4")
                      .arg(program, arguments.join(QLatin1Char(' ')), tool.errorString(),
                           QString::fromLocal8Bit(tool.readAll()));
        return false;
    }
    return true;
}

// The password file and the certificates, made once.
bool MosquittoBroker::prepare() {
    if (prepared_) {
        return true;
    }
    if (!dir_.isValid() || port_ == 0) {
        errors_ = QStringLiteral("no temporary folder or no free port");
        return false;
    }
    if (!options_.user.isEmpty() &&
        !run(QStringLiteral("mosquitto_passwd"),
             {QStringLiteral("-c"), QStringLiteral("-b"), path(QStringLiteral("passwords")),
              options_.user, QString::fromUtf8(options_.password)})) {
        return false;
    }
    if (options_.tls) {
        const QString openssl = QStringLiteral("openssl");
        const QStringList ec = {
            QStringLiteral("-newkey"), QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
            QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes")};
        const auto authority = [&](const QString& name, const QString& commonName) {
            return run(
                openssl,
                QStringList{QStringLiteral("req"), QStringLiteral("-x509")}
                    << ec
                    << QStringList{QStringLiteral("-keyout"), name + ".key", QStringLiteral("-out"),
                                   name + ".crt", QStringLiteral("-days"), QStringLiteral("2"),
                                   QStringLiteral("-subj"), "/CN=" + commonName,
                                   QStringLiteral("-addext"),
                                   QStringLiteral("basicConstraints=critical,CA:TRUE"),
                                   QStringLiteral("-addext"),
                                   QStringLiteral("keyUsage=critical,keyCertSign,cRLSign")});
        };
        QFile extensions(path(QStringLiteral("server.ext")));
        if (!authority(QStringLiteral("ca"), QStringLiteral("TERVAL test CA")) ||
            !authority(QStringLiteral("other-ca"), QStringLiteral("TERVAL other test CA")) ||
            !extensions.open(QIODevice::WriteOnly) ||
            extensions.write("basicConstraints=CA:FALSE\n"
                             "keyUsage=critical,digitalSignature,keyEncipherment\n"
                             "extendedKeyUsage=serverAuth\n"
                             "subjectAltName=IP:127.0.0.1,DNS:localhost\n") < 0) {
            if (errors_.isEmpty()) {
                errors_ = extensions.errorString();
            }
            return false;
        }
        extensions.close();
        if (!run(openssl,
                 QStringList{QStringLiteral("req")}
                     << ec
                     << QStringList{QStringLiteral("-keyout"), QStringLiteral("server.key"),
                                    QStringLiteral("-out"), QStringLiteral("server.csr"),
                                    QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1")}) ||
            !run(openssl,
                 {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                  QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.crt"),
                  QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                  QStringLiteral("-CAcreateserial"), QStringLiteral("-out"),
                  QStringLiteral("server.crt"), QStringLiteral("-days"), QStringLiteral("2"),
                  QStringLiteral("-extfile"), QStringLiteral("server.ext")})) {
            return false;
        }
    }
    prepared_ = true;
    return true;
}

bool MosquittoBroker::writeConfig() {
    // Run as root, mosquitto would become the user "mosquitto", who cannot read our folder;
    // naming the user we are keeps it as it is (and means nothing to anyone else).
    const passwd* self = ::getpwuid(::geteuid());
    QByteArray text =
        "# made by terval::testing::MosquittoBroker\n"
        "per_listener_settings false\n"
        "log_dest file " +
        path(QStringLiteral("mosquitto.log")).toUtf8() +
        "\n"
        "log_type all\n"
        "log_timestamp_format %H:%M:%S\n"
        "connection_messages true\n";
    if (self != nullptr) {
        text += "user " + QByteArray(self->pw_name) + "\n";
    }
    if (options_.persistence) {
        // Written at the stop (SIGTERM) and read at the next start.
        text += "persistence true\npersistence_location " + dir_.path().toUtf8() +
                "/\npersistence_file mosquitto.db\n";
    } else {
        text += "persistence false\n";
    }
    if (options_.user.isEmpty()) {
        text += "allow_anonymous true\n";
    } else {
        text +=
            "allow_anonymous false\n"
            "password_file " +
            path(QStringLiteral("passwords")).toUtf8() + "\n";
    }
    text += "listener " + QByteArray::number(port_) + " 127.0.0.1\n";
    if (options_.tls) {
        text += "cafile " + path(QStringLiteral("ca.crt")).toUtf8() + "\ncertfile " +
                path(QStringLiteral("server.crt")).toUtf8() + "\nkeyfile " +
                path(QStringLiteral("server.key")).toUtf8() + "\n";
    }
    QFile file(path(QStringLiteral("mosquitto.conf")));
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
        errors_ = QStringLiteral("mosquitto.conf: %1").arg(file.errorString());
        return false;
    }
    return true;
}

bool MosquittoBroker::start() {
    errors_.clear();
    if (running()) {
        return true;
    }
    if (!prepare() || !writeConfig()) {
        return false;
    }
    process_.setProgram(QStringLiteral("/usr/sbin/mosquitto"));
    process_.setArguments({QStringLiteral("-c"), path(QStringLiteral("mosquitto.conf"))});
    process_.setWorkingDirectory(dir_.path());
    process_.setStandardOutputFile(path(QStringLiteral("mosquitto.out")), QIODevice::Append);
    process_.setStandardErrorFile(path(QStringLiteral("mosquitto.out")), QIODevice::Append);
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start();
    if (!process_.waitForStarted(kStartMs)) {
        errors_ =
            QStringLiteral("/usr/sbin/mosquitto did not start: %1").arg(process_.errorString());
        return false;
    }
    const bool up =
        waitUntil([this] { return accepts(port_) || process_.state() == QProcess::NotRunning; },
                  std::chrono::milliseconds(kStartMs), std::chrono::milliseconds(10));
    if (!up || process_.state() == QProcess::NotRunning) {
        QFile out(path(QStringLiteral("mosquitto.out")));
        out.open(QIODevice::ReadOnly);
        errors_ = QStringLiteral("mosquitto does not take connections on port %1:\n%2\n%3")
                      .arg(QString::number(port_), QString::fromLocal8Bit(out.readAll()), log());
        stop();
        return false;
    }
    return true;
}

void MosquittoBroker::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    resume();
    process_.terminate();
    if (!process_.waitForFinished(kStopMs)) {
        process_.kill();
        process_.waitForFinished(kStopMs);
    }
}

void MosquittoBroker::pause() {
    if (running()) {
        ::kill(static_cast<pid_t>(process_.processId()), SIGSTOP);
    }
}

void MosquittoBroker::resume() {
    if (running()) {
        ::kill(static_cast<pid_t>(process_.processId()), SIGCONT);
    }
}

bool MosquittoBroker::running() const {
    return process_.state() != QProcess::NotRunning;
}

MqttSettings MosquittoBroker::clientSettings(const QString& station) const {
    MqttSettings settings;
    settings.host = host();
    settings.port = port_;
    settings.station = station;
    settings.clientId = QStringLiteral("terval-") + station;
    settings.prefix = QStringLiteral("terval");
    settings.user = options_.user;
    settings.password = options_.password;
    settings.caFile = caFile();
    return settings;
}

QString MosquittoBroker::log() const {
    QFile file(path(QStringLiteral("mosquitto.log")));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll());
}

SilentListener::SilentListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0) {
        return;
    }
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd_, 16) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd_);
        fd_ = -1;
        return;
    }
    port_ = ntohs(address.sin_port);
}

SilentListener::~SilentListener() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

MqttSettings SilentListener::clientSettings(const QString& station) const {
    MqttSettings s;
    s.host = QStringLiteral("127.0.0.1");
    s.port = port_;
    s.prefix = QStringLiteral("terval");
    s.station = station;
    s.clientId = QStringLiteral("terval-") + station;
    return s;
}

}  // namespace terval::testing
