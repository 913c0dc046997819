#include "link/link_controller.h"

#include "app/main_controller.h"
#include "app/station.h"
#include "poll/dispatcher.h"

namespace terval {
namespace {

constexpr int kMbapHeaderSize = 6;

}  // namespace

LinkController::LinkController(Station& station, MainController& main, Dispatcher& dispatcher,
                               SerialPortDevice& serial, TcpClientSocket& socket)
    : station_(station),
      main_(main),
      dispatcher_(dispatcher),
      serial_(serial),
      socket_(socket),
      rtu_(station.receive) {}

void LinkController::requestClose() {
    station_.poll.CloseRequested = true;
}

void LinkController::NConnectingClick() {
    PollState& poll = station_.poll;
    poll.ParamWindowOpen = false;
    if (station_.linkUp) {
        poll.CloseRequested = true;
        return;
    }
    if (station_.connection.isSerial()) {
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

// ---- serial ----

void LinkController::openSerial() {
    if (!serial_.open(serialSettings_)) {
        main_.messages().showMessage(MessageIcon::Error, QStringLiteral("Не могу открыть СОМ порт"),
                                     QStringLiteral("Ошибка СОМ порта"));
        return;
    }
    ComPortAfterOpen();
}

void LinkController::ComPortAfterOpen() {
    MainView& view = main_.view();
    PollState& poll = station_.poll;
    view.setStatusText(QString());
    serial_.setRts(true);
    serial_.setDtr(false);
    main_.EnableMenu(station_.devices.SelectedDevice != 0 ? menu_masks::kSerialOpenedSelected
                                                          : menu_masks::kSerialOpened);
    poll.PollPhase = kPhaseMain;
    // A step of the parameter window's phase left over from an earlier link would never be built
    // again in the round robin.
    poll.PollStep = kStepStatus;
    poll.CloseRequested = false;
    poll.ReadyToSend = true;
    station_.receive.clear();
    view.setPollTimerRunning(true);
    station_.linkUp = true;
    view.showConnectCommand(true);
    clearCounters();
    view.showPortState(true);
    view.setLed(MainView::Led::Com, true);
}

void LinkController::ReceiveCOM(const QByteArray& bytes) {
    PollState& poll = station_.poll;
    main_.view().setLed(MainView::Led::RxD, true);
    poll.TickCounter = 0;
    switch (rtu_.accept(bytes)) {
        case RtuReceiver::Outcome::Incomplete:
            break;
        case RtuReceiver::Outcome::Accepted:
            poll.ReadyToSend = true;
            dispatcher_.Receive();
            break;
        case RtuReceiver::Outcome::BadCrc:
            poll.ReadyToSend = true;
            if (poll.PolledDevice >= 1 && poll.PolledDevice <= station_.devices.DeviceCount) {
                ++station_.devices.entry(poll.PolledDevice).BadAnswers;
            }
            break;
    }
}

// ---- sending and closing ----

void LinkController::sendRequest() {
    const ConnectionConfig& c = station_.connection;
    if (c.isSerial()) {
        serial_.write(station_.request.rtuRequest(c.LinkType == kLinkRs232));
        return;
    }
    PollState& poll = station_.poll;
    // A connection that has stopped answering is dropped, and opened again at the next send
    // point; neither tick sends anything.
    if (poll.ConsecutiveTimeouts > 2 * station_.devices.DeviceCount) {
        if (socket_.isActive()) {
            socket_.deactivate();
        } else {
            socket_.activate(c.ipText(), c.tcpPort);
            poll.ConsecutiveTimeouts = 0;
        }
        return;
    }
    socket_.send(station_.request.tcpRequest());
}

void LinkController::CloseConnect() {
    MainView& view = main_.view();
    view.setPollTimerRunning(false);
    if (station_.connection.isSerial()) {
        serial_.close();
    } else {
        socket_.deactivate();
    }
    view.showPortState(false);
    view.setLed(MainView::Led::Com, false);
    main_.EnableMenuLinkDown();
    main_.setAllTilesNoAnswer();
    station_.linkUp = false;
    view.showConnectCommand(false);
}

// ---- TCP ----

void LinkController::openTcp() {
    PollState& poll = station_.poll;
    const ConnectionConfig& c = station_.connection;
    MainView& view = main_.view();
    poll.ConsecutiveTimeouts = 0;
    const QString host = c.ipText();
    linkDescription_ = QStringLiteral("IP adress: %1  Port: %2").arg(host).arg(c.tcpPort);
    socket_.activate(host, c.tcpPort);
    station_.linkUp = true;
    view.showConnectCommand(true);
    poll.CloseRequested = false;
    poll.ReadyToSend = true;
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
    PollState& poll = station_.poll;
    MainView& view = main_.view();
    poll.TickCounter = 0;
    poll.ReadyToSend = true;
    view.setPollTimerRunning(true);
    main_.view().setMenuItemEnabled(MenuItem::NConnecting, true);
    poll.PollPhase = kPhaseMain;
    poll.PollStep = kStepStatus;
    poll.RoundRobinIndex = 0;
    view.setStatusText(QStringLiteral("Произошло подключение к устройству - ") + linkDescription_);
}

void LinkController::ClientSocketDisconnect() {
    main_.view().setMenuItemEnabled(MenuItem::NConnecting, true);
    main_.view().setStatusText(QStringLiteral("Произошло отключение от устройства - ") +
                               linkDescription_);
}

void LinkController::ClientSocketError() {
    MainView& view = main_.view();
    socket_.deactivate();
    view.showConnectCommand(false);
    main_.EnableMenuLinkDown();
    view.setPollTimerRunning(false);
    station_.linkUp = false;
    view.setStatusText(QStringLiteral("Возникла ошибка при подключении к устройству - ") +
                       linkDescription_);
}

void LinkController::rejectAnswer() {
    PollState& poll = station_.poll;
    if (poll.PolledDevice >= 1 && poll.PolledDevice <= station_.devices.DeviceCount) {
        ++station_.devices.entry(poll.PolledDevice).BadAnswers;
    }
}

void LinkController::ClientSocketRead(const QByteArray& bytes) {
    PollState& poll = station_.poll;
    ReceiveBuffer& rx = station_.receive;
    main_.view().setLed(MainView::Led::RxD, true);
    poll.TickCounter = 0;
    rx.clear();

    const qsizetype n = bytes.size();
    const auto byteAt = [&bytes](qsizetype i) { return static_cast<uint8_t>(bytes[i]); };
    // An exception response, a read too short to hold an answer, or a read answer whose data
    // did not all arrive would be decoded from the words of an earlier answer, possibly another
    // relay's: it counts as a bad answer instead.
    const bool tooShort = n <= kMbapHeaderSize + 1;
    const bool exception = !tooShort && (byteAt(kMbapHeaderSize + 1) & 0x80) != 0;
    const bool truncated =
        !tooShort && !exception && byteAt(kMbapHeaderSize + 1) == kReadHoldingRegisters &&
        (n < kMbapHeaderSize + 3 || byteAt(kMbapHeaderSize + 2) > n - kMbapHeaderSize - 3);
    if (tooShort || exception || truncated) {
        rejectAnswer();
    } else {
        // Only the first answer is taken when more arrived at once; the buffer holds any answer
        // the station asks for several times over.
        const qsizetype copied = std::min<qsizetype>(n - kMbapHeaderSize, rx.bytes.size());
        for (qsizetype i = 0; i < copied; ++i) {
            rx.bytes[static_cast<size_t>(i)] = byteAt(kMbapHeaderSize + i);
        }
        dispatcher_.Receive();
    }
    poll.ReadyToSend = true;
    poll.ConsecutiveTimeouts = 0;
}

}  // namespace terval
