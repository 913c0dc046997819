#pragma once

#include <QLocale>

#include "station/poll_state.h"

namespace terval {

class Clock;
class Scheduler;
struct Answer;
class StationDisplay;
struct Station;

// What the parameter window shows of the selected relay's answers, step by step.
class ParamWindowDecoder {
  public:
    virtual ~ParamWindowDecoder() = default;
    virtual void showCurrentParameters(const RegisterWords& words) = 0;   // 0x0100 x 48
    virtual void showSetpoints(const RegisterWords& words) = 0;           // 0x0400 x 64
    virtual void showPassword(const RegisterWords& words) = 0;            // 0x047F
    virtual void showMode(const RegisterWords& words) = 0;                // 0x04FF
    virtual void showTripProtocol(const RegisterWords& words) = 0;        // trip protocol n
    virtual void showInsulationProtocol(const RegisterWords& words) = 0;  // insulation-change n
};

// Every answer matched to its request ends up here: its words are decoded once, the handler of the
// poll phase takes them, and the scheduler is told to move on.
class Dispatcher {
  public:
    Dispatcher(Station& station, StationDisplay& display, const Clock& clock, const QLocale& locale,
               Scheduler& scheduler)
        : station_(station),
          display_(display),
          clock_(clock),
          locale_(locale),
          scheduler_(scheduler) {}

    void setParamWindow(ParamWindowDecoder* window) { paramWindow_ = window; }

    // `answer` has been matched to the request in flight (Station::request).
    void receive(const Answer& answer);
    // Each handler returns false when the answer could not be used up, so the step stays. A
    // write echo carries no words: they are all 0 then.
    bool ReceiveMain(const RegisterWords& words);
    bool ReceiveCurParam(const RegisterWords& words);

  private:
    Station& station_;
    StationDisplay& display_;
    const Clock& clock_;
    const QLocale& locale_;
    Scheduler& scheduler_;
    ParamWindowDecoder* paramWindow_ = nullptr;
};

}  // namespace terval
