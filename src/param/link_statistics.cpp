#include "param/link_statistics.h"

#include "devices/device_table.h"

namespace terval {

std::optional<LinkCounterTexts> linkCounterTexts(const DeviceTable& table) {
    if (!table.hasSelection()) {
        return std::nullopt;
    }
    const DeviceEntry& e = table.entry(table.SelectedDevice);
    return LinkCounterTexts{QString::number(e.RequestsSent), QString::number(e.GoodAnswers),
                            QString::number(e.BadAnswers)};
}

void resetLinkCounters(DeviceTable& table) {
    if (table.hasSelection()) {
        table.entry(table.SelectedDevice).clearCounters();
    }
}

}  // namespace terval
