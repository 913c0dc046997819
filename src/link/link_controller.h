#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <memory>

#include "link/link.h"
#include "modbus/answer_framer.h"
#include "poll/scheduler.h"

namespace terval {

class Clock;
class Dispatcher;
class MainView;
class MessageSink;
class StationDisplay;
struct Station;

// Where the link stands, as far as the operator asked for it.
enum class LinkState {
    Closed,   // not asked for, or closed
    Opening,  // a TCP connection is being made
    Open,     // polling
    Waiting,  // lost, or could not be made: the next attempt comes by itself
};

// Opens and closes the link the connection settings choose, hands the scheduler's requests to it,
// and turns what comes back into whole answers that are matched to the request in flight before
// anything is dispatched. Keeps the main window's link display in step. A link the operator wants
// that fails or goes away is opened again by itself until the operator says "Отключиться".
//
// What differs between the serial line and a TCP connection (the Modbus transport, which link to
// open, how an attempt goes and ends, the pause before the next, the operator's words) is one
// transport object, chosen when the operator asks for the link and kept until it closes
// (link_transport.h); the controller itself never asks which one it has.
class LinkController final : public LinkSender, public LinkEvents {
  public:
    LinkController(Station& station, StationDisplay& display, MainView& view, MessageSink& messages,
                   const Clock& clock, Scheduler& scheduler, Dispatcher& dispatcher, Link& serial,
                   Link& tcp);
    ~LinkController() override;
    LinkController(const LinkController&) = delete;
    // The 100 ms timer.
    static constexpr int kTicksPerSecond = 10;
    LinkController& operator=(const LinkController&) = delete;

    // The "Установить связь" / "Отключиться" command.
    void NConnectingClick();
    // "Выход": the link is closed at the next send point, if the station is still running then.
    void requestClose();
    // The 100 ms timer: the scheduler's tick while the link is open, else the count towards the
    // next attempt or the end of a connection attempt that hangs.
    void TimerTimer();
    // At the pace of the line: the time the scheduler asked to be woken after has come.
    void wireWake();

    // LinkSender
    void sendRequest(const RequestFrame& request) override;
    void CloseConnect() override;

    // LinkEvents: the link chosen reports here.
    void linkLookup() override { ClientSocketLookup(); }
    void linkConnecting() override { ClientSocketConnecting(); }
    void linkOpened() override;
    void linkDisconnected() override { ClientSocketDisconnect(); }
    void linkError(const QString& text) override;
    void linkLost(const QString& text) override;
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
    LinkState state() const { return state_; }
    // The link as the journal names it: "RS-485 COM3", "Ethernet TCP/IP 10.0.0.5:502".
    QString journalLinkName() const;

  private:
    class LinkTransport;
    class SerialLinkTransport;
    class TcpLinkTransport;

    // The status line, kept in the station too for whoever reports it elsewhere.
    void showStatus(const QString& text);
    // The transport of a link type: the choice, in one place.
    LinkTransport& transportFor(uint16_t linkType) const;
    // The transport chosen when the link was last asked for; before that, the settings' own.
    LinkTransport& transport() const;
    LinkTarget target() const;
    void openSerial();
    void openTcp();
    void clearCounters();
    void handleAnswer(const Answer& answer);
    // The device behind the open serial port has gone.
    void portLost(const QString& text);
    // The link the operator wants has failed or gone: nothing on screen may look live, and the
    // next attempt is counted down. `reason` heads the status line.
    void waitAndRetry(const QString& reason);
    void attemptAgain();
    void showWaiting();
    // The socket's error event; `reason` (what the socket said) follows the status text.
    void socketFailed(const QString& reason);
    void closeQuietly(Link& l);
    // A message about the link, unless the same one was shown less than a minute ago.
    void reportOnce(const QString& text);

    Station& station_;
    StationDisplay& display_;
    MainView& view_;
    MessageSink& messages_;
    const Clock& clock_;
    Scheduler& scheduler_;
    Dispatcher& dispatcher_;
    Link& serial_;
    Link& tcp_;
    // One transport per link type, each kept for the station's life (a TCP transport's
    // identifiers go on counting across connections); `transport_` is the one chosen.
    std::unique_ptr<LinkTransport> rs232_;
    std::unique_ptr<LinkTransport> rs485_;
    std::unique_ptr<LinkTransport> tcpTransport_;
    LinkTransport* transport_ = nullptr;
    SerialSettings serialSettings_;
    QString linkDescription_;

    LinkState state_ = LinkState::Closed;
    int waitTicks_ = 0;
    int openingTicks_ = 0;
    // How many attempts in a row have failed; it sets the pause before the next one.
    int failedAttempts_ = 0;
    // The link is being opened again by the station, not by the operator.
    bool reopening_ = false;
    // Set while the station itself closes the connection, so that its end is not taken for the
    // peer's.
    bool closingOurselves_ = false;
    QString waitingReason_;
    QString lastReport_;
    // The message that told of the port's loss, until the port is open again.
    QString lostReport_;
    QDateTime lastReportAt_;
};

}  // namespace terval
