#pragma once
// The link controller's transports: what differs between the serial line and a TCP connection.
// Only the controller uses them; they act through its own steps (ComPortAfterOpen,
// ClientSocketConnect, ...), which is why they are its nested classes.

#include <QString>

#include "link/link_controller.h"
#include "modbus/transport.h"

namespace terval {

class LinkController::LinkTransport {
  public:
    LinkTransport(LinkController& controller, Link& link) : c_(controller), link_(link) {}
    virtual ~LinkTransport() = default;
    LinkTransport(const LinkTransport&) = delete;
    LinkTransport& operator=(const LinkTransport&) = delete;

    Link& link() const { return link_; }
    // Request bytes, framing, matching and the address rule.
    virtual Transport& modbus() = 0;

    // The link as the journal names it: "RS-485 COM3", "Ethernet TCP/IP 10.0.0.5:502".
    virtual QString journalName() const = 0;
    // The status line when the operator stops the attempts to open it.
    virtual QString attemptsStoppedText() const = 0;
    // The pause before the next attempt, after `failedAttempts` failed in a row.
    virtual int retryPauseSeconds(int failedAttempts) const = 0;

    // The operator asks for the link.
    virtual void open() = 0;
    // The station tries again by itself; the state is Opening.
    virtual void openAgain() = 0;
    // A tick of the timer while an attempt is under way.
    virtual void openingTick() = 0;
    // The link's events.
    virtual void opened() = 0;
    virtual void failed(const QString& text) = 0;
    virtual void lost(const QString& text) = 0;
    // A send point: true when the transport takes it for itself and nothing is to be sent.
    virtual bool takesSendPoint() { return false; }

  protected:
    LinkController& c_;
    Link& link_;
};

// Modbus RTU over a serial port: RS-232 to one relay, or RS-485 to a bus. The port opens at once
// or not at all, and a device that has gone is looked for again every few seconds.
class LinkController::SerialLinkTransport final : public LinkController::LinkTransport {
  public:
    SerialLinkTransport(LinkController& controller, Link& link, bool pointToPoint)
        : LinkTransport(controller, link), pointToPoint_(pointToPoint), modbus_(pointToPoint) {}

    Transport& modbus() override { return modbus_; }
    QString journalName() const override;
    QString attemptsStoppedText() const override;
    int retryPauseSeconds(int failedAttempts) const override;
    void open() override;
    void openAgain() override;
    // A port opens or fails at once: no attempt is ever left waiting.
    void openingTick() override {}
    void opened() override;
    void failed(const QString& text) override;
    void lost(const QString& text) override;

  private:
    bool pointToPoint_;
    RtuTransport modbus_;
};

// Modbus TCP over a connection to a relay or a gateway. A connection is made in stages that are
// reported as they come, an attempt that hangs is given up after a while, the pauses between
// attempts grow, and a connection that has stopped answering is dropped and made again.
class LinkController::TcpLinkTransport final : public LinkController::LinkTransport {
  public:
    using LinkTransport::LinkTransport;

    Transport& modbus() override { return modbus_; }
    QString journalName() const override;
    QString attemptsStoppedText() const override;
    int retryPauseSeconds(int failedAttempts) const override;
    void open() override;
    void openAgain() override;
    void openingTick() override;
    void opened() override;
    void failed(const QString& text) override;
    // A connection that ends is reported as disconnected, never as lost.
    void lost(const QString&) override {}
    bool takesSendPoint() override;

  private:
    TcpTransport modbus_;
};

}  // namespace terval
