#pragma once

#include <cstdint>

namespace terval {

struct DeviceEntry;

// Closes the parameter window when its relay has stopped answering: three or more requests since
// the baseline that all ended without a good answer. Failures mixed with good answers only move
// the baseline up, so old failures never add up to a close.
class LinkLossCheck {
  public:
    enum class Verdict { Nothing, Close, BaselineMoved };

    void takeBaselines(const DeviceEntry& relay);
    Verdict check(const DeviceEntry& relay);

    uint32_t LinkLossBaseBad = 0;
    uint32_t LinkLossBaseRequests = 0;
};

}  // namespace terval
