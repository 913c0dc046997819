#pragma once

#include <QString>

#include "modbus/answer_framer.h"
#include "modbus/modbus_frame.h"

namespace terval {

enum class AnswerMatch {
    Matches,    // the answer to the request in flight
    Exception,  // the relay asked refuses the request: the exception code is in the third byte
    Foreign,    // an answer, but not to this request: late, from another relay, to another step
};

// Decides whether `answer` answers `request`: the same function (or that function refused, bit 7
// set), a read answer with two bytes for every register asked for, a write echo equal to the
// request, and the request's address. `anyAddress` is for a point-to-point line, where every
// request goes to address 1 and the one relay there may answer from whatever address it has.
AnswerMatch matchesRequest(const RequestFrame& request, const Answer& answer, bool anyAddress);

// The exception code of a refused request in Russian words, for the operator.
QString exceptionText(uint8_t code);

}  // namespace terval
