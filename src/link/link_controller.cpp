#include "link/link_controller.h"

#include "app/main_controller.h"
#include "app/station.h"
#include "link/answer_match.h"
#include "poll/dispatcher.h"

namespace terval {

LinkController::LinkController(Station& station, MainController& main, Scheduler& scheduler,
                               Dispatcher& dispatcher, Link& serial, Link& tcp)
    : station_(station),
      main_(main),
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

void LinkController::requestClose() {
    scheduler_.requestClose();
}

void LinkController::NConnectingClick() {
    scheduler_.windowClosed();
    if (station_.linkUp) {
        scheduler_.requestClose();
        return;
    }
    framer().reset();
    if (isSerial()) {
        openSerial();
    } else {
        openTcp();
    }
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
        main_.messages().showMessage(MessageIcon::Error, text);
    } else {
        ClientSocketError();
    }
}

// ---- receiving ----

void LinkController::bytesReceived(QByteArrayView bytes) {
    main_.view().setLed(MainView::Led::RxD, true);
    // Nothing is asked: whatever comes is not an answer, and it must not hold back the next
    // request either.
    if (!station_.poll.awaitingAnswer()) {
        framer().reset();
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
    if (!station_.poll.awaitingAnswer()) {
        framer().reset();
    }
}

void LinkController::handleAnswer(const Answer& answer) {
    const bool anyAddress = station_.connection.LinkType == kLinkRs232;
    switch (matchesRequest(station_.request, answer, anyAddress)) {
        case AnswerMatch::Matches:
            scheduler_.answerMatched();
            station_.receive.assign(answer.bytes);
            dispatcher_.Receive();
            break;
        case AnswerMatch::Foreign:
            scheduler_.answerForeign();
            break;
        case AnswerMatch::Exception: {
            const RequestFrame refused = station_.request;
            if (scheduler_.answerRefused()) {
                main_.messages().showMessage(
                    MessageIcon::Error,
                    QStringLiteral("Защита не приняла значение %1 для регистра 0x%2: %3 (код %4).")
                        .arg(refused.countOrValue())
                        .arg(QString::number(refused.registerAddress(), 16)
                                 .rightJustified(4, QLatin1Char('0'))
                                 .toUpper())
                        .arg(exceptionText(answer.thirdByte()))
                        .arg(answer.thirdByte()),
                    QStringLiteral("Ошибка записи"));
            }
            break;
        }
    }
}

// ---- serial ----

void LinkController::openSerial() {
    LinkTarget target;
    target.serial = serialSettings_;
    if (!serial_.open(target)) {
        main_.messages().showMessage(MessageIcon::Error, QStringLiteral("Не могу открыть СОМ порт"),
                                     QStringLiteral("Ошибка СОМ порта"));
    }
}

void LinkController::ComPortAfterOpen() {
    MainView& view = main_.view();
    view.setStatusText(QString());
    main_.EnableMenu(station_.devices.SelectedDevice != 0 ? menu_masks::kSerialOpenedSelected
                                                          : menu_masks::kSerialOpened);
    scheduler_.linkOpened(false);
    framer().reset();
    station_.receive.clear();
    view.setPollTimerRunning(true);
    station_.linkUp = true;
    view.showConnectCommand(true);
    clearCounters();
    view.showPortState(true);
    view.setLed(MainView::Led::Com, true);
}

// ---- sending and closing ----

void LinkController::sendRequest() {
    // Whatever is held belongs to an earlier request.
    framer().reset();
    const ConnectionConfig& c = station_.connection;
    if (c.isSerial()) {
        serial_.send(station_.request.rtuRequest(c.LinkType == kLinkRs232));
        return;
    }
    // A connection that has stopped answering is dropped, and opened again at the next send
    // point; neither tick sends anything.
    if (station_.poll.ConsecutiveTimeouts() > 2 * station_.devices.DeviceCount) {
        if (tcp_.isActive()) {
            tcp_.close();
        } else {
            LinkTarget target;
            target.host = c.ipText();
            target.port = c.tcpPort;
            tcp_.open(target);
            scheduler_.reconnecting();
        }
        return;
    }
    tcp_.send(station_.request.tcpRequest());
}

void LinkController::CloseConnect() {
    MainView& view = main_.view();
    view.setPollTimerRunning(false);
    link().close();
    framer().reset();
    view.showPortState(false);
    view.setLed(MainView::Led::Com, false);
    main_.EnableMenuLinkDown();
    main_.setAllTilesNoAnswer();
    station_.linkUp = false;
    view.showConnectCommand(false);
}

// ---- TCP ----

void LinkController::openTcp() {
    const ConnectionConfig& c = station_.connection;
    MainView& view = main_.view();
    scheduler_.linkStarting();
    LinkTarget target;
    target.host = c.ipText();
    target.port = c.tcpPort;
    linkDescription_ = QStringLiteral("IP adress: %1  Port: %2").arg(target.host).arg(c.tcpPort);
    tcp_.open(target);
    station_.linkUp = true;
    view.showConnectCommand(true);
    clearCounters();
    main_.EnableMenu(station_.devices.SelectedDevice != 0 ? menu_masks::kTcpStartedSelected
                                                          : menu_masks::kTcpStarted);
}

void LinkController::ClientSocketLookup() {
    main_.view().setStatusText(QStringLiteral("Идет поиск устройства удаленного доступа..."));
}

void LinkController::ClientSocketConnecting() {
    main_.view().setStatusText(QStringLiteral("Идет подключение к устройству - ") +
                               linkDescription_);
}

void LinkController::ClientSocketConnect() {
    MainView& view = main_.view();
    scheduler_.linkOpened(true);
    framer().reset();
    view.setPollTimerRunning(true);
    view.setMenuItemEnabled(MenuItem::NConnecting, true);
    view.setStatusText(QStringLiteral("Произошло подключение к устройству - ") + linkDescription_);
}

void LinkController::ClientSocketDisconnect() {
    main_.view().setMenuItemEnabled(MenuItem::NConnecting, true);
    main_.view().setStatusText(QStringLiteral("Произошло отключение от устройства - ") +
                               linkDescription_);
}

void LinkController::ClientSocketError() {
    MainView& view = main_.view();
    tcp_.close();
    framer().reset();
    view.showConnectCommand(false);
    main_.EnableMenuLinkDown();
    view.setPollTimerRunning(false);
    station_.linkUp = false;
    view.setStatusText(QStringLiteral("Возникла ошибка при подключении к устройству - ") +
                       linkDescription_);
}

}  // namespace terval
