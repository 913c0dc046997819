#pragma once

#include <QObject>
#include <QTcpSocket>

#include "link/link.h"

namespace terval {

// The TCP link on QTcpSocket: MBAP frames out, every socket event and the received bytes reported
// on the user-interface thread.
class QtTcpLink final : public QObject, public Link {
    Q_OBJECT
  public:
    explicit QtTcpLink(QObject* parent = nullptr);

    void setEvents(LinkEvents* events) override { events_ = events; }
    // Starts lookup and connect to the target's host and port without blocking.
    bool open(const LinkTarget& target) override;
    void close() override;
    bool isActive() const override;
    void send(QByteArrayView frame) override;

    QTcpSocket& socket() { return socket_; }

  private:
    void onStateChanged(QAbstractSocket::SocketState state);
    void onError(QAbstractSocket::SocketError error);
    void onReadyRead();

    QTcpSocket socket_;
    LinkEvents* events_ = nullptr;
    // Set while the station itself closes the socket, so that Qt's report of the close is not
    // taken for a connection error.
    bool closing_ = false;
};

}  // namespace terval
