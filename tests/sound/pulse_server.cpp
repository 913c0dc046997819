#include "sound/pulse_server.h"

#include <signal.h>
#include <sys/prctl.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcessEnvironment>
#include <cstdlib>

#include "support/wait_until.h"

namespace terval::testing {
namespace {

constexpr int kStartMs = 10000;
constexpr int kStopMs = 5000;

QString pactl(const QString& server, const QStringList& arguments, bool* ok = nullptr) {
    QProcess tool;
    tool.start(QStringLiteral("pactl"),
               QStringList{QStringLiteral("--server=") + server} + arguments);
    const bool done = tool.waitForFinished(kStopMs) && tool.exitStatus() == QProcess::NormalExit &&
                      tool.exitCode() == 0;
    if (ok != nullptr) {
        *ok = done;
    }
    return QString::fromLocal8Bit(tool.readAllStandardOutput());
}

}  // namespace

PulseServer::PulseServer() = default;

PulseServer::~PulseServer() {
    stop();
}

QString PulseServer::address() const {
    return QStringLiteral("unix:") + dir_.filePath(QStringLiteral("native"));
}

bool PulseServer::start() {
    errors_.clear();
    if (!dir_.isValid()) {
        errors_ = QStringLiteral("no temporary folder");
        return false;
    }
    // Everything the daemon keeps goes into the folder, nothing into the home of whoever runs
    // the tests, and no user session of the machine is touched.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), dir_.path());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir_.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), dir_.filePath(QStringLiteral("config")));
    environment.remove(QStringLiteral("PULSE_SERVER"));
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    process_.setProcessEnvironment(environment);
    process_.setProgram(QStringLiteral("pulseaudio"));
    process_.setArguments(
        {QStringLiteral("--daemonize=no"), QStringLiteral("--exit-idle-time=-1"),
         QStringLiteral("--use-pid-file=no"), QStringLiteral("--system=no"),
         QStringLiteral("--disable-shm=yes"), QStringLiteral("-n"),
         QStringLiteral("--load=module-null-sink sink_name=") + QLatin1String(kSink),
         QStringLiteral("--load=module-native-protocol-unix auth-anonymous=1 socket=") +
             dir_.filePath(QStringLiteral("native"))});
    process_.setWorkingDirectory(dir_.path());
    process_.setStandardOutputFile(dir_.filePath(QStringLiteral("pulse.log")));
    process_.setStandardErrorFile(dir_.filePath(QStringLiteral("pulse.log")));
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start();
    if (!process_.waitForStarted(kStartMs)) {
        errors_ = QStringLiteral("pulseaudio did not start: %1").arg(process_.errorString());
        return false;
    }
    const bool up = waitUntil(
        [this] {
            bool ok = false;
            pactl(address(), {QStringLiteral("info")}, &ok);
            return ok || process_.state() == QProcess::NotRunning;
        },
        std::chrono::milliseconds(kStartMs), std::chrono::milliseconds(50));
    if (!up || process_.state() == QProcess::NotRunning) {
        QFile log(dir_.filePath(QStringLiteral("pulse.log")));
        log.open(QIODevice::ReadOnly);
        errors_ = QStringLiteral("pulseaudio takes no clients at %1:\n%2")
                      .arg(address(), QString::fromLocal8Bit(log.readAll()));
        stop();
        return false;
    }
    return true;
}

void PulseServer::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.terminate();
    if (!process_.waitForFinished(kStopMs)) {
        process_.kill();
        process_.waitForFinished(kStopMs);
    }
}

void PulseServer::useInThisProcess() const {
    // No daemon of the user's is started in its place, and the client's cookie stays here.
    const QString config = dir_.filePath(QStringLiteral("client.conf"));
    QFile file(config);
    if (file.open(QIODevice::WriteOnly)) {
        file.write("autospawn = no\nenable-shm = no\ncookie-file = " +
                   dir_.filePath(QStringLiteral("cookie")).toLocal8Bit() + "\n");
    }
    file.close();
    qputenv("PULSE_CLIENTCONFIG", config.toLocal8Bit());
    qputenv("PULSE_SERVER", address().toLocal8Bit());
}

int PulseServer::playingStreams() const {
    bool ok = false;
    const QString text =
        pactl(address(), {QStringLiteral("list"), QStringLiteral("sink-inputs")}, &ok);
    return ok ? static_cast<int>(text.count(QStringLiteral("Corked: no"))) : -1;
}

SinkRecorder::SinkRecorder(const PulseServer& server) {
    QObject::connect(&process_, &QProcess::readyReadStandardOutput,
                     [this] { bytes_ += process_.readAllStandardOutput(); });
    process_.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    process_.start(QStringLiteral("parec"),
                   {QStringLiteral("--server=") + server.address(),
                    QStringLiteral("--device=") + QLatin1String(PulseServer::kSink) +
                        QStringLiteral(".monitor"),
                    QStringLiteral("--raw"), QStringLiteral("--format=s16le"),
                    QStringLiteral("--channels=1"), QStringLiteral("--rate=44100"),
                    // Small fragments, so that what reached the sink is seen soon after.
                    QStringLiteral("--latency-msec=20")});
    process_.waitForStarted(kStartMs);
}

SinkRecorder::~SinkRecorder() {
    process_.kill();
    process_.waitForFinished(kStopMs);
}

int SinkRecorder::peak(qsizetype from, qsizetype to) const {
    int loudest = 0;
    const auto* data = reinterpret_cast<const int16_t*>(bytes_.constData());
    for (qsizetype i = std::max<qsizetype>(from, 0); i < std::min(to, samples()); ++i) {
        loudest = std::max(loudest, std::abs(static_cast<int>(data[i])));
    }
    return loudest;
}

bool pumpUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return waitUntil(
        [&condition] {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            return condition();
        },
        timeout, std::chrono::milliseconds(2));
}

}  // namespace terval::testing
