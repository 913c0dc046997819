#pragma once

#include <QString>
#include <optional>

namespace terval {

class DeviceTable;

// The three link counters of the selected relay as the statistics window shows them.
struct LinkCounterTexts {
    QString requests;  // LAll
    QString good;      // LTrue
    QString bad;       // LError
    bool operator==(const LinkCounterTexts&) const = default;
};

// Nothing when no relay is selected.
std::optional<LinkCounterTexts> linkCounterTexts(const DeviceTable& table);
// "Сброс": the selected relay's three counters start again from zero.
void resetLinkCounters(DeviceTable& table);

}  // namespace terval
