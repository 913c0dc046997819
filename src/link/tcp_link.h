#pragma once

#include <QObject>
#include <QTcpSocket>

#include "link/link_ports.h"

namespace terval {

class LinkController;

// The TCP client on QTcpSocket; every socket event reaches the LinkController on the UI thread.
class QtTcpClientSocket final : public QObject, public TcpClientSocket {
    Q_OBJECT
  public:
    explicit QtTcpClientSocket(QObject* parent = nullptr);

    void setController(LinkController* controller) { controller_ = controller; }

    void activate(const QString& host, uint16_t port) override;
    void deactivate() override;
    bool isActive() const override;
    void send(const QByteArray& bytes) override;

    QTcpSocket& socket() { return socket_; }

  private:
    void onStateChanged(QAbstractSocket::SocketState state);
    void onError(QAbstractSocket::SocketError error);
    void onReadyRead();

    QTcpSocket socket_;
    LinkController* controller_ = nullptr;
    // Set while the station itself closes the socket, so that Qt's report of the close is not
    // taken for a connection error.
    bool closing_ = false;
};

}  // namespace terval
