#include "link/tcp_link.h"

#include "link/link_controller.h"

namespace terval {

QtTcpClientSocket::QtTcpClientSocket(QObject* parent) : QObject(parent), socket_(this) {
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(&socket_, &QTcpSocket::stateChanged, this, &QtTcpClientSocket::onStateChanged);
    connect(&socket_, &QTcpSocket::connected, this, [this] {
        // Small requests go out at once; nothing waits to be coalesced.
        socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (controller_)
            controller_->ClientSocketConnect();
    });
    connect(&socket_, &QTcpSocket::disconnected, this, [this] {
        if (controller_)
            controller_->ClientSocketDisconnect();
    });
    connect(&socket_, &QTcpSocket::errorOccurred, this, &QtTcpClientSocket::onError);
    connect(&socket_, &QTcpSocket::readyRead, this, &QtTcpClientSocket::onReadyRead);
}

void QtTcpClientSocket::activate(const QString& host, uint16_t port) {
    if (socket_.state() != QAbstractSocket::UnconnectedState) {
        deactivate();
    }
    socket_.connectToHost(host, port);
}

void QtTcpClientSocket::deactivate() {
    closing_ = true;
    socket_.abort();
    closing_ = false;
}

bool QtTcpClientSocket::isActive() const {
    return socket_.state() != QAbstractSocket::UnconnectedState;
}

void QtTcpClientSocket::send(const QByteArray& bytes) {
    if (socket_.state() == QAbstractSocket::ConnectedState) {
        socket_.write(bytes);
    }
}

void QtTcpClientSocket::onStateChanged(QAbstractSocket::SocketState state) {
    if (!controller_) {
        return;
    }
    if (state == QAbstractSocket::HostLookupState) {
        controller_->ClientSocketLookup();
    } else if (state == QAbstractSocket::ConnectingState) {
        controller_->ClientSocketConnecting();
    }
}

void QtTcpClientSocket::onError(QAbstractSocket::SocketError error) {
    // A peer that closes its end is an end of the connection, not an error: the scheduler keeps
    // running and the reconnect rule opens the connection again.
    if (closing_ || error == QAbstractSocket::RemoteHostClosedError || !controller_) {
        return;
    }
    controller_->ClientSocketError();
}

void QtTcpClientSocket::onReadyRead() {
    const QByteArray bytes = socket_.readAll();
    if (controller_ && !bytes.isEmpty()) {
        controller_->ClientSocketRead(bytes);
    }
}

}  // namespace terval
