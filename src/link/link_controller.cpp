#include "link/link_controller.h"

#include <algorithm>

#include "link/link_transport.h"
#include "modbus/answer_match.h"
#include "poll/dispatcher.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"
#include "station/station.h"
#include "station/station_display.h"

namespace terval {
namespace {

// The same message about the link is not shown twice within this time.
constexpr qint64 kReportAgainAfterSeconds = 60;

}  // namespace

LinkController::LinkController(Station& station, StationDisplay& display, MainView& view,
                               MessageSink& messages, const Clock& clock, Scheduler& scheduler,
                               Dispatcher& dispatcher, Link& serial, Link& tcp)
    : station_(station),
      display_(display),
      view_(view),
      messages_(messages),
      clock_(clock),
      scheduler_(scheduler),
      dispatcher_(dispatcher),
      serial_(serial),
      tcp_(tcp),
      rs232_(std::make_unique<SerialLinkTransport>(*this, serial, true)),
      rs485_(std::make_unique<SerialLinkTransport>(*this, serial, false)),
      tcpTransport_(std::make_unique<TcpLinkTransport>(*this, tcp)) {
    serial_.setEvents(this);
    tcp_.setEvents(this);
}

LinkController::~LinkController() {
    serial_.setEvents(nullptr);
    tcp_.setEvents(nullptr);
}

LinkController::LinkTransport& LinkController::transportFor(uint16_t linkType) const {
    switch (linkType) {
        case kLinkRs232:
            return *rs232_;
        case kLinkRs485:
            return *rs485_;
        default:
            return *tcpTransport_;
    }
}

LinkController::LinkTransport& LinkController::transport() const {
    return transport_ != nullptr ? *transport_ : transportFor(station_.connection.LinkType);
}

LinkTarget LinkController::target() const {
    LinkTarget t;
    t.serial = serialSettings_;
    t.host = station_.connection.ipText();
    t.port = station_.connection.tcpPort;
    return t;
}

void LinkController::closeQuietly(Link& l) {
    closingOurselves_ = true;
    l.close();
    closingOurselves_ = false;
}

void LinkController::requestClose() {
    scheduler_.requestClose();
}

void LinkController::showStatus(const QString& text) {
    station_.statusText = text;
    view_.setStatusText(text);
}

QString LinkController::journalLinkName() const {
    // A closed link is named as the settings would open it.
    return (state_ == LinkState::Closed ? transportFor(station_.connection.LinkType) : transport())
        .journalName();
}

void LinkController::NConnectingClick() {
    scheduler_.windowClosed();
    if (state_ != LinkState::Closed) {
        station_.journal.operatorDisconnect(journalLinkName());
    }
    switch (state_) {
        case LinkState::Open:
            // Closed at the next send point, after the answer in flight.
            scheduler_.requestClose();
            return;
        case LinkState::Opening:
        case LinkState::Waiting:
            // Nothing is in flight: the attempts stop at once, and the status line no longer
            // tells of one.
            CloseConnect();
            showStatus(transport().attemptsStoppedText());
            return;
        case LinkState::Closed:
            break;
    }
    // The transport is chosen here, once: it stays until the link closes, however often the
    // station opens it again by itself.
    transport_ = &transportFor(station_.connection.LinkType);
    // As the link type, the pace holds until the operator asks for the link again.
    scheduler_.setPacing(station_.settings.poll);
    failedAttempts_ = 0;
    reopening_ = false;
    transport_->modbus().reset();
    station_.journal.operatorConnect(journalLinkName());
    transport_->open();
}

void LinkController::TimerTimer() {
    switch (state_) {
        case LinkState::Open:
            scheduler_.Timers();
            break;
        case LinkState::Opening:
            transport().openingTick();
            break;
        case LinkState::Waiting:
            if (--waitTicks_ <= 0) {
                attemptAgain();
            } else if (waitTicks_ % kTicksPerSecond == 0) {
                showWaiting();
            }
            break;
        case LinkState::Closed:
            break;
    }
}

void LinkController::wireWake() {
    // A wake asked for on a link that has gone since comes to nothing.
    if (state_ == LinkState::Open) {
        scheduler_.wake();
    }
}

void LinkController::waitAndRetry(const QString& reason) {
    // The operator said "Отключиться" and the link went before its send point came: it stays
    // closed, as asked, instead of being made again.
    if (station_.poll.CloseRequested()) {
        CloseConnect();
        showStatus(reason);
        return;
    }
    MainView& view = view_;
    state_ = LinkState::Waiting;
    scheduler_.abandonWrites(WriteStop::LinkLost);
    station_.journal.linkDown(journalLinkName(), reason);
    transport().modbus().reset();
    display_.setAllTilesNoAnswer();
    // The parameter window would show the relay's last values as if they were live.
    scheduler_.windowClosed();
    view.showPortState(false);
    view.setLed(MainView::Led::Com, false);
    view.setLed(MainView::Led::TxD, false);
    view.setLed(MainView::Led::RxD, false);
    view.showConnectCommand(true);
    display_.EnableMenu(station_.devices.hasSelection() ? menu_masks::kLinkAwaitedSelected
                                                        : menu_masks::kLinkAwaited);
    const int pause = transport().retryPauseSeconds(failedAttempts_);
    ++failedAttempts_;
    waitTicks_ = pause * kTicksPerSecond;
    waitingReason_ = reason;
    view.setPollTimerRunning(true);
    showWaiting();
}

void LinkController::showWaiting() {
    const int seconds = (waitTicks_ + kTicksPerSecond - 1) / kTicksPerSecond;
    showStatus(waitingReason_ + QStringLiteral(". Следующая попытка через %1 с.").arg(seconds));
    view_.showLinkAttempt(QStringLiteral("Повтор через %1 с").arg(seconds));
}

void LinkController::attemptAgain() {
    reopening_ = true;
    view_.showLinkAttempt(QStringLiteral("Подключение…"));
    state_ = LinkState::Opening;
    transport().openAgain();
}

void LinkController::reportOnce(const QString& text) {
    const QDateTime now = clock_.now();
    if (text == lastReport_ && lastReportAt_.isValid() &&
        lastReportAt_.secsTo(now) < kReportAgainAfterSeconds) {
        return;
    }
    lastReport_ = text;
    lastReportAt_ = now;
    messages_.showMessage(MessageIcon::Error, text);
}

void LinkController::clearCounters() {
    DeviceTable& table = station_.devices;
    for (int i = 1; i <= table.DeviceCount; ++i) {
        DeviceEntry& e = table.entry(i);
        e.clearCounters();
        e.reserved32 = 0;
    }
}

void LinkController::linkOpened() {
    transport().opened();
}

void LinkController::linkError(const QString& text) {
    transport().failed(text);
}

void LinkController::linkLost(const QString& text) {
    if (state_ == LinkState::Open) {
        transport().lost(text);
    }
}

void LinkController::portLost(const QString& text) {
    const QString port = serialSettings_.portName;
    lostReport_ = QStringLiteral("Связь с СОМ портом %1 потеряна.\n").arg(port) + text;
    reportOnce(lostReport_);
    waitAndRetry(QStringLiteral("Связь с СОМ портом %1 потеряна").arg(port));
}

// ---- receiving ----

void LinkController::bytesReceived(QByteArrayView bytes) {
    scheduler_.bytesSeen();
    Transport& modbus = transport().modbus();
    // Nothing is asked: whatever comes is not an answer, and it must not hold back the next
    // request either.
    if (!station_.poll.awaitingAnswer()) {
        modbus.pushUnasked(bytes);
        return;
    }
    scheduler_.bytesArrived();
    for (const FramedItem& item : modbus.push(bytes)) {
        if (!station_.poll.awaitingAnswer()) {
            // The request has been settled by an earlier answer of this delivery.
            break;
        }
        if (item.kind == FramedItem::Kind::Broken) {
            scheduler_.answerBroken();
        } else {
            handleAnswer(item.answer);
        }
    }
    if (!station_.poll.awaitingAnswer()) {
        modbus.settled();
    }
}

void LinkController::handleAnswer(const Answer& answer) {
    switch (transport().modbus().match(answer)) {
        case AnswerMatch::Matches:
            failedAttempts_ = 0;
            if (const int polled = station_.poll.PolledDevice();
                polled >= 1 && polled <= station_.devices.DeviceCount) {
                station_.tile(polled).lastAnswer = clock_.now();
                station_.journal.relayAnswered(polled);
            }
            scheduler_.answerMatched();
            dispatcher_.receive(answer);
            break;
        case AnswerMatch::Foreign:
            scheduler_.answerForeign();
            break;
        case AnswerMatch::Exception:
            // A refused write is told to the operator, under the name he wrote it by, by the
            // scheduler that ends it.
            scheduler_.answerRefused(answer.thirdByte());
            break;
    }
}

// ---- serial ----

void LinkController::openSerial() {
    if (!serial_.open(target())) {
        station_.journal.linkDown(journalLinkName(), QStringLiteral("Не могу открыть СОМ порт"));
        messages_.showMessage(MessageIcon::Error, QStringLiteral("Не могу открыть СОМ порт"),
                              QStringLiteral("Ошибка СОМ порта"));
    }
}

void LinkController::ComPortAfterOpen() {
    MainView& view = view_;
    showStatus(
        reopening_
            ? QStringLiteral("Связь с СОМ портом %1 восстановлена.").arg(serialSettings_.portName)
            : QString());
    // The box that told of the loss would say the opposite of the status line, and wait for a
    // click on a link that works.
    if (!lostReport_.isEmpty()) {
        messages_.withdrawMessage(lostReport_);
        lostReport_.clear();
    }
    display_.EnableMenu(station_.devices.SelectedDevice != 0 ? menu_masks::kSerialOpenedSelected
                                                             : menu_masks::kSerialOpened);
    {
        // One character of the port's framing: a start bit, the data bits, parity, stop bits.
        constexpr double kStopBits[] = {1, 1.5, 2};
        const SerialSettings& s = serialSettings_;
        scheduler_.setLine(serialLineTiming(s.baudRate, 5 + std::min<int>(s.dataBitsIndex, 3),
                                            s.parityIndex != 0,
                                            kStopBits[std::min<int>(s.stopBitsIndex, 2)]));
    }
    scheduler_.linkOpened(false);
    transport().modbus().reset();
    view.setPollTimerRunning(true);
    station_.linkUp = true;
    view.showConnectCommand(true);
    // A port opened again by the station goes on counting where it was.
    if (!reopening_) {
        clearCounters();
    }
    view.showPortState(true);
    view.setLed(MainView::Led::Com, true);
    state_ = LinkState::Open;
    reopening_ = false;
    view.showLinkAttempt(QString());
    station_.journal.linkUp(journalLinkName());
}

// ---- sending and closing ----

void LinkController::sendRequest(const RequestFrame& request) {
    LinkTransport& t = transport();
    if (t.takesSendPoint()) {
        return;
    }
    t.link().send(t.modbus().send(request).bytes);
}

void LinkController::CloseConnect() {
    MainView& view = view_;
    scheduler_.abandonWrites(WriteStop::LinkClosed);
    view.setPollTimerRunning(false);
    state_ = LinkState::Closed;
    reopening_ = false;
    failedAttempts_ = 0;
    waitTicks_ = 0;
    view.showLinkAttempt(QString());
    closeQuietly(transport().link());
    transport().modbus().reset();
    view.showPortState(false);
    view.setLed(MainView::Led::Com, false);
    display_.EnableMenuLinkDown();
    display_.setAllTilesNoAnswer();
    station_.linkUp = false;
    view.showConnectCommand(false);
}

// ---- TCP ----

void LinkController::openTcp() {
    MainView& view = view_;
    scheduler_.linkStarting();
    const LinkTarget t = target();
    linkDescription_ = QStringLiteral("IP adress: %1  Port: %2").arg(t.host).arg(t.port);
    state_ = LinkState::Opening;
    openingTicks_ = 0;
    view.showLinkAttempt(QStringLiteral("Подключение…"));
    tcp_.open(t);
    station_.linkUp = true;
    view.showConnectCommand(true);
    clearCounters();
    // "Отключиться" stays at hand while the connection is being made.
    display_.EnableMenu(station_.devices.SelectedDevice != 0 ? menu_masks::kLinkAwaitedSelected
                                                             : menu_masks::kLinkAwaited);
    // The timer counts the attempt's time.
    view.setPollTimerRunning(true);
}

void LinkController::ClientSocketLookup() {
    showStatus(QStringLiteral("Идет поиск устройства удаленного доступа..."));
}

void LinkController::ClientSocketConnecting() {
    showStatus(QStringLiteral("Идет подключение к устройству - ") + linkDescription_);
}

void LinkController::ClientSocketConnect() {
    MainView& view = view_;
    state_ = LinkState::Open;
    reopening_ = false;
    view.showLinkAttempt(QString());
    scheduler_.setLine(LineTiming{});
    scheduler_.linkOpened(true);
    transport().modbus().reset();
    view.setPollTimerRunning(true);
    view.setMenuItemEnabled(MenuItem::NConnecting, true);
    showStatus(QStringLiteral("Произошло подключение к устройству - ") + linkDescription_);
    station_.journal.linkUp(journalLinkName());
}

void LinkController::ClientSocketDisconnect() {
    const QString text = QStringLiteral("Произошло отключение от устройства - ") + linkDescription_;
    view_.setMenuItemEnabled(MenuItem::NConnecting, true);
    showStatus(text);
    // The peer ended a connection the operator wants: it is made again, and until then nothing
    // on screen may look live.
    if (state_ == LinkState::Open && !closingOurselves_ && station_.linkUp) {
        waitAndRetry(text);
    }
}

void LinkController::ClientSocketError() {
    socketFailed(QString());
}

void LinkController::socketFailed(const QString& reason) {
    MainView& view = view_;
    QString text =
        QStringLiteral("Возникла ошибка при подключении к устройству - ") + linkDescription_;
    if (!reason.isEmpty()) {
        text += QStringLiteral(" (") + reason + QLatin1Char(')');
    }
    closeQuietly(tcp_);
    transport().modbus().reset();
    if (station_.linkUp) {
        // A failed connection or re-open does not end the monitoring the operator asked for.
        waitAndRetry(text);
        return;
    }
    station_.journal.linkDown(journalLinkName(), text);
    state_ = LinkState::Closed;
    view.showLinkAttempt(QString());
    view.showConnectCommand(false);
    display_.EnableMenuLinkDown();
    view.setPollTimerRunning(false);
    showStatus(text);
}

}  // namespace terval
