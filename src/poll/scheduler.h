#pragma once

#include <QStringList>
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "modbus/modbus_frame.h"
#include "station/poll_state.h"
#include "station/station_journal.h"

namespace terval {

class MainView;
class MessageSink;
class StationDisplay;
struct Station;

// The serial line's timing: how long one character takes, and the baud rate it came from (0 on
// TCP, where there is no line to time).
struct LineTiming {
    int32_t baudRate = 0;
    std::chrono::nanoseconds character{0};
};
// One character of the given framing: start bit, data bits, parity bit, stop bits.
LineTiming serialLineTiming(int32_t baudRate, int dataBits, bool parity, double stopBits);
// The silence that ends a frame and must come before the next request: 3.5 characters, and
// 1.75 ms at any rate above 19200 baud, where 3.5 characters would be shorter than most ports can
// time.
std::chrono::microseconds silentInterval(const LineTiming& line);
// The bytes an RTU answer to this request takes: a read of N registers 5 + 2N, a write's echo 8.
int expectedAnswerBytes(uint8_t function, uint16_t countOrValue);

// Wakes the poll machine when it polls at the pace of the line: once, after the time it asked
// for. A single-shot timer in the station; a fake clock in the tests, so that they run without
// real time.
class PollWaker {
  public:
    virtual ~PollWaker() = default;
    // Scheduler::wake() comes once after `delay`; a later call replaces an earlier one.
    virtual void wakeAfter(std::chrono::microseconds delay) = 0;
    // A monotonic time, for the waits the machine measures.
    virtual std::chrono::microseconds now() const = 0;
};

// The open link as the scheduler sees it.
class LinkSender {
  public:
    virtual ~LinkSender() = default;
    // Sends the request of this send point the way the open link's transport puts it on the wire.
    virtual void sendRequest(const RequestFrame& request) = 0;
    // Closes whichever link is open and shows it closed.
    virtual void CloseConnect() = 0;
};

// The poll machine. At each send point it builds and sends the next request, or gives up waiting
// for the answer to the last one; one request is in flight at a time. By default the send points
// are the ticks of the 100 ms timer and the waits are counted in ticks; at the pace of the line
// a send point comes as soon as the line allows after the answer in flight is settled, and a
// request waits as long as its answer takes on the wire plus a margin. Either way it owns the poll
// state: the links, the dispatcher and the windows tell it what happened through the event
// methods below, and only these change the state.
class Scheduler {
  public:
    Scheduler(Station& station, StationDisplay& display, MainView& view)
        : station_(station), display_(display), view_(view) {}
    void setLink(LinkSender& link) { link_ = &link; }
    // The operator is told here of every write that was refused, not confirmed or not sent.
    void setMessages(MessageSink& messages) { messages_ = &messages; }

    void setWaker(PollWaker& waker) { waker_ = &waker; }

    const PollState& state() const;

    // The pacing for the link being opened; it stays until the operator opens the link again.
    void setPacing(const PollPacing& pacing) { pacing_ = pacing; }
    const PollPacing& pacing() const { return pacing_; }
    bool pacedByWire() const { return pacing_.pace == PollPace::Wire; }
    // The line just opened: its character time, or none on TCP.
    void setLine(const LineTiming& line) { line_ = line; }
    // At the pace of the line: the pause between a settled answer and the next request, and how
    // long the request in flight may wait in silence for its answer.
    std::chrono::microseconds sendGap() const;
    std::chrono::microseconds answerWait() const;

    // One tick of the 100 ms timer. At the pace of the line it only keeps the menus and the lamps.
    void Timers();
    // At the pace of the line: the time asked of the waker has come.
    void wake();
    // Bytes came on the line, asked for or not: the RxD lamp, and at the pace of the line the
    // silence before the next request starts again.
    void bytesSeen();
    void TimersMain();
    void TimersCurParam();

    // ---- the link ----
    // "Установить связь" on TCP: the connection is being made, and the round starts with relay 1.
    void linkStarting();
    // The port opened, or the connection was established: the round robin goes on.
    void linkOpened(bool tcp);
    // "Отключиться" or "Выход": the link closes at the next send point.
    void requestClose();
    // The reconnect rule opened the connection again.
    void reconnecting();
    // The request built at this send point did not go out (the reconnect rule took the tick): the
    // relay whose turn it was keeps its turn.
    void requestNotSent();
    // Bytes arrived while a request is in flight: its silence starts again.
    void bytesArrived();

