#pragma once

#include "poll/poll_state.h"

namespace terval {

class MainController;
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

// Every complete answer ends up here: its words are taken, it is counted for the relay it was asked
// of, and the handler of the poll phase decodes it and chooses the next step.
class Dispatcher {
  public:
    Dispatcher(Station& station, MainController& main) : station_(station), main_(main) {}

    void setParamWindow(ParamWindowDecoder* window) { paramWindow_ = window; }

    void Receive();
    void ReceiveMain();
    void ReceiveCurParam();

  private:
    int stepAfterNewestProtocol() const;

    Station& station_;
    MainController& main_;
    ParamWindowDecoder* paramWindow_ = nullptr;
};

}  // namespace terval
