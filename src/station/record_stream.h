#pragma once

#include <cstdint>
#include <vector>

#include "station/journal_entry.h"

namespace terval {

// One that follows the station's records as they happen: the journal's writer, the plant's
// broker, and whoever joins them.
//
// The contract: both methods are called on the UI thread, by the poll and by the operator's
// handlers, and must return at once. A feed never waits on a socket or another thread; one that
// talks to a network queues what it is told and does the work on a thread of its own, and one
// that cannot keep up drops and counts rather than holding the station. The journal's writer is
// the one bounded exception: it waits its file's short busy timeout once per attempt, then keeps
// the records in memory until the file can be written.
class RecordFeed {
  public:
    virtual ~RecordFeed() = default;
    // A record as the station made it: stamped with its time, its id still 0.
    virtual void recorded(const JournalEntry& entry) = 0;
    // A good status answer's insulation and control resistances, by the relay's number.
    virtual void insulationRead(int relay, uint16_t insulationKohm, uint16_t controlKohm,
                                uint16_t serialNumber) = 0;
};

// The station's stream of records and insulation readings, fanned out to its feeds. Every feed
// sees everything in the order it was recorded, the feeds one after the other in the order they
// joined. A feed may join or leave at any time, also from inside one of its own calls: one that
// leaves is told nothing more, one that joins is told from the next record on.
class RecordStream {
  public:
    RecordStream() = default;
    RecordStream(const RecordStream&) = delete;
    RecordStream& operator=(const RecordStream&) = delete;

    // A feed already in the stream keeps its place.
    void addFeed(RecordFeed* feed);
    void removeFeed(RecordFeed* feed);
    bool hasFeed(const RecordFeed* feed) const;

    void recorded(const JournalEntry& entry);
    void insulationRead(int relay, uint16_t insulationKohm, uint16_t controlKohm,
                        uint16_t serialNumber);

  private:
    template <class Tell>
    void tellAll(const Tell& tell);

    // A feed that leaves while the stream is telling is only blanked, and swept out afterwards,
    // so that the telling neither skips nor repeats anyone.
    std::vector<RecordFeed*> feeds_;
    int telling_ = 0;
};

}  // namespace terval
