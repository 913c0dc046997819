#include "poll/scheduler.h"

#include <algorithm>

#include "modbus/answer_match.h"
#include "modbus/register_map.h"
#include "station/main_view.h"
#include "station/message_sink.h"
#include "station/station.h"
#include "station/station_display.h"

namespace terval {

using namespace registers;

namespace {
constexpr std::chrono::milliseconds kTick(100);
}  // namespace

const PollState& Scheduler::state() const {
    return station_.poll;
}

PollState& Scheduler::poll() {
    return station_.poll;
}

void Scheduler::buildRead(int relay, uint16_t firstRegister, uint16_t count) {
    poll().PolledDevice_ = static_cast<uint8_t>(relay);
    const uint8_t address = static_cast<uint8_t>(station_.devices.entry(relay).Address & 0xFF);
    station_.request.buildRead(address, firstRegister, count);
}

void Scheduler::buildStatusOfNextRelay() {
    PollState& p = poll();
    ++p.RoundRobinIndex_;
    if (p.RoundRobinIndex_ > station_.devices.DeviceCount) {
        p.RoundRobinIndex_ = 1;
    }
    buildRead(p.RoundRobinIndex_, kStatusBlock, kStatusCount);
}

bool Scheduler::writeRunning() const {
    return state().PollStep_ == kStepWrite && runningNote_.has_value();
}

// To the relay the write was asked for, which the operator may since have unselected.
void Scheduler::buildWrite() {
    PollState& p = poll();
    const int relay = runningNote_->relay;
    p.PolledDevice_ = static_cast<uint8_t>(relay);
    const uint8_t address = static_cast<uint8_t>(station_.devices.entry(relay).Address & 0xFF);
    station_.request.buildWrite(address, p.WriteRegister_,
                                p.WriteValues_[p.WriteIndex_ % kMaxWriteValues]);
}

// The oldest write waiting becomes the one under way, once the one before it has ended. It is a
// copy: a write queued after this one can never move the registers of this one, nor this one's
// echoes those of the next.
void Scheduler::takeQueuedWrite() {
    PollState& p = poll();
    const RegisterWrite w = p.queuedWrite();
    p.queueHead_ = (p.queueHead_ + 1) % kMaxQueuedWrites;
    --p.queuedCount_;
    if (p.queuedCount_ == 0) {
        p.WriteRequest_ = kNoWrite;
    }
    runningNote_ = std::move(queuedNotes_.front());
    queuedNotes_.pop_front();
    p.WriteRegister_ = w.firstRegister;
    p.WriteCount_ = w.count;
    p.WriteValues_ = w.values;
    p.WriteIndex_ = 0;
    p.PollStep_ = kStepWrite;
}

void Scheduler::enterMainPhase() {
    poll().PollPhase_ = kPhaseMain;
    dropQueuedWrites(WriteStop::WindowClosed);
}

void Scheduler::TimersMain() {
    switch (poll().PollStep_) {
        case kStepStatus:
            buildStatusOfNextRelay();
            break;
        case kStepNewestProtocol:
            buildRead(poll().RoundRobinIndex_, kTripProtocols, kTripProtocolSize);
            break;
        default:
            break;
    }
}

void Scheduler::TimersCurParam() {
    PollState& p = poll();
    const int selected = station_.devices.SelectedDevice;
    const bool haveSelected = station_.devices.hasSelection();
    // A queued write goes out in place of the request due, once the write before it has ended.
    // It is taken before that request is built, so a background relay whose turn it was keeps
    // its turn.
    if (p.WriteRequest_ == kWriteQueued && !writeRunning()) {
        takeQueuedWrite();
    }
    switch (p.PollStep_) {
        case kStepStatus:
        case kStepNewestProtocol:
            // The background relays are read as in the round robin of the main phase.
            TimersMain();
            break;
        case kStepSelectedStatus:
            if (haveSelected)
                buildRead(selected, kStatusBlock, kStatusCount);
            break;
        case kStepSetpoints:
            if (haveSelected)
                buildRead(selected, kSetpointBlock, kSetpointCount);
            break;
        case kStepPassword:
            if (haveSelected)
                buildRead(selected, kPasswordRegister, 1);
            break;
        case kStepMode:
            if (haveSelected)
                buildRead(selected, kModeRegister, 1);
            break;
        case kStepTripProtocol:
            if (haveSelected) {
                buildRead(selected, tripProtocolRegister(p.tripProtocolNumber_), kTripProtocolSize);
            }
            break;
        case kStepInsulationProtocol:
            if (haveSelected) {
                buildRead(selected, insulationProtocolRegister(p.insulationProtocolNumber_),
                          kInsulationProtocolSize);
            }
            break;
        case kStepWrite:
            if (writeRunning() && runningNote_->relay >= 1 &&
                runningNote_->relay <= station_.devices.DeviceCount) {
                buildWrite();
            }
            break;
        default:
            break;
    }
    if (p.PollStep_ == kStepStatus) {
        if (p.ParamWindowOpen_) {
            p.PollPhase_ = kPhaseCurParam;
        } else {
            enterMainPhase();
        }
    }
}

void Scheduler::Timers() {
    PollState& p = poll();
    DeviceTable& table = station_.devices;
    if (table.SelectedDevice > 0 && table.hasSelection()) {
        display_.EnableMenu(station_.tile(table.SelectedDevice).state != kTileNoAnswer
                                ? menu_masks::kPollingAnswering
                                : menu_masks::kLinkUpSilent);
    }
    if (pacedByWire()) {
        // Lit for a whole tick when anything went or came since the last one, so that the lamps
        // blink no faster than the tick however many requests a second go out.
        view_.setLed(MainView::Led::RxD, bytesSinceTick_);
        view_.setLed(MainView::Led::TxD, sentSinceTick_);
        bytesSinceTick_ = false;
        sentSinceTick_ = false;
        if (waker_ != nullptr && waker_->now() >= wakeDue_ + kTick) {
            wake();
        }
        return;
    }
    view_.setLed(MainView::Led::RxD, false);
    view_.setLed(MainView::Led::TxD, false);

    ++p.TickCounter_;
    if (p.ReadyToSend_) {
        if (p.TickCounter_ <= 1) {
            return;
        }
        sendPoint();
        return;
    }
    // Bytes restart the silence, but a stream of them never holds the round for long.
    ++p.ticksSinceSent_;
    if (p.TickCounter_ <= kSilentTicksAllowed && p.ticksSinceSent_ < kLongestRequestTicks) {
        return;
    }
    endUnanswered();
    ++p.ConsecutiveTimeouts_;
}

void Scheduler::sendPoint() {
    PollState& p = poll();
    DeviceTable& table = station_.devices;
    // Nothing to poll in an empty table; the link menu is not offered then anyway.
    if (table.DeviceCount == 0 && !p.CloseRequested_) {
        return;
    }
    if (p.PollPhase_ == kPhaseMain) {
        TimersMain();
    } else if (p.PollPhase_ == kPhaseCurParam) {
        TimersCurParam();
    }
    if (p.CloseRequested_) {
        link_->CloseConnect();
        return;
    }
    p.ReadyToSend_ = false;
    p.requestCounted_ = false;
    p.ticksSinceSent_ = 0;
    p.TickCounter_ = 0;
    if (p.PolledDevice_ >= 1 && p.PolledDevice_ <= table.DeviceCount) {
        ++table.entry(p.PolledDevice_).RequestsSent;
    }
    if (pacedByWire() && waker_ != nullptr) {
        sentSinceTick_ = true;
        sentAt_ = waker_->now();
        bytesAt_ = sentAt_;
        wakeAfter(answerWait());
    } else {
        view_.setLed(MainView::Led::TxD, true);
    }
    link_->sendRequest(station_.request);
}

void Scheduler::wake() {
    if (!pacedByWire() || waker_ == nullptr) {
        return;
    }
    PollState& p = poll();
    if (p.ReadyToSend_) {
        sendPoint();
        return;
    }
    const std::chrono::microseconds now = waker_->now();
    if (!answerOverdue(now)) {
        // Bytes came since the wait was set: it runs from the last of them.
        wakeAfter(std::min(bytesAt_ + answerWait(), sentAt_ + kLongestWaits * answerWait()) - now);
        return;
    }
    endUnanswered();
    ++p.ConsecutiveTimeouts_;
}

bool Scheduler::answerOverdue(std::chrono::microseconds now) const {
    // Bytes restart the silence, but a stream of them never holds the round for long.
    const std::chrono::microseconds wait = answerWait();
    return now >= bytesAt_ + wait || now >= sentAt_ + kLongestWaits * wait;
}

void Scheduler::wakeAfter(std::chrono::microseconds delay) {
    delay = std::max(delay, std::chrono::microseconds(0));
    wakeDue_ = waker_->now() + delay;
    waker_->wakeAfter(delay);
}

void Scheduler::settled() {
    if (pacedByWire() && waker_ != nullptr && poll().ReadyToSend_) {
        settledAt_ = waker_->now();
        wakeAfter(sendGap());
    }
}

std::chrono::microseconds Scheduler::sendGap() const {
    if (line_.baudRate <= 0) {
        return std::chrono::milliseconds(pacing_.tcpPauseMs);
    }
    return silentInterval(line_);
}

std::chrono::microseconds Scheduler::answerWait() const {
    if (line_.baudRate <= 0) {
        return std::chrono::milliseconds(pacing_.tcpMarginMs);
    }
    // The request on the wire, the silence that ends it for the relay, and the answer back.
    const RequestFrame& request = station_.request;
    constexpr int kRtuRequestBytes = 8;
    const int characters =
        kRtuRequestBytes + expectedAnswerBytes(request.function(), request.countOrValue());
    return std::chrono::ceil<std::chrono::microseconds>(line_.character * characters) +
           silentInterval(line_) + std::chrono::milliseconds(pacing_.serialMarginMs);
}

void Scheduler::bytesSeen() {
    if (pacedByWire()) {
        bytesSinceTick_ = true;
        // A late answer or noise still on a bus: the next request waits for the line to fall
        // silent again rather than talk over it, but never longer than a request waits for its
        // answer, so that a chattering line does not stop the poll.
        if (poll().ReadyToSend_ && line_.baudRate > 0 && waker_ != nullptr) {
            const std::chrono::microseconds now = waker_->now();
            wakeAfter(std::min(now + sendGap(), settledAt_ + sendGap() + answerWait()) - now);
        }
    } else {
        view_.setLed(MainView::Led::RxD, true);
    }
}

LineTiming serialLineTiming(int32_t baudRate, int dataBits, bool parity, double stopBits) {
    LineTiming line;
    if (baudRate <= 0) {
        return line;
    }
    line.baudRate = baudRate;
    const double bits = 1 + dataBits + (parity ? 1 : 0) + stopBits;
    line.character = std::chrono::nanoseconds(static_cast<int64_t>(bits * 1e9 / baudRate + 0.5));
    return line;
}

std::chrono::microseconds silentInterval(const LineTiming& line) {
    if (line.baudRate > 19200) {
        return std::chrono::microseconds(1750);
    }
    return std::chrono::ceil<std::chrono::microseconds>(line.character * 7 / 2);
}

int expectedAnswerBytes(uint8_t function, uint16_t countOrValue) {
    if (function == kWriteSingleRegister) {
        return 8;
    }
    // Address, function, byte count, the registers and the CRC.
    return 5 + 2 * std::min<int>(countOrValue, 125);
}

void Scheduler::countAnswer(bool good) {
    PollState& p = poll();
    if (p.requestCounted_) {
        return;
    }
    p.requestCounted_ = true;
    const int polled = p.PolledDevice_;
    if (polled >= 1 && polled <= station_.devices.DeviceCount) {
        DeviceEntry& e = station_.devices.entry(polled);
        ++(good ? e.GoodAnswers : e.BadAnswers);
    }
}

void Scheduler::endUnanswered(bool relayAnswered) {
    PollState& p = poll();
    if (p.PollStep_ == kStepWrite) {
        endRunningWrite(WriteOutcome::NoEcho);
    }
    if (p.ParamWindowOpen_) {
        p.PollPhase_ = kPhaseCurParam;
        p.PollStep_ = kStepSelectedStatus;
    } else {
        p.PollStep_ = kStepStatus;
    }
    p.ReadyToSend_ = true;
    settled();
    countAnswer(false);
    const int polled = p.PolledDevice_;
    if (polled >= 1 && polled <= station_.devices.DeviceCount) {
        p.badFramesInRow_[static_cast<size_t>(polled)] = 0;
        if (!relayAnswered && station_.tile(polled).state != kTileNoAnswer) {
            display_.setTileState(polled, kTileNoAnswer);
            station_.journal.relaySilent(polled);
        }
    }
}

// ---- the link ----

void Scheduler::linkStarting() {
    PollState& p = poll();
    p.ConsecutiveTimeouts_ = 0;
    p.CloseRequested_ = false;
    p.ReadyToSend_ = true;
    // The operator's connection starts the round with relay 1.
    p.RoundRobinIndex_ = 0;
}

void Scheduler::linkOpened(bool tcp) {
    PollState& p = poll();
    // A request sent on the connection that was dropped has had its only chance.
    if (p.awaitingAnswer()) {
        countAnswer(false);
    }
    if (p.PollStep_ == kStepWrite) {
        endRunningWrite(WriteOutcome::NoEcho, 0, WriteStop::LinkLost);
    }
    // Writes waiting go on in the parameter window's phase while the window is open.
    if (p.ParamWindowOpen_) {
        p.PollPhase_ = kPhaseMain;
    } else {
        enterMainPhase();
    }
    // A step of the parameter window's phase left over from an earlier link would never be built
    // again in the round robin.
    p.PollStep_ = kStepStatus;
    p.CloseRequested_ = false;
    p.ReadyToSend_ = true;
    // A connection made again goes on with the relay after the one asked last: a relay whose
    // requests make a gateway drop the connection would otherwise starve every relay after it.
    if (tcp) {
        p.TickCounter_ = 0;
    }
    settled();
}

void Scheduler::requestClose() {
    poll().CloseRequested_ = true;
}

void Scheduler::reconnecting() {
    poll().ConsecutiveTimeouts_ = 0;
}

void Scheduler::requestNotSent() {
    PollState& p = poll();
    if (p.PollStep_ == kStepStatus && p.RoundRobinIndex_ > 0) {
        --p.RoundRobinIndex_;
    }
}

void Scheduler::bytesArrived() {
    if (poll().awaitingAnswer()) {
        poll().TickCounter_ = 0;
        if (waker_ != nullptr) {
            bytesAt_ = waker_->now();
        }
    }
}

// ---- answers ----

void Scheduler::answerMatched() {
    PollState& p = poll();
    countAnswer(true);
    p.ReadyToSend_ = true;
    settled();
    p.ConsecutiveTimeouts_ = 0;
    const int polled = p.PolledDevice_;
    if (polled >= 1 && polled <= kMaxDevices) {
        p.badFramesInRow_[static_cast<size_t>(polled)] = 0;
    }
}

void Scheduler::answerForeign() {
    countAnswer(false);
    // Something answers on the connection, so dropping it would not help.
    poll().ConsecutiveTimeouts_ = 0;
}

bool Scheduler::answerRefused(uint8_t exceptionCode) {
    const bool write = poll().PollStep_ == kStepWrite;
    if (write) {
        endRunningWrite(WriteOutcome::Refused, exceptionCode);
    }
    poll().ConsecutiveTimeouts_ = 0;
    // A relay that refuses a value has answered; a gateway that says its path or the device
    // behind it is not there has not, and a relay refusing its reads does not work either.
    constexpr uint8_t kGatewayPathUnavailable = 0x0A;
    constexpr uint8_t kGatewayTargetSilent = 0x0B;
    endUnanswered(write && exceptionCode != kGatewayPathUnavailable &&
                  exceptionCode != kGatewayTargetSilent);
    return write;
}

void Scheduler::answerBroken() {
    PollState& p = poll();
    const int polled = p.PolledDevice_;
    countAnswer(false);
    if (polled >= 1 && polled <= kMaxDevices &&
        ++p.badFramesInRow_[static_cast<size_t>(polled)] >= kBadFramesAllowed) {
        endUnanswered();
        return;
    }
    p.ReadyToSend_ = true;
    settled();
}

int Scheduler::stepAfterNewestProtocol() const {
    switch (state().activePage()) {
        case kPageSetpoints:
        case kPageSettings:
            return kStepSetpoints;
        case kPageTripProtocols:
            return kStepTripProtocol;
        case kPageInsulationProtocols:
            return kStepInsulationProtocol;
        case kPageCurrent:
            return kStepSelectedStatus;
        default:
            // No page chosen yet: nothing of the selected relay, only the background relays.
            return kStepStatus;
    }
}

void Scheduler::stepAnswered() {
    PollState& p = poll();
    if (p.PollPhase_ == kPhaseMain) {
        if (p.PollStep_ == kStepStatus) {
            p.PollStep_ = kStepNewestProtocol;
        } else if (p.PollStep_ == kStepNewestProtocol) {
            p.PollStep_ = kStepStatus;
        }
        if (p.ParamWindowOpen_) {
            p.PollPhase_ = kPhaseCurParam;
            p.PollStep_ = kStepSelectedStatus;
        }
        return;
    }
    if (p.PollPhase_ != kPhaseCurParam) {
        return;
    }
    const bool initial = p.InitialRead_;
    switch (p.PollStep_) {
        case kStepStatus:
            if (!p.ParamWindowOpen_) {
                enterMainPhase();
            } else {
                p.PollStep_ = initial ? kStepSelectedStatus : kStepNewestProtocol;
            }
            break;
        case kStepNewestProtocol:
            if (!p.ParamWindowOpen_) {
                enterMainPhase();
            } else {
                p.PollStep_ = initial ? kStepSelectedStatus : stepAfterNewestProtocol();
            }
            break;
        case kStepSelectedStatus:
            p.PollStep_ = initial ? kStepSetpoints : kStepStatus;
            break;
        case kStepSetpoints:
            p.PollStep_ = kStepPassword;
            break;
        case kStepPassword:
            p.PollStep_ = kStepMode;
            break;
        case kStepMode:
            p.PollStep_ = initial ? kStepTripProtocol : kStepSelectedStatus;
            break;
        case kStepTripProtocol:
            p.PollStep_ = initial ? kStepInsulationProtocol : kStepStatus;
            break;
        case kStepInsulationProtocol:
            p.InitialRead_ = false;
            p.PollStep_ = kStepStatus;
            break;
        case kStepWrite:
            ++p.WriteRegister_;
            ++p.WriteIndex_;
            if (p.WriteIndex_ >= p.WriteCount_) {
                endRunningWrite(WriteOutcome::Echoed);
                p.PollStep_ = kStepSelectedStatus;
            }
            break;
        default:
            break;
    }
    if (p.PollPhase_ == kPhaseCurParam && p.WriteRequest_ == kWriteQueued && !writeRunning()) {
        takeQueuedWrite();
    }
}

// ---- the parameter window ----

void Scheduler::windowOpened() {
    // A value asked for in an earlier opening, never sent, would land long after the operator
    // stopped expecting it.
    dropQueuedWrites(WriteStop::WindowClosed);
    poll().ParamWindowOpen_ = true;
    poll().InitialRead_ = true;
}

void Scheduler::windowClosed() {
    poll().ParamWindowOpen_ = false;
    // Writes asked for before the close still go, in the window's phase, which lasts until they
    // have; if the poll has left it already, they never would.
    if (poll().PollPhase_ == kPhaseMain) {
        dropQueuedWrites(WriteStop::WindowClosed);
    }
}

void Scheduler::pageChosen(int page) {
    poll().activePage_ = page;
}

void Scheduler::tripProtocolChosen(int number) {
    poll().tripProtocolNumber_ = number;
}

void Scheduler::insulationProtocolChosen(int number) {
    poll().insulationProtocolNumber_ = number;
}

bool Scheduler::queueWrite(uint16_t firstRegister, const uint16_t* values, int count,
                           WriteNote note) {
    if (count < 1 || count > kMaxWriteValues) {
        return false;
    }
    PollState& p = poll();
    if (note.relay == 0) {
        note.relay = station_.devices.SelectedDevice;
    }
    if (p.queuedCount_ >= kMaxQueuedWrites) {
        station_.journal.writeEnded(note, firstRegister, values[0], WriteOutcome::NotSent, 0,
                                    WriteStop::QueueFull);
        tell(notSentText({DroppedWrite{note, firstRegister, count, values[0]}},
                         WriteStop::QueueFull),
             WriteStop::QueueFull);
        return false;
    }
    RegisterWrite& w =
        p.queue_[static_cast<size_t>((p.queueHead_ + p.queuedCount_) % kMaxQueuedWrites)];
    w = RegisterWrite{};
    w.firstRegister = firstRegister;
    w.count = static_cast<uint16_t>(count);
    for (int i = 0; i < count; ++i) {
        w.values[static_cast<size_t>(i)] = values[i];
    }
    ++p.queuedCount_;
    queuedNotes_.push_back(std::move(note));
    p.WriteRequest_ = kWriteQueued;
    return true;
}

}  // namespace terval

