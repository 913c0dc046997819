#include "link/link_controller.h"

#include <algorithm>
#include <iterator>

#include "modbus/answer_match.h"
#include "poll/dispatcher.h"
#include "station/clock.h"
#include "station/main_view.h"
#include "station/message_sink.h"
#include "station/station.h"
#include "station/station_display.h"

namespace terval {
namespace {

constexpr int kTicksPerSecond = 10;
// A serial device that has gone is looked for again this often.
constexpr int kSerialRetrySeconds = 5;
// A TCP connection that is neither made nor refused by then is given up.
constexpr int kConnectTimeoutTicks = 5 * kTicksPerSecond;
// The pauses before the next TCP attempt, one more failure each; the last one repeats.
constexpr int kTcpPauses[] = {2, 4, 8, 16, 30};
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
      tcp_(tcp) {
    serial_.setEvents(this);
    tcp_.setEvents(this);
}

LinkController::~LinkController() {
    serial_.setEvents(nullptr);
    tcp_.setEvents(nullptr);
}

bool LinkController::isSerial() const {
    return station_.connection.isSerial();
}

Link& LinkController::link() {
    return isSerial() ? serial_ : tcp_;
}

Framer& LinkController::framer() {
    return isSerial() ? static_cast<Framer&>(rtuFramer_) : static_cast<Framer&>(mbapFramer_);
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
    const ConnectionConfig& c = station_.connection;
    switch (c.LinkType) {
        case kLinkRs232:
            return QStringLiteral("RS-232 ") + serialSettings_.portName;
        case kLinkRs485:
            return QStringLiteral("RS-485 ") + serialSettings_.portName;
        default:
            return QStringLiteral("Ethernet TCP/IP %1:%2").arg(c.ipText()).arg(c.tcpPort);
    }
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
            showStatus(isSerial() ? QStringLiteral("Попытки открыть СОМ порт %1 прекращены")
                                        .arg(serialSettings_.portName)
                                  : QStringLiteral("Подключение к устройству - %1 отменено")
                                        .arg(linkDescription_));
            return;
        case LinkState::Closed:
            break;
    }
    failedAttempts_ = 0;
    reopening_ = false;
    framer().reset();
    station_.journal.operatorConnect(journalLinkName());
    if (isSerial()) {
        openSerial();
    } else {
        openTcp();
    }
}

void LinkController::TimerTimer() {
    switch (state_) {
        case LinkState::Open:
            scheduler_.Timers();
            break;
        case LinkState::Opening:
            if (++openingTicks_ >= kConnectTimeoutTicks) {
                closeQuietly(tcp_);
                waitAndRetry(QStringLiteral("Возникла ошибка при подключении к устройству - ") +
                             linkDescription_ + QStringLiteral(" (устройство не ответило за 5 с)"));
            }
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
    framer().reset();
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
    const int pause = isSerial() ? kSerialRetrySeconds
                                 : kTcpPauses[std::min<size_t>(static_cast<size_t>(failedAttempts_),
                                                               std::size(kTcpPauses) - 1)];
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
    if (isSerial()) {
        state_ = LinkState::Opening;
        // Success is reported at once and opens the link; a device still missing waits again.
        if (!serial_.open(target())) {
            waitAndRetry(waitingReason_);
        }
        return;
    }
    state_ = LinkState::Opening;
    openingTicks_ = 0;
    tcp_.open(target());
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
    if (isSerial()) {
        ComPortAfterOpen();
    } else {
        ClientSocketConnect();
    }
}

void LinkController::linkError(const QString& text) {
    if (isSerial()) {
        // A write that failed on a port that is still there: the request ends in its timeout.
        reportOnce(text);
    } else {
        socketFailed(text.section(QLatin1Char('\n'), 0, 0));
    }
}

void LinkController::linkLost(const QString& text) {
    if (state_ != LinkState::Open || !isSerial()) {
        return;
    }
    const QString port = serialSettings_.portName;
    lostReport_ = QStringLiteral("Связь с СОМ портом %1 потеряна.\n").arg(port) + text;
    reportOnce(lostReport_);
    waitAndRetry(QStringLiteral("Связь с СОМ портом %1 потеряна").arg(port));
}

// ---- receiving ----

void LinkController::bytesReceived(QByteArrayView bytes) {
    view_.setLed(MainView::Led::RxD, true);
    const bool serial = isSerial();
    // Nothing is asked: whatever comes is not an answer, and it must not hold back the next
    // request either. A TCP stream still has to be followed, or the next answer's header would be
    // looked for in the middle of a late one.
    if (!station_.poll.awaitingAnswer()) {
        if (serial) {
            framer().reset();
        } else {
            framer().push(bytes);
        }
        return;
    }
    scheduler_.bytesArrived();
    for (const FramedItem& item : framer().push(bytes)) {
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
    if (serial && !station_.poll.awaitingAnswer()) {
        framer().reset();
    }
}

void LinkController::handleAnswer(const Answer& answer) {
    const bool anyAddress = station_.connection.LinkType == kLinkRs232;
    switch (matchesRequest(station_.request, answer, anyAddress)) {
        case AnswerMatch::Matches:
            failedAttempts_ = 0;
            if (const int polled = station_.poll.PolledDevice();
                polled >= 1 && polled <= station_.devices.DeviceCount) {
                station_.tile(polled).lastAnswer = clock_.now();
                station_.journal.relayAnswered(polled);
            }
            scheduler_.answerMatched();
            station_.receive.assign(answer.bytes);
            dispatcher_.Receive();
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
    scheduler_.linkOpened(false);
    framer().reset();
    station_.receive.clear();
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

void LinkController::sendRequest() {
    const ConnectionConfig& c = station_.connection;
    if (c.isSerial()) {
        // Whatever is held belongs to an earlier request.
        rtuFramer_.reset();
        const bool pointToPoint = c.LinkType == kLinkRs232;
        rtuFramer_.expectAddress(pointToPoint ? 0 : station_.request.address());
        serial_.send(station_.request.rtuRequest(pointToPoint));
        return;
    }
    // A connection that has stopped answering is dropped, and opened again at the next send
    // point; neither tick sends anything.
    if (station_.poll.ConsecutiveTimeouts() > 2 * station_.devices.DeviceCount) {
        scheduler_.requestNotSent();
        if (tcp_.isActive()) {
            closeQuietly(tcp_);
        } else {
            tcp_.open(target());
            scheduler_.reconnecting();
        }
        return;
    }
    // Every request has an identifier of its own, so that an answer that comes too late is known
    // for what it is; 0 is left to peers that do not echo it.
    if (++transaction_ == 0) {
        transaction_ = 1;
    }
    mbapFramer_.expectTransaction(transaction_);
    tcp_.send(station_.request.tcpRequest(transaction_));
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
    closeQuietly(link());
    framer().reset();
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
    scheduler_.linkOpened(true);
    framer().reset();
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
    framer().reset();
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
