#pragma once

#include <cstdint>

#include "station/journal_entry.h"

namespace terval {

// Who follows what the station records as it happens, beyond the journal: the plant publisher.
// It is told every record whether or not a journal keeps it, and every insulation reading.
class StationFeed {
  public:
    virtual ~StationFeed() = default;
    virtual void recorded(const JournalEntry& entry) = 0;
    virtual void insulationRead(int relay, uint16_t insulationKohm, uint16_t controlKohm,
                                uint16_t serialNumber) = 0;
};

}  // namespace terval