    // ---- answers to the request in flight ----
    // Its own answer: counted good; the dispatcher decodes it next.
    void answerMatched();
    // The dispatcher has used the answer: the step moves on.
    void stepAnswered();
    // A whole answer that is not this request's: counted bad, and the wait goes on.
    void answerForeign();
    // The relay refused with that exception code: counted bad and handled as this step's timeout
    // at once. True when the refused request was a write, which is abandoned; a relay that
    // refuses a value has answered, and is not taken for silent.
    bool answerRefused(uint8_t exceptionCode = 0);
    // A frame broken on the line: counted bad and the same step goes again, but a relay whose
    // frames keep breaking is given up as unanswered.
    void answerBroken();

    // ---- the parameter window ----
    void windowOpened();
    void windowClosed();
    void pageChosen(int page);
    void tripProtocolChosen(int number);
    void insulationProtocolChosen(int number);
    // A write of consecutive registers to the note's relay (without one, the selected relay).
    // Writes go out in the order they were asked for, each whole before the next; one goes out at
    // the next send point of the parameter window's phase after the write before it has ended, in
    // place of the request due. The note, kept with it, is what its journal record tells. False,
    // with the operator told and a record, when kMaxQueuedWrites are waiting already.
    bool queueWrite(uint16_t firstRegister, const uint16_t* values, int count, WriteNote note = {});
    // The link has closed or gone, or the station stops: the writes waiting or under way will
    // never be answered, and each is recorded with the reason; the operator is told of them.
    void abandonWrites(WriteStop why);

  private:
    PollState& poll();
    // A send point: the next request is built and sent, or the link closed as asked.
    void sendPoint();
    // The request in flight has been settled: at the pace of the line the next send point is
    // asked for.
    void settled();
    // At the pace of the line, the request in flight has waited too long.
    bool answerOverdue(std::chrono::microseconds now) const;
    void wakeAfter(std::chrono::microseconds delay);
    void buildStatusOfNextRelay();
    void buildRead(int relay, uint16_t firstRegister, uint16_t count);
    void buildWrite();
    void takeQueuedWrite();
    void countAnswer(bool good);
    // The request in flight ends without its answer: a timeout, or what is handled as one. A
    // relay that did answer, with a refusal, keeps its tile.
    void endUnanswered(bool relayAnswered = false);
    int stepAfterNewestProtocol() const;
    bool writeRunning() const;
    // The write under way has ended this way.
    void endRunningWrite(WriteOutcome outcome, uint8_t exceptionCode = 0,
                         std::optional<WriteStop> why = std::nullopt);
    // The writes waiting will never go: each is recorded, and the operator told.
    void dropQueuedWrites(WriteStop why);
    // The poll leaves the parameter window's phase; a write still waiting could only go in it.
    void enterMainPhase();
    struct DroppedWrite {
        WriteNote note;
        uint16_t firstRegister = 0;
        int count = 0;
        uint16_t firstValue = 0;
    };
    QString relayName(int relay) const;
    QString notSentText(const std::vector<DroppedWrite>& dropped,
                        std::optional<WriteStop> why) const;
    // A message box, unless the station is stopping.
    void tell(const QString& text, std::optional<WriteStop> why);

    Station& station_;
    StationDisplay& display_;
    MainView& view_;
    LinkSender* link_ = nullptr;
    MessageSink* messages_ = nullptr;
    PollWaker* waker_ = nullptr;
    PollPacing pacing_;
    LineTiming line_;
    // At the pace of the line: when the request in flight went and when bytes last came for it.
    std::chrono::microseconds sentAt_{0};
    std::chrono::microseconds bytesAt_{0};
    // When the last request was settled: the line's silence before the next is counted from it.
    std::chrono::microseconds settledAt_{0};
    // When the wake asked for last is due: a wake that never comes (nothing was sent, the table
    // being empty) is made up for at the next tick.
    std::chrono::microseconds wakeDue_{0};
    // What the lamps are to show at the next tick.
    bool sentSinceTick_ = false;
    bool bytesSinceTick_ = false;
    // What the writes waiting (one each, in the order of the poll state's queue) and the write
    // under way are, for their records and the relay they go to; kept until the record is made.
    std::deque<WriteNote> queuedNotes_;
    std::optional<WriteNote> runningNote_;
};

}  // namespace terval
