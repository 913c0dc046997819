#pragma once

#include <QStringList>
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

// The open link as the scheduler sees it.
class LinkSender {
  public:
    virtual ~LinkSender() = default;
    // Sends the request of this send point the way the open link's transport puts it on the wire.
    virtual void sendRequest(const RequestFrame& request) = 0;
    // Closes whichever link is open and shows it closed.
    virtual void CloseConnect() = 0;
};

// The poll machine. Every 100 ms it decides whether to send the next request or to give up
// waiting for the answer to the last one; one request is in flight at a time and the timing is
// counted in ticks. It owns the poll state: the links, the dispatcher and the windows tell it what
// happened through the event methods below, and only these change the state.
class Scheduler {
  public:
    Scheduler(Station& station, StationDisplay& display, MainView& view)
        : station_(station), display_(display), view_(view) {}
    void setLink(LinkSender& link) { link_ = &link; }
    // The operator is told here of every write that was refused, not confirmed or not sent.
    void setMessages(MessageSink& messages) { messages_ = &messages; }

    const PollState& state() const;

    // One tick of the 100 ms timer.
    void Timers();
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
    // What the writes waiting (one each, in the order of the poll state's queue) and the write
    // under way are, for their records and the relay they go to; kept until the record is made.
    std::deque<WriteNote> queuedNotes_;
    std::optional<WriteNote> runningNote_;
};

}  // namespace terval
