#include "param/link_loss.h"

#include "devices/device_table.h"

namespace terval {

void LinkLossCheck::takeBaselines(const DeviceEntry& relay) {
    LinkLossBaseBad = relay.BadAnswers;
    LinkLossBaseRequests = relay.RequestsSent;
}

LinkLossCheck::Verdict LinkLossCheck::check(const DeviceEntry& relay) {
    const uint32_t bad = relay.BadAnswers - LinkLossBaseBad;
    const uint32_t requests = relay.RequestsSent - LinkLossBaseRequests;
    if (bad <= 2) {
        return Verdict::Nothing;
    }
    if (bad == requests) {
        return Verdict::Close;
    }
    if (bad < requests) {
        takeBaselines(relay);
        return Verdict::BaselineMoved;
    }
    return Verdict::Nothing;
}

}  // namespace terval
