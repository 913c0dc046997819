#pragma once

#include <cstdint>

namespace terval {

class MainController;
struct Station;

// The open link as the scheduler sees it.
class LinkSender {
  public:
    virtual ~LinkSender() = default;
    // Sends RequestFrame by the link type: an RTU frame on the serial line, an MBAP frame on TCP.
    virtual void sendRequest() = 0;
    // Closes whichever link is open and shows it closed.
    virtual void CloseConnect() = 0;
};

// Decides every 100 ms whether to send the next request or to give up waiting for the answer to
// the last one. One request is in flight at a time; the timing is counted in ticks.
class Scheduler {
  public:
    Scheduler(Station& station, MainController& main, LinkSender& link)
        : station_(station), main_(main), link_(link) {}

    void Timers();
    void TimersMain();
    void TimersCurParam();

  private:
    void buildStatusOfNextRelay();
    void buildRead(int relay, uint16_t firstRegister, uint16_t count);
    void buildWrite();

    Station& station_;
    MainController& main_;
    LinkSender& link_;
};

}  // namespace terval