namespace terval {

void Scheduler::endRunningWrite(WriteOutcome outcome, uint8_t exceptionCode,
                                std::optional<WriteStop> why) {
    if (!runningNote_) {
        return;
    }
    const PollState& p = poll();
    const WriteNote note = std::move(*runningNote_);
    runningNote_.reset();
    const uint16_t first = static_cast<uint16_t>(p.WriteRegister_ - p.WriteIndex_);
    station_.journal.writeEnded(note, first, p.WriteValues_[0], outcome, exceptionCode, why);
    if (outcome == WriteOutcome::Echoed) {
        return;
    }
    if (outcome == WriteOutcome::NotSent) {
        tell(notSentText({DroppedWrite{note, first, p.WriteCount_, p.WriteValues_[0]}}, why), why);
        return;
    }
    // The register that was refused or not confirmed, and what was sent to it.
    const int at = std::min<int>(p.WriteIndex_, kMaxWriteValues - 1);
    const uint16_t reg = static_cast<uint16_t>(first + at);
    const QString value = !note.clock && !note.shownWritten.isEmpty()
                              ? note.shownWritten
                              : QString::number(p.WriteValues_[static_cast<size_t>(at)]);
    const QString subject = writeSubjectText(note, reg, 1) + QStringLiteral(" = ") + value;
    const QString relay = relayName(note.relay);
    QString text =
        outcome == WriteOutcome::Refused
            ? QStringLiteral("Защита %1 не приняла запись %2: %3 (код %4).")
                  .arg(relay, subject, exceptionText(exceptionCode))
                  .arg(exceptionCode)
            : QStringLiteral("Защита %1 не подтвердила запись %2: %3.")
                  .arg(relay, subject,
                       why ? writeStopText(*why) : QStringLiteral("ответа на неё не было"));
    if (at + 1 < p.WriteCount_) {
        text += QStringLiteral(" Следующие регистры этой записи не отправлены.");
    }
    tell(text, why);
}

void Scheduler::dropQueuedWrites(WriteStop why) {
    PollState& p = poll();
    std::vector<DroppedWrite> dropped;
    for (int k = 0; k < p.queuedCount_ && k < static_cast<int>(queuedNotes_.size()); ++k) {
        const RegisterWrite& w = p.queuedWrite(k);
        const WriteNote& note = queuedNotes_[static_cast<size_t>(k)];
        station_.journal.writeEnded(note, w.firstRegister, w.values[0], WriteOutcome::NotSent, 0,
                                    why);
        dropped.push_back({note, w.firstRegister, w.count, w.values[0]});
    }
    queuedNotes_.clear();
    p.queueHead_ = 0;
    p.queuedCount_ = 0;
    p.WriteRequest_ = kNoWrite;
    if (!dropped.empty()) {
        tell(notSentText(dropped, why), why);
    }
}

void Scheduler::abandonWrites(WriteStop why) {
    PollState& p = poll();
    if (p.PollStep_ == kStepWrite) {
        endRunningWrite(
            p.WriteIndex_ > 0 || p.awaitingAnswer() ? WriteOutcome::NoEcho : WriteOutcome::NotSent,
            0, why);
        // Nothing of it is left to send.
        p.PollStep_ = p.ParamWindowOpen_ ? kStepSelectedStatus : kStepStatus;
    }
    runningNote_.reset();
    dropQueuedWrites(why);
}

QString Scheduler::relayName(int relay) const {
    if (relay < 1 || relay > station_.devices.DeviceCount) {
        return QStringLiteral("№%1").arg(relay);
    }
    return QStringLiteral("«") + station_.devices.entry(relay).GeneratorName + QStringLiteral("»");
}

QString Scheduler::notSentText(const std::vector<DroppedWrite>& dropped,
                               std::optional<WriteStop> why) const {
    QStringList lines;
    for (const DroppedWrite& d : dropped) {
        const QString value =
            d.note.clock ? d.note.clockSetTo.toString(QStringLiteral("dd.MM.yyyy HH:mm:ss"))
            : d.note.shownWritten.isEmpty() ? QString::number(d.firstValue)
                                            : d.note.shownWritten;
        lines << QStringLiteral("запись %1 = %2 в защиту %3")
                     .arg(writeSubjectText(d.note, d.firstRegister, d.count), value,
                          relayName(d.note.relay));
    }
    const QString reason = why ? writeStopText(*why) : QStringLiteral("не отправлена");
    if (lines.size() == 1) {
        return QStringLiteral("Не отправлена ") + lines.first() + QStringLiteral(": ") + reason +
               QLatin1Char('.');
    }
    return QStringLiteral("Не отправлены (%1):\n").arg(reason) + lines.join(QLatin1Char('\n'));
}

void Scheduler::tell(const QString& text, std::optional<WriteStop> why) {
    if (messages_ == nullptr || why == WriteStop::StationStopped) {
        return;
    }
    messages_->showMessage(MessageIcon::Error, text, QStringLiteral("Ошибка записи"));
}

}  // namespace terval
