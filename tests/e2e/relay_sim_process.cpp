#include "relay_sim_process.h"

#include <QDeadlineTimer>

namespace terval::testing {

RelaySimProcess::~RelaySimProcess() {
    stop();
}

bool RelaySimProcess::start(const QStringList& arguments) {
    process_.setProgram(QStringLiteral(RELAY_SIM));
    process_.setArguments(arguments);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start();
    if (!process_.waitForStarted(5000)) {
        errors_ = process_.errorString();
        return false;
    }
    listening_ = readLine(5000);
    const QStringList words = listening_.split(QLatin1Char(' '));
    if (words.size() >= 2 && words[0] == QLatin1String("listening") &&
        words[1] == QLatin1String("tcp") && words.size() == 4) {
        port_ = words[3].toInt();
    }
    if (!listening_.startsWith(QLatin1String("listening"))) {
        errors_ = QString::fromLocal8Bit(process_.readAllStandardError());
        return false;
    }
    return true;
}

QString RelaySimProcess::readLine(int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!process_.canReadLine()) {
        if (deadline.hasExpired() || process_.state() == QProcess::NotRunning) {
            return {};
        }
        process_.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
    }
    return QString::fromUtf8(process_.readLine()).trimmed();
}

QString RelaySimProcess::command(const QString& line) {
    process_.write((line + QLatin1Char('\n')).toUtf8());
    process_.waitForBytesWritten(2000);
    return readLine(5000);
}

void RelaySimProcess::kill() {
    if (process_.state() != QProcess::NotRunning) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

void RelaySimProcess::stop() {
    if (process_.state() == QProcess::NotRunning) {
        return;
    }
    process_.write("quit\n");
    process_.closeWriteChannel();
    if (!process_.waitForFinished(3000)) {
        kill();
    }
}

}  // namespace terval::testing
