#include "link/link_transport.h"

#include <algorithm>
#include <iterator>

#include "station/station.h"

namespace terval {
namespace {

// A serial device that has gone is looked for again this often.
constexpr int kSerialRetrySeconds = 5;
// A TCP connection that is neither made nor refused by then is given up.
constexpr int kConnectTimeoutTicks = 5 * LinkController::kTicksPerSecond;
// The pauses before the next TCP attempt, one more failure each; the last one repeats.
constexpr int kTcpPauses[] = {2, 4, 8, 16, 30};

}  // namespace

// ---- serial ----

QString LinkController::SerialLinkTransport::journalName() const {
    return (pointToPoint_ ? QStringLiteral("RS-232 ") : QStringLiteral("RS-485 ")) +
           c_.serialSettings_.portName;
}

QString LinkController::SerialLinkTransport::attemptsStoppedText() const {
    return QStringLiteral("Попытки открыть СОМ порт %1 прекращены")
        .arg(c_.serialSettings_.portName);
}

int LinkController::SerialLinkTransport::retryPauseSeconds(int) const {
    return kSerialRetrySeconds;
}

void LinkController::SerialLinkTransport::open() {
    c_.openSerial();
}

void LinkController::SerialLinkTransport::openAgain() {
    // Success is reported at once and opens the link; a device still missing waits again.
    if (!link_.open(c_.target())) {
        c_.waitAndRetry(c_.waitingReason_);
    }
}

void LinkController::SerialLinkTransport::opened() {
    c_.ComPortAfterOpen();
}

void LinkController::SerialLinkTransport::failed(const QString& text) {
    // A write that failed on a port that is still there: the request ends in its timeout.
    c_.reportOnce(text);
}

void LinkController::SerialLinkTransport::lost(const QString& text) {
    c_.portLost(text);
}

// ---- TCP ----

QString LinkController::TcpLinkTransport::journalName() const {
    const ConnectionConfig& c = c_.station_.connection;
    return QStringLiteral("Ethernet TCP/IP %1:%2").arg(c.ipText()).arg(c.tcpPort);
}

QString LinkController::TcpLinkTransport::attemptsStoppedText() const {
    return QStringLiteral("Подключение к устройству - %1 отменено").arg(c_.linkDescription_);
}

int LinkController::TcpLinkTransport::retryPauseSeconds(int failedAttempts) const {
    return kTcpPauses[std::min<size_t>(static_cast<size_t>(failedAttempts),
                                       std::size(kTcpPauses) - 1)];
}

void LinkController::TcpLinkTransport::open() {
    c_.openTcp();
}

void LinkController::TcpLinkTransport::openAgain() {
    c_.openingTicks_ = 0;
    link_.open(c_.target());
}

void LinkController::TcpLinkTransport::openingTick() {
    if (++c_.openingTicks_ >= kConnectTimeoutTicks) {
        c_.closeQuietly(link_);
        c_.waitAndRetry(QStringLiteral("Возникла ошибка при подключении к устройству - ") +
                        c_.linkDescription_ + QStringLiteral(" (устройство не ответило за 5 с)"));
    }
}

void LinkController::TcpLinkTransport::opened() {
    c_.ClientSocketConnect();
}

void LinkController::TcpLinkTransport::failed(const QString& text) {
    c_.socketFailed(text.section(QLatin1Char('\n'), 0, 0));
}

bool LinkController::TcpLinkTransport::takesSendPoint() {
    // A connection that has stopped answering is dropped, and opened again at the next send
    // point; neither tick sends anything.
    const Station& station = c_.station_;
    if (station.poll.ConsecutiveTimeouts() <= 2 * station.devices.DeviceCount) {
        return false;
    }
    c_.scheduler_.requestNotSent();
    if (link_.isActive()) {
        c_.closeQuietly(link_);
    } else {
        link_.open(c_.target());
        c_.scheduler_.reconnecting();
    }
    return true;
}

}  // namespace terval
