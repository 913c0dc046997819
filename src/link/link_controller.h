#pragma once

#include <QByteArray>
#include <QString>

#include "link/answer_framer.h"
#include "link/link.h"
#include "poll/scheduler.h"

namespace terval {

class Dispatcher;
class MainController;
struct Station;

// Opens and closes the link the connection settings choose, hands the scheduler's requests to it,
// and turns what comes back into whole answers that are matched to the request in flight before
// anything is dispatched. Keeps the main window's link display in step.
class LinkController final : public LinkSender, public LinkEvents {
  public:
    LinkController(Station& station, MainController& main, Scheduler& scheduler,
                   Dispatcher& dispatcher, Link& serial, Link& tcp);
    ~LinkController() override;
    LinkController(const LinkController&) = delete;
    LinkController& operator=(const LinkController&) = delete;

    // The "Установить связь" / "Отключиться" command.
    void NConnectingClick();
    // "Выход": the link is closed at the next send point, if the station is still running then.
    void requestClose();

    // LinkSender
    void sendRequest() override;
    void CloseConnect() override;

    // LinkEvents: the link chosen reports here.
    void linkLookup() override { ClientSocketLookup(); }
    void linkConnecting() override { ClientSocketConnecting(); }
    void linkOpened() override;
    void linkDisconnected() override { ClientSocketDisconnect(); }
    void linkError(const QString& text) override;
    void bytesReceived(QByteArrayView bytes) override;

    // What the station does on each event of the serial port and of the socket.
    void ComPortAfterOpen();
    void ClientSocketLookup();
    void ClientSocketConnecting();
    void ClientSocketConnect();
    void ClientSocketDisconnect();
    void ClientSocketError();

    const QString& LinkDescription() const { return linkDescription_; }
    SerialSettings& serialSettings() { return serialSettings_; }

  private:
    bool isSerial() const;
    Link& link();
    Framer& framer();
    void openSerial();
    void openTcp();
    void clearCounters();
    void handleAnswer(const Answer& answer);

    Station& station_;
    MainController& main_;
    Scheduler& scheduler_;
    Dispatcher& dispatcher_;
    Link& serial_;
    Link& tcp_;
    RtuFramer rtuFramer_;
    MbapFramer mbapFramer_;
    SerialSettings serialSettings_;
    QString linkDescription_;
};

}  // namespace terval
