#include "poll/poll_state.h"

namespace terval {

bool PollState::queueWrite(uint16_t firstRegister, const uint16_t* values, int count) {
    if (count < 1 || count > kMaxWriteValues) {
        return false;
    }
    WriteRegister = firstRegister;
    WriteCount = static_cast<uint16_t>(count);
    for (int i = 0; i < count; ++i) {
        WriteValues[static_cast<std::size_t>(i)] = values[i];
    }
    WriteRequest = kWriteQueued;
    return true;
}

}  // namespace terval
