#include "io/tcp_link.h"

#include "devices/error_text.h"

namespace terval {
namespace {

// What went wrong with the connection, in the operator's words.
QString socketErrorText(QAbstractSocket::SocketError error) {
    switch (error) {
        case QAbstractSocket::ConnectionRefusedError:
            return QStringLiteral("устройство отказало в подключении");
        case QAbstractSocket::RemoteHostClosedError:
            return QStringLiteral("устройство закрыло соединение");
        case QAbstractSocket::HostNotFoundError:
            return QStringLiteral("адрес не найден");
        case QAbstractSocket::SocketTimeoutError:
            return QStringLiteral("устройство не отвечает");
        case QAbstractSocket::NetworkError:
            return QStringLiteral("сеть недоступна");
        case QAbstractSocket::SocketAccessError:
            return QStringLiteral("нет права на подключение");
        case QAbstractSocket::SocketResourceError:
            return QStringLiteral("не хватает системных ресурсов");
        default:
            return QStringLiteral("ошибка сети");
    }
}

}  // namespace

QtTcpLink::QtTcpLink(QObject* parent) : QObject(parent), socket_(this) {
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(&socket_, &QTcpSocket::stateChanged, this, &QtTcpLink::onStateChanged);
    connect(&socket_, &QTcpSocket::connected, this, [this] {
        // Small requests go out at once; nothing waits to be coalesced.
        socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (events_)
            events_->linkOpened();
    });
    connect(&socket_, &QTcpSocket::disconnected, this, [this] {
        if (events_)
            events_->linkDisconnected();
    });
    connect(&socket_, &QTcpSocket::errorOccurred, this, &QtTcpLink::onError);
    connect(&socket_, &QTcpSocket::readyRead, this, &QtTcpLink::onReadyRead);
}

bool QtTcpLink::open(const LinkTarget& target) {
    if (socket_.state() != QAbstractSocket::UnconnectedState) {
        close();
    }
    socket_.connectToHost(target.host, target.port);
    return true;
}

void QtTcpLink::close() {
    closing_ = true;
    socket_.abort();
    closing_ = false;
}

bool QtTcpLink::isActive() const {
    return socket_.state() != QAbstractSocket::UnconnectedState;
}

void QtTcpLink::send(QByteArrayView frame) {
    if (socket_.state() == QAbstractSocket::ConnectedState) {
        socket_.write(frame.data(), frame.size());
    }
}

void QtTcpLink::onStateChanged(QAbstractSocket::SocketState state) {
    if (!events_) {
        return;
    }
    if (state == QAbstractSocket::HostLookupState) {
        events_->linkLookup();
    } else if (state == QAbstractSocket::ConnectingState) {
        events_->linkConnecting();
    }
}

void QtTcpLink::onError(QAbstractSocket::SocketError error) {
    // A peer that closes its end is an end of the connection, not an error: the scheduler keeps
    // running and the reconnect rule opens the connection again.
    if (closing_ || error == QAbstractSocket::RemoteHostClosedError || !events_) {
        return;
    }
    events_->linkError(socketErrorText(error) + systemDetail(socket_.errorString()));
}

void QtTcpLink::onReadyRead() {
    const QByteArray bytes = socket_.readAll();
    if (events_ && !bytes.isEmpty()) {
        events_->bytesReceived(bytes);
    }
}

}  // namespace terval
