#pragma once

#include <QByteArray>
#include <QString>

#include "link/link_ports.h"
#include "link/rtu_receiver.h"
#include "poll/scheduler.h"

namespace terval {

class Dispatcher;
class MainController;
struct Station;

// Opens and closes the link the connection settings choose, hands the scheduler's requests to it
// and the answers to the dispatcher, and keeps the main window's link display in step.
class LinkController final : public LinkSender {
  public:
    LinkController(Station& station, MainController& main, Dispatcher& dispatcher,
                   SerialPortDevice& serial, TcpClientSocket& socket);

    // The "Установить связь" / "Отключиться" command.
    void NConnectingClick();
    // "Выход": the link is closed at the next send point, if the station is still running then.
    void requestClose();

    // LinkSender
    void sendRequest() override;
    void CloseConnect() override;

    // Serial port notifications.
    void ComPortAfterOpen();
    void ReceiveCOM(const QByteArray& bytes);

    // Socket events.
    void ClientSocketLookup();
    void ClientSocketConnecting();
    void ClientSocketConnect();
    void ClientSocketDisconnect();
    void ClientSocketError();
    void ClientSocketRead(const QByteArray& bytes);

    const QString& LinkDescription() const { return linkDescription_; }
    SerialSettings& serialSettings() { return serialSettings_; }

  private:
    void openSerial();
    void openTcp();
    void clearCounters();
    // An answer that cannot be the answer asked for: counted as a bad answer, not dispatched.
    void rejectAnswer();

    Station& station_;
    MainController& main_;
    Dispatcher& dispatcher_;
    SerialPortDevice& serial_;
    TcpClientSocket& socket_;
    RtuReceiver rtu_;
    SerialSettings serialSettings_;
    QString linkDescription_;
};

}  // namespace terval
